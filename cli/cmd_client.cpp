// pelmora submit, status, logs, login, logout: the job-service client at the command line.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>

#include <termios.h>
#include <unistd.h>

#include "agent/client/client.h"
#include "agent/client/config.h"
#include "agent/client/http.h"
#include "agent/platform/files.h"
#include "agent/records.h"
#include "cli/commands.h"
#include "cli/host_config.h"
#include "service/local.h"

namespace pelmora::cli {

namespace {

// How a followed job ended, as the exit status of submit --follow and logs.
constexpr int kExitJobFailed = 3;
constexpr int kExitJobCancelled = 4;

constexpr const char* kExitCodesHelp =
    "Exit status: 0 the job completed (or, for logs without --follow, has not ended yet), "
    "3 the job failed, 4 the job was cancelled, 1 the command itself failed, 2 bad usage.";

constexpr const char* kKeyHelp =
    "API key (default: PELMORA_API_KEY, GATEWAY_API_KEY, then the saved login). A key given "
    "here is visible to other local users in the process table: prefer the environment or "
    "`pelmora login`.";

constexpr const char* kUrlHelp =
    "Base URL of the job service (default: PELMORA_API_URL, the saved login's, then the "
    "public service)";

struct ServiceArgs {
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
};

void _add_service_options(CLI::App* cmd, ServiceArgs& args) {
  cmd->add_option("--api-key", args.api_key, kKeyHelp);
  cmd->add_option("--api-url", args.api_url, kUrlHelp);
}

// The service to talk to. Throws when there is no key anywhere.
Endpoint _endpoint(const ServiceArgs& args) {
  HostCredentials credentials = resolve_host_credentials(args.api_key, args.api_url);
  if (!credentials.api_key || credentials.api_key->empty()) {
    throw std::runtime_error(
        "no API key: run `pelmora login`, set PELMORA_API_KEY, or pass --api-key");
  }
  return Endpoint{.api_url = credentials.api_url, .api_key = *credentials.api_key};
}

// One line for the terminal: line breaks and runs of white space become one space, very
// long texts are cut, and the key never shows.
std::string _one_line(std::string text, const std::string& api_key) {
  if (!api_key.empty()) {
    for (size_t at = text.find(api_key); at != std::string::npos; at = text.find(api_key, at)) {
      text.replace(at, api_key.size(), "***");
    }
  }
  std::string line;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = true;
      continue;
    }
    if (space && !line.empty()) line += ' ';
    space = false;
    line += c;
  }
  constexpr size_t kMax = 600;
  if (line.size() > kMax) {
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut) + "...";
  }
  return line;
}

// Runs `body`; any error becomes one clean line (key hidden), thrown on for main to print.
template <typename Body>
void _guarded(const Endpoint& endpoint, Body&& body) {
  const std::string& api_key = endpoint.api_key;
  try {
    body();
  } catch (const TransportError& e) {
    throw std::runtime_error(_one_line(
        "cannot reach the job service at " + endpoint.api_url + ": " + e.what(), api_key));
  } catch (const std::exception& e) {
    throw std::runtime_error(_one_line(e.what(), api_key));
  }
}

// Standard output that remembers whether the last character written ended a line, so that
// a message after a followed log starts on a line of its own.
class LineTrackingBuf : public std::streambuf {
 public:
  explicit LineTrackingBuf(std::streambuf* target) : target_(target) {}
  bool at_line_start() const { return at_line_start_; }

 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    at_line_start_ = traits_type::to_char_type(ch) == '\n';
    return target_->sputc(traits_type::to_char_type(ch));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n > 0) at_line_start_ = s[n - 1] == '\n';
    return target_->sputn(s, n);
  }
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  bool at_line_start_ = true;
};

