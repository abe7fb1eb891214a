#include "agent/daemon/agent_daemon.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <exception>
#include <utility>

#include "agent/client/client.h"
#include "agent/client/config.h"
#include "agent/platform/errors.h"
#include "agent/platform/files.h"
#include "agent/platform/logger.h"
#include "agent/platform/terminal_text.h"

namespace pelmora {
namespace {

// The arguments that follow the script `script` (absolute) on a command line run from
// `cwd`: everything after the first argument that names it.
std::vector<std::string> script_arguments(const std::vector<std::string>& cmdline,
                                          const std::string& script, const std::string& cwd) {
  for (std::size_t i = 0; i < cmdline.size(); ++i) {
    const std::string& arg = cmdline[i];
    if (arg.empty() || arg.front() == '-') continue;
    if (absolute_path(arg, cwd) == script) return {cmdline.begin() + static_cast<std::ptrdiff_t>(i) + 1, cmdline.end()};
  }
  return {};
}

std::string home_dir() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

// How long a process may take to go once SIGKILL was sent.
constexpr double kKillWait = 5.0;

constexpr std::string_view kStopLine = "\nStopping agent watch...\n";
constexpr std::string_view kQuestion = "    Offload to cloud? [y/N/ignore] ";

// Length of the white-space character that starts `text` at `i` (as Python's str.strip
// sees white space), or 0 when it is none.
size_t white_space_at(std::string_view text, size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if ((b0 >= 0x09 && b0 <= 0x0D) || (b0 >= 0x1C && b0 <= 0x20)) return 1;
  auto at = [&](size_t k) {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
  };
  if (b0 == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;  // U+0085, U+00A0
  if (b0 == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;    // U+1680
  if (b0 == 0xE2 && at(1) == 0x80) {
    const unsigned b2 = at(2);
    // U+2000..U+200A, U+2028, U+2029, U+202F
    if ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return 3;
  }
  if (b0 == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
  if (b0 == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Length of the white-space character that ends `text` at `end` (exclusive), or 0.
size_t white_space_before(std::string_view text, size_t end) {
  for (size_t len = 1; len <= 3 && len <= end; ++len) {
    const size_t start = end - len;
    if (len > 1 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) continue;
    if (white_space_at(text, start) == len) return len;
  }
  return 0;
}

std::string job_id_text(const nlohmann::json& result) {
  const auto member = result.find("job_id");
  if (member == result.end() || member->is_null()) return "unknown";
  if (member->is_string()) return member->get<std::string>();
  return member->dump();
}

}  // namespace

nlohmann::json submit_with_client(const SubmitRequest& request) {
  SubmitOptions options;
  options.file_path = request.file_path;
  options.api_key = request.api_key;
  options.api_url = request.api_url;
  options.fast = request.fast;
  options.gpu = request.gpu;
  if (request.cpu) options.cpu = *request.cpu;
  options.memory = request.memory;
  options.project = request.project;
  options.transport.while_waiting = request.while_waiting;
  return submit_code(request.code, options);
}

AgentDaemon::AgentDaemon(AgentOptions options, AgentPlatform platform)
    : api_key(options.credentials_resolved ? options.api_key : resolve_api_key(options.api_key)),
      api_url(options.credentials_resolved && options.api_url ? *options.api_url
                                                              : resolve_api_url(options.api_url)),
      fast(options.fast),
      threshold(options.threshold),
      interval(options.interval),
      auto_offload(options.auto_offload),
      gpu(std::move(options.gpu)),
      cpu(options.cpu),
      memory(std::move(options.memory)),
      exclude(std::move(options.exclude)),
      project(options.project),
      heavy_for(options.heavy_for),
      mine(options.mine),
      stop_local(options.stop_local),
      stop_grace(options.stop_grace),
      scanner(options.threshold, options.threshold,
              platform.process_table ? *platform.process_table : linux_process_table()),
      table_(platform.process_table ? *platform.process_table : linux_process_table()),
      terminal_(platform.terminal ? *platform.terminal : standard_terminal()),
      clock_(platform.clock ? *platform.clock : system_clock()),
      sleeper_(platform.sleeper ? *platform.sleeper : system_sleeper()),
      signals_(platform.signals ? *platform.signals : system_stop_signals()),
      submit_(platform.submit ? std::move(platform.submit) : SubmitFunction(submit_with_client)),
      platform_id_(platform.platform_id ? *platform.platform_id : platform_identifier()),
      process_cwd_(platform.process_cwd ? std::move(platform.process_cwd)
                                        : std::function<std::optional<std::string>(int)>(process_cwd)),
      uid_(platform.uid ? *platform.uid : static_cast<std::uint32_t>(::getuid())) {}

AgentDaemon::AgentDaemon(std::optional<std::string> api_key_, std::optional<std::string> api_url_,
                         bool fast_, double threshold_, double interval_, bool auto_offload_,
                         std::optional<std::string> gpu_, std::optional<int> cpu_,
                         std::optional<std::string> memory_)
    : AgentDaemon(AgentOptions{.api_key = std::move(api_key_),
                               .api_url = std::move(api_url_),
                               .fast = fast_,
                               .threshold = threshold_,
                               .interval = interval_,
                               .auto_offload = auto_offload_,
                               .gpu = std::move(gpu_),
                               .cpu = cpu_,
                               .memory = std::move(memory_),
                               .exclude = {}}) {}

// ---- Watch loop ---------------------------------------------------------------------------

WakeHook AgentDaemon::wake_hook() {
  return WakeHook{signals_.wake_fd(), [this] { _print_owed_stop_lines(); }};
}

void AgentDaemon::_print_owed_stop_lines() {
  for (int owed = signals_.take_owed_lines(); owed > 0; --owed) {
    try {
      terminal_.write(kStopLine);
    } catch (const std::exception&) {
      // Nobody can see the line any more; the stop itself has taken effect already.
    }
  }
}

void AgentDaemon::say(std::string_view text) {
  _print_owed_stop_lines();
  terminal_.write(text);
}

void AgentDaemon::watch() {
  _running.store(true);
  signals_.install(_running, platform_id_ != "win32");
  // The handlers go back on every way out, also when the banner or the priming pass fails:
  // a handler left behind would point at the flag of a daemon that may be gone.
  struct Restore {
    AgentDaemon& daemon;
    ~Restore() {
      daemon.signals_.restore();
      daemon._print_owed_stop_lines();
    }
  } restore{*this};

  _print_banner();
  table_.prime();
  const WakeHook hook = wake_hook();
  sleeper_.sleep_for(1.0, hook);

  while (_running.load()) {
    try {
      _tick();
    } catch (const std::exception& e) {
      agent_logger()->error("Scan tick failed: {}", e.what());
    }
    _print_owed_stop_lines();
    const double deadline = clock_.monotonic() + interval;
    while (_running.load() && clock_.monotonic() < deadline) {
      sleeper_.sleep_for(0.25, hook);
    }
  }
}

const std::string& AgentDaemon::own_user() {
  if (!own_user_) own_user_ = user_name_of(uid_);
  return *own_user_;
}

void AgentDaemon::_tick() {
  const double now = clock_.monotonic();
  const std::vector<ProcessInfo> heavy = scanner.scan();
  // The runs of heavy scans are brought up to date before any process is handled, so a
  // handling that fails cannot leave them half done.
  std::vector<const ProcessInfo*> due;
  std::map<int, HeavySince> runs;
  for (const ProcessInfo& proc : heavy) {
    if (_offloaded.contains(proc.pid)) continue;
    if (_ignored_pids.contains(proc.pid)) continue;
    if (exclude && exclude(proc)) continue;
    if (mine && proc.username != own_user()) continue;
    if (heavy_for > 0.0) {
      const auto seen = _heavy_since.find(proc.pid);
      const double since = seen != _heavy_since.end() &&
                                   seen->second.create_time == proc.create_time
                               ? seen->second.since
                               : now;
      runs.emplace(proc.pid, HeavySince{proc.create_time, since});
      if (!(now - since >= heavy_for)) continue;
    }
    due.push_back(&proc);
  }
  _heavy_since.swap(runs);
  for (const ProcessInfo* proc : due) _handle(*proc);
}

// ---- Console ------------------------------------------------------------------------------

std::string AgentDaemon::format_fixed(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  char buf[400];  // enough for the largest double in fixed notation
  std::snprintf(buf, sizeof buf, decimals == 0 ? "%.0f" : "%.1f", value);
  return buf;
}

std::string AgentDaemon::normalize_answer(std::string_view line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end) {
    const size_t len = white_space_at(line, begin);
    if (len == 0) break;
    begin += len;
  }
  while (end > begin) {
    const size_t len = white_space_before(line, end);
    if (len == 0) break;
    end -= len;
  }
  std::string answer(line.substr(begin, end - begin));
  for (char& c : answer) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return answer;
}

void AgentDaemon::_print_banner() {
  std::string text = "Pelmora Agent Watch";
  if (auto_offload) text += " (auto-offload)";
  text += "\n  Threshold : CPU or Memory > " + format_fixed(threshold, 0) + "%\n";
  text += std::string("  Mode      : ") + (fast ? "performance" : "standard") + "\n";
  text += "  Interval  : " + format_fixed(interval, 1) + "s\n";
  text += "  Watching for heavy Python processes...  (Ctrl+C to stop)\n\n";
  say(text);
}

std::string AgentDaemon::_format_detection(const ProcessInfo& proc) {
  std::string text = "  [" + std::to_string(proc.pid) + "] " +
                     escape_for_terminal(proc.short_cmd()) + "\n";
  text += "    CPU=" + format_fixed(proc.cpu_percent, 1) + "%  Mem=" +
          format_fixed(proc.memory_percent, 1) + "% (" + format_fixed(proc.memory_mb, 0) +
          " MB)\n";
  if (proc.script_path && !proc.script_path->empty()) {
    text += "    Source: " + escape_for_terminal(*proc.script_path) + "\n";
  }
  return text;
}

void AgentDaemon::_print_detection(const ProcessInfo& proc) { say(_format_detection(proc)); }

void AgentDaemon::_handle(const ProcessInfo& proc) {
  _print_detection(proc);
  if (!proc.script_path || proc.script_path->empty()) {
    say("    Cannot read source (no .py file on command line).  Skipping.\n\n");
    _ignored_pids.insert(proc.pid);
    return;
  }
  if (!is_regular_file(*proc.script_path)) {
    say("    Script file not found on disk: " + escape_for_terminal(*proc.script_path) +
        ".  Skipping.\n\n");
    _ignored_pids.insert(proc.pid);
    return;
  }
  if (auto_offload) {
    _offload(proc);
  } else {
    _prompt_offload(proc);
  }
}

void AgentDaemon::_prompt_offload(const ProcessInfo& proc) {
  say(kQuestion);
  const std::optional<std::string> line = terminal_.read_line(wake_hook());
  const std::string answer = line ? normalize_answer(*line) : std::string("n");
  if (answer == "y" || answer == "yes") {
    _offload(proc);
  } else if (answer == "i" || answer == "ignore") {
    _ignored_pids.insert(proc.pid);
    say("    Ignored.\n\n");
  } else {
    say("    Skipped.\n\n");
  }
}

// ---- Offload ------------------------------------------------------------------------------

void AgentDaemon::_offload(const ProcessInfo& proc) {
  const std::string path = proc.script_path.value_or("");
  std::string code;
  try {
    code = read_text_file(path);
  } catch (const std::exception& e) {
    say("    Failed to read " + escape_for_terminal(path) + ": " + e.what() + "\n\n");
    _ignored_pids.insert(proc.pid);
    return;
  }

  std::optional<ProjectForm> form;
  if (project) {
    const std::optional<std::string> cwd = process_cwd_(proc.pid);
    if (!cwd) {
      say("    Failed to read the working directory of process " + std::to_string(proc.pid) + "\n\n");
      _ignored_pids.insert(proc.pid);
      return;
    }
    form = ProjectForm{.cwd = *cwd, .args = script_arguments(proc.cmdline, path, *cwd), .home = home_dir()};
  }

  say("    Submitting " + escape_for_terminal(proc.short_cmd()) + " to cloud...\n");
  nlohmann::json result;
  try {
    result = submit_(SubmitRequest{.code = std::move(code),
                                   .file_path = proc.script_path,
                                   .api_key = api_key,
                                   .api_url = api_url,
                                   .fast = fast,
                                   .gpu = gpu,
                                   .cpu = cpu,
                                   .memory = memory,
                                   .project = std::move(form),
                                   // A stop during a slow submission is shown at once.
                                   .while_waiting = [this] { _print_owed_stop_lines(); }});
  } catch (const std::exception& e) {
    say(std::string("    Submission failed: ") + e.what() + "\n\n");
    return;
  }

  // Not guarded: an answer that is not an object fails the tick, and nothing is recorded.
  if (!result.is_object()) {
    throw std::runtime_error("the job service answered " + result.dump() +
                             " instead of a job object");
  }
  const std::string job_id = job_id_text(result);
  const std::string shown = escape_for_terminal(job_id);
  // With stop_local, the line about the local process comes before the empty line.
  say("    Submitted!  job_id=" + shown + "\n    Track with:  pelmora status " + shown +
      "\n    Logs:        pelmora logs " + shown + " --follow\n" + (stop_local ? "" : "\n"));
  _offloaded[proc.pid] = OffloadRecord{.pid = proc.pid, .script_path = path, .job_id = job_id};
  if (stop_local) {
    _stop_local(proc);
    say("\n");
  }
}

// ---- Stopping the local process -------------------------------------------------------

bool AgentDaemon::wait_for_end(OpenedProcess& process, double seconds) {
  const WakeHook hook = wake_hook();
  const double deadline = clock_.monotonic() + seconds;
  while (!process.ended()) {
    const double left = deadline - clock_.monotonic();
    if (!(left > 0.0)) return false;
    sleeper_.sleep_for(std::min(left, 0.1), hook);
  }
  return true;
}

void AgentDaemon::_stop_local(const ProcessInfo& proc) {
  // The whole command line, cut as the console cuts labels.
  ProcessInfo command = proc;
  command.script_path.reset();
  const std::string who =
      "local process " + std::to_string(proc.pid) + " (" + escape_for_terminal(command.short_cmd()) + ")";
  ProcessOpening opening = table_.open_process(proc.pid, proc.create_time, uid_);
  switch (opening.status) {
    case OpenStatus::opened:
      break;
    case OpenStatus::gone:
    case OpenStatus::replaced:
      // A replaced pid belongs to a process that started later: it is never signalled.
      say("    The " + who + " had already ended.\n");
      return;
    case OpenStatus::other_user:
      say("    Left the " + who + " running: it belongs to another user.\n");
      return;
    case OpenStatus::failed:
      say("    Could not stop the " + who + ": " + errno_text(opening.error) + ".\n");
      return;
  }
  OpenedProcess& process = *opening.process;
  if (const int err = process.send(SIGTERM); err != 0) {
    say(err == ESRCH ? "    The " + who + " had already ended.\n"
                     : "    Could not stop the " + who + ": " + errno_text(err) + ".\n");
    return;
  }
  if (wait_for_end(process, stop_grace)) {
    say("    Stopped " + who + ".\n");
    return;
  }
  const int err = process.send(SIGKILL);
  if (err == 0 && wait_for_end(process, kKillWait)) {
    say("    Stopped " + who + " with SIGKILL: it was still running " +
        format_fixed(stop_grace, 1) + " s after SIGTERM.\n");
  } else if (err == ESRCH || process.ended()) {
    say("    Stopped " + who + ".\n");
  } else {
    say("    Sent SIGTERM and SIGKILL to the " + who + ", which has not ended yet" +
        (err != 0 ? ": " + errno_text(err) : std::string()) + ".\n");
  }
}

}  // namespace pelmora
