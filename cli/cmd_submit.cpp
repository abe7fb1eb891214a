// pelmora submit, status, logs: jobs sent to the job service and followed from the command
// line.
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include "agent/platform/terminal_text.h"
#include "agent/client/client.h"
#include "agent/client/http.h"
#include "agent/platform/files.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/host_config.h"
#include "cli/job_downloads.h"
#include "cli/project_form.h"

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

// How following commands wait: each output request may wait this long at the service for
// new output, and a service that is away (restarting) is tried again for this long.
constexpr double kFollowLongPoll = 30.0;
constexpr double kFollowReconnect = 60.0;

constexpr const char* kFollowHelp =
    "Follow the job's log until it ends. New lines come as soon as the service has them. If "
    "the service cannot be reached meanwhile (it restarts: connection refused or reset, or "
    "502/503/504), the command tries again for up to a minute, then goes on from the line "
    "where it was (none lost, none twice); after a minute it fails.";

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

// Runs `body`; any error becomes one clean line (key hidden), thrown on for main to print.
template <typename Body>
void _guarded(const Endpoint& endpoint, Body&& body) {
  const std::string& api_key = endpoint.api_key;
  try {
    body();
  } catch (const TransportError& e) {
    throw std::runtime_error(one_line(
        "cannot reach the job service at " + endpoint.api_url + ": " + e.what(), api_key));
  } catch (const std::exception& e) {
    throw std::runtime_error(one_line(e.what(), api_key));
  }
}

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
      poll_job_at(endpoint, job_id,
                  {.out = &out, .long_poll = kFollowLongPoll, .reconnect_for = kFollowReconnect});
  if (!buf.at_line_start()) out << '\n';
  out.flush();
  const int code = _exit_for(document);
  if (code != kExitOk) {
    std::cerr << "pelmora: job " << escape_for_terminal(job_id) << " "
              << one_line(_text(document.value("status", nlohmann::json())), endpoint.api_key);
    // Why it failed: its error, such as output lost to a full disk.
    const auto error = document.find("error");
    if (code == kExitJobFailed && error != document.end() && error->is_string()) {
      std::cerr << ": " << one_line(_text(*error), endpoint.api_key);
    }
    std::cerr << "\n";
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
  bool project = false;
  std::vector<std::string> args;
  std::vector<std::string> get;  // globs of files to fetch once the job completed
  std::string to = ".";
};

int _run_submit(const SubmitArgs& args) {
  std::string code;
  try {
    code = read_text_file(args.file);
  } catch (const FileError& e) {
    throw std::runtime_error("cannot read " + args.file + ": " + e.what());
  }
  if (!args.get.empty() && !args.follow) {
    throw CLI::ValidationError("--get", "--get needs --follow (the files are fetched once the job completed)");
  }
  if (!args.project && !args.args.empty()) {
    throw CLI::ValidationError("ARG", "arguments for the script need --project");
  }
  const Endpoint endpoint = _endpoint(args.service);
  std::optional<ProjectForm> project;
  if (args.project) {
    const ProjectRequest request = project_request(args.file, args.args);
    project = ProjectForm{.cwd = request.cwd, .args = request.args, .home = request.home};
  } else {
    print_module_bundle_hint(code, args.file);
  }
  int exit_status = kExitOk;
  _guarded(endpoint, [&] {
    const nlohmann::json result = submit_code_at(endpoint, code,
                                                 {.file_path = absolute_path(args.file),
                                                  .fast = args.fast,
                                                  .gpu = args.gpu,
                                                  .cpu = args.cpu,
                                                  .memory = args.memory,
                                                  .project = project});
    if (!result.is_object()) throw std::runtime_error("the job service sent no job");
    const auto member = result.find("job_id");
    const bool has_id = member != result.end() && !member->is_null();
    const std::string job_id = has_id ? _text(*member) : "unknown";
    const std::string shown = escape_for_terminal(job_id);
    std::cout << "    Submitted!  job_id=" << shown << "\n"
              << "    Track with:  pelmora status " << shown << "\n"
              << "    Logs:        pelmora logs " << shown << " --follow\n";
    std::cout.flush();
    if (args.follow) {
      if (!has_id) throw std::runtime_error("the job service sent no job_id to follow");
      std::cout << "\n";
      exit_status = _follow(endpoint, job_id);
      if (exit_status == kExitOk && !args.get.empty()) {
        const GetResult got = get_job_files(
            JobClient(endpoint),
            GetRequest{.job_id = job_id, .paths = {}, .patterns = args.get, .to = args.to,
                       .progress = isatty(STDERR_FILENO) == 1},
            std::cout);
        std::cout << "Fetched " << got.files << (got.files == 1 ? " file" : " files") << " into "
                  << escape_for_terminal(args.to) << ".\n";
        if (got.failed) exit_status = kExitError;
      }
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
    const nlohmann::json document = JobClient(endpoint).status(args.job_id);
    std::cout << "status: " << one_line(_text(document.value("status", nlohmann::json("unknown"))), endpoint.api_key) << "\n";
    for (const auto& [name, value] : document.items()) {
      if (name == "status") continue;
      std::cout << name << ": " << one_line(_text(value), endpoint.api_key) << "\n";
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
    const nlohmann::json document = JobClient(endpoint).status(args.job_id);
    LineTrackingBuf buf(std::cout.rdbuf());
    std::ostream out(&buf);
    nlohmann::json offset = 0;
    JobClient(endpoint).output(args.job_id, offset, out);
    if (!buf.at_line_start()) out << '\n';
    out.flush();
    exit_status = _exit_for(document);
  });
  return exit_status;
}

}  // namespace

void add_submit_commands(CLI::App& app, int& exit_code) {
  auto submit_args = std::make_shared<SubmitArgs>();
  CLI::App* submit = app.add_subcommand("submit", "Submit a Python script as a job, bundled with the local modules it imports.");
  submit->add_option("FILE", submit_args->file, "The script to run")->required();
  submit->add_option("--gpu", submit_args->gpu, "GPU type to ask for (e.g. A100)");
  submit->add_option("--cpu", submit_args->cpu, "Number of CPUs to ask for");
  submit->add_option("--memory", submit_args->memory,
                     "Memory to ask for: a number of bytes, or with K, M, G, T (powers of 1000) "
                     "or Ki, Mi, Gi, Ti (powers of 1024), e.g. 16Gi = 17179869184 bytes, "
                     "1G = 1000000000 bytes; every runner uses those bytes (a Slurm job gets "
                     "them as --mem in MiB, rounded up)");
  submit->add_flag("--fast", submit_args->fast, "Run in performance mode");
  submit->add_flag("--follow", submit_args->follow, kFollowHelp);
  submit->add_flag("--project", submit_args->project,
                   "Send the script's project (the working directory when the script lies "
                   "under it, else the script's directory) and run the script there with its "
                   "ARGs, instead of the script with its local modules");
  submit->add_option("ARG", submit_args->args, "With --project: the script's arguments, after --");
  submit->add_option("--get", submit_args->get,
                     "With --follow: once the job completed, download its files whose path "
                     "(relative to its directory) matches this glob ('*' matches '/' too); "
                     "repeatable")
      ->allow_extra_args(false);
  submit->add_option("--to", submit_args->to, "Where --get writes the files (made when missing)")
      ->capture_default_str();
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
  logs->add_flag("--follow,-f", logs_args->follow, kFollowHelp);
  _add_service_options(logs, logs_args->service);
  logs->footer(kExitCodesHelp);
  logs->callback([logs_args, &exit_code] { exit_code = _run_logs(*logs_args); });

}

}  // namespace pelmora::cli