std::string _text(const nlohmann::json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The exit status for a job's final status document.
int _exit_for(const nlohmann::json& document) {
  const auto status = document.value("status", nlohmann::json("unknown"));
  if (status == "failed") return kExitJobFailed;
  if (status == "cancelled") return kExitJobCancelled;
  return kExitOk;
}

// poll_job to the end; the log goes to standard output. Returns the exit status.
int _follow(const Endpoint& endpoint, const std::string& job_id) {
  LineTrackingBuf buf(std::cout.rdbuf());
  std::ostream out(&buf);
  const nlohmann::json document =
      poll_job(job_id, {.api_key = endpoint.api_key, .api_url = endpoint.api_url, .out = &out});
  if (!buf.at_line_start()) out << '\n';
  out.flush();
  const int code = _exit_for(document);
  if (code != kExitOk) {
    std::cerr << "pelmora: job " << job_id << " " << _text(document.value("status", nlohmann::json())) << "\n";
  }
  return code;
}

// ---- submit ---------------------------------------------------------------------------

struct SubmitArgs {
  ServiceArgs service;
  std::string file;
  std::optional<std::string> gpu;
  std::optional<long long> cpu;
  std::optional<std::string> memory;
  bool fast = false;
  bool follow = false;
};

int _run_submit(const SubmitArgs& args) {
  std::string code;
  try {
    code = read_text_file(args.file);
  } catch (const FileError& e) {
    throw std::runtime_error("cannot read " + args.file + ": " + e.what());
  }
  const Endpoint endpoint = _endpoint(args.service);
  int exit_status = kExitOk;
  _guarded(endpoint, [&] {
    const nlohmann::json result = submit_code(code, {.file_path = absolute_path(args.file),
                                                     .api_key = endpoint.api_key,
                                                     .api_url = endpoint.api_url,
                                                     .fast = args.fast,
                                                     .gpu = args.gpu,
                                                     .cpu = args.cpu,
                                                     .memory = args.memory});
    if (!result.is_object()) throw std::runtime_error("the job service sent no job");
    const auto member = result.find("job_id");
    const bool has_id = member != result.end() && !member->is_null();
    const std::string job_id = has_id ? _text(*member) : "unknown";
    std::cout << "    Submitted!  job_id=" << job_id << "\n"
              << "    Track with:  pelmora status " << job_id << "\n"
              << "    Logs:        pelmora logs " << job_id << " --follow\n";
    std::cout.flush();
    if (args.follow) {
      if (!has_id) throw std::runtime_error("the job service sent no job_id to follow");
      std::cout << "\n";
      exit_status = _follow(endpoint, job_id);
    }
  });
  return exit_status;
}

// ---- status ----------------------------------------------------------------------------

struct JobArgs {
  ServiceArgs service;
  std::string job_id;
  bool follow = false;
};

int _run_status(const JobArgs& args) {
  const Endpoint endpoint = _endpoint(args.service);
  _guarded(endpoint, [&] {
    const nlohmann::json document = fetch_job_status(endpoint, args.job_id);
    std::cout << "status: " << _text(document.value("status", nlohmann::json("unknown"))) << "\n";
    for (const auto& [name, value] : document.items()) {
      if (name == "status") continue;
      std::cout << name << ": " << _one_line(_text(value), endpoint.api_key) << "\n";
    }
  });
  return kExitOk;
}

// ---- logs ------------------------------------------------------------------------------

int _run_logs(const JobArgs& args) {
  const Endpoint endpoint = _endpoint(args.service);
  int exit_status = kExitOk;
  _guarded(endpoint, [&] {
    if (args.follow) {
      exit_status = _follow(endpoint, args.job_id);
      return;
    }
    // The status first: the output read after it is at least as recent.
    const nlohmann::json document = fetch_job_status(endpoint, args.job_id);
    LineTrackingBuf buf(std::cout.rdbuf());
    std::ostream out(&buf);
    fetch_job_output(endpoint, args.job_id, 0, out);
    if (!buf.at_line_start()) out << '\n';
    out.flush();
    exit_status = _exit_for(document);
  });
  return exit_status;
}

// ---- login, logout --------------------------------------------------------------------

// The terminal settings to put back if a signal ends the program while echo is off.
termios g_saved_termios{};
volatile sig_atomic_t g_echo_off = 0;

extern "C" void _restore_echo_and_reraise(int signal_number) {
  if (g_echo_off) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Reads one line from standard input with read(2); drops the line end.
std::string _read_line() {
  std::string line;
  char c = 0;
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  return line;
}

// The key, asked for without echo on a terminal, else the first line of standard input.
std::string _ask_key() {
  if (!::isatty(STDIN_FILENO)) return _read_line();
  std::cerr << "API key (not shown): " << std::flush;
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0) return _read_line();
  g_saved_termios = settings;
  auto old_int = std::signal(SIGINT, _restore_echo_and_reraise);
  auto old_term = std::signal(SIGTERM, _restore_echo_and_reraise);
  auto old_hup = std::signal(SIGHUP, _restore_echo_and_reraise);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  settings.c_lflag |= ECHONL;
  g_echo_off = 1;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings);
  std::string key = _read_line();
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  g_echo_off = 0;
  std::signal(SIGINT, old_int);
  std::signal(SIGTERM, old_term);
  std::signal(SIGHUP, old_hup);
  return key;
}

std::string _trim(const std::string& text) {
  const char* space = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

struct LoginArgs {
  std::optional<std::string> api_url;
  bool local = false;
};

int _run_login(const LoginArgs& args) {
  if (args.local) {
    if (args.api_url) throw CLI::ValidationError("--local and --api-url cannot be used together");
    const LocalService local = ensure_local_service();
    save_login(local.url, local.api_key);
    std::cout << "Logged in to the local job service at " << local.url << " (saved in "
              << login_file_path() << ").\n";
    return kExitOk;
  }
  const std::string key = _trim(_ask_key());
  if (key.empty()) throw std::runtime_error("no API key given");
  if (key.find_first_of(" \t") != std::string::npos || key.find('\0') != std::string::npos) {
    throw std::runtime_error("an API key cannot contain spaces");
  }
  save_login(args.api_url, key);
  const std::string url =
      args.api_url && !args.api_url->empty() ? *args.api_url : std::string(_DEFAULT_API_URL);
  std::cout << "Logged in to " << url << " (saved in " << login_file_path() << ").\n";
  return kExitOk;
}

int _run_logout() {
  if (remove_login()) {
    std::cout << "Logged out (removed " << login_file_path() << ").\n";
  } else {
    std::cout << "Not logged in.\n";
  }
  return kExitOk;
}

}  // namespace

void add_client_commands(CLI::App& app, int& exit_code) {
  auto submit_args = std::make_shared<SubmitArgs>();
  CLI::App* submit = app.add_subcommand("submit", "Submit a Python script as a job, bundled with the local modules it imports.");
  submit->add_option("FILE", submit_args->file, "The script to run")->required();
  submit->add_option("--gpu", submit_args->gpu, "GPU type to ask for (e.g. A100)");
  submit->add_option("--cpu", submit_args->cpu, "Number of CPUs to ask for");
  submit->add_option("--memory", submit_args->memory, "Memory to ask for (e.g. 16Gi)");
  submit->add_flag("--fast", submit_args->fast, "Run in performance mode");
  submit->add_flag("--follow", submit_args->follow, "Follow the job's log until it ends");
  _add_service_options(submit, submit_args->service);
  submit->footer(kExitCodesHelp);
  submit->callback([submit_args, &exit_code] { exit_code = _run_submit(*submit_args); });

  auto status_args = std::make_shared<JobArgs>();
  CLI::App* status = app.add_subcommand("status", "Show a job's status.");
  status->add_option("JOB", status_args->job_id, "The job id")->required();
  _add_service_options(status, status_args->service);
  status->footer("Exit status: 0 the status was shown, 1 it could not be read, 2 bad usage.");
  status->callback([status_args, &exit_code] { exit_code = _run_status(*status_args); });

  auto logs_args = std::make_shared<JobArgs>();
  CLI::App* logs = app.add_subcommand("logs", "Print a job's log (all of it so far, or following it to the end).");
  logs->add_option("JOB", logs_args->job_id, "The job id")->required();
  logs->add_flag("--follow,-f", logs_args->follow, "Keep printing new log entries until the job ends");
  _add_service_options(logs, logs_args->service);
  logs->footer(kExitCodesHelp);
  logs->callback([logs_args, &exit_code] { exit_code = _run_logs(*logs_args); });

  auto login_args = std::make_shared<LoginArgs>();
  CLI::App* login = app.add_subcommand(
      "login", "Save an API key (and service URL) for the pelmora commands and the agent.");
  login->add_option("--api-url", login_args->api_url, "Base URL of the job service to log in to (default: the public service)");
  login->add_flag("--local", login_args->local, "Log in to this user's local job service (`pelmora serve`), starting it if needed");
  login->footer(
      "The key is read without echo from the terminal, or as the first line of standard "
      "input (e.g. `pelmora login < keyfile`), and saved with mode 0600 in "
      "$XDG_CONFIG_HOME/pelmora/login.json (default ~/.config/pelmora/login.json). "
      "PELMORA_API_KEY and PELMORA_API_URL, when set, take precedence over it.");
  login->callback([login_args, &exit_code] { exit_code = _run_login(*login_args); });

  CLI::App* logout = app.add_subcommand("logout", "Remove the saved login.");
  logout->callback([&exit_code] { exit_code = _run_logout(); });
}

}  // namespace pelmora::cli
