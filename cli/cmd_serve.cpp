// `pelmora serve`: the local job service. It lives in its own program, pelmora-service,
// so that the pelmora command (the watch agent above all) does not carry the HTTP server,
// SQLite and the TLS libraries they bring in; `pelmora serve` runs that program.
#include <pthread.h>

#include <csignal>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/stdout_sinks.h>

#include "agent/platform/json_text.h"
#include "agent/platform/errors.h"
#include "agent/platform/files.h"
#include "agent/platform/subprocess.h"
#include "cli/commands.h"
#include "cli/systemd_unit.h"
#include "service/keys.h"
#include "agent/platform/data_dir.h"
#include "service/local_runner.h"
#include "service/log.h"
#include "service/resources.h"
#include "service/server.h"
#include "service/state_dir.h"
#include "service/util.h"

namespace pelmora::cli {
namespace {

using nlohmann::json;

struct ServeArgs {
  std::string host = "127.0.0.1";
  int port = kDefaultServicePort;
  std::string data_dir;
  int max_jobs = 0;
  std::string python = "python3";
  bool allow_remote = false;
  bool require_sandbox = false;
  bool metrics_public = false;
  std::string max_body = "48Mi";
  unsigned max_connections = 4096;
  unsigned idle_timeout = 30;
  double cancel_grace = 5.0;
  bool add_key = false;
  bool stop = false;
  bool print_unit = false;
  std::string key_name = "user";
  std::optional<double> credits;
  std::optional<int> rate;
  std::string runner = "local";
  std::string slurm_partition;
  std::vector<std::string> slurm_args;
  double slurm_poll = 2.0;
  std::optional<double> keep_days;
  std::vector<std::string> pass_env;
  std::int64_t max_queued = 1000;
  std::string jobs_dir;
  std::uint64_t max_job_processes = 512;
  std::string max_job_output = "1Gi";
  std::string max_job_disk = "10Gi";
};

// A size flag's value, by the rule of a submission's "memory".
std::uint64_t size_option(const std::string& flag, const std::string& text) {
  auto bytes = service::parse_memory(text);
  if (!bytes) throw std::runtime_error(flag + ": not a size: " + text + " (such as 512Mi or 10G)");
  return *bytes;
}

int add_key_command(const ServeArgs& args) {
  std::string data_dir = args.data_dir.empty() ? default_data_dir() : args.data_dir;
  service::prepare_data_dir(data_dir, false);
  service::KeyLimits limits{args.credits, args.rate};
  std::string key = service::add_key(keys_file(data_dir), args.key_name, limits);
  // The one place a key is shown: the user asked for it. Only its digest is kept.
  std::cout << key << "\n";
  std::cerr << "pelmora: added key \"" << args.key_name << "\" to " << keys_file(data_dir)
            << "; a running service accepts it at once. It is shown only this once.\n";
  return kExitOk;
}

// Stops the service running on the data directory: SIGTERM to the pid its service.json
// names (only when that process is a pelmora service), then waits up to ten seconds.
int stop_command(const ServeArgs& args) {
  const std::string data_dir = args.data_dir.empty() ? default_data_dir() : args.data_dir;
  const std::string info_path = service_info_file(data_dir);
  long long pid = 0;
  try {
    const auto info = parse_json(read_file_bytes(info_path));
    if (info.contains("pid") && info["pid"].is_number_integer()) pid = info["pid"].get<long long>();
  } catch (const std::exception&) {
    pid = 0;
  }
  auto is_our_service = [](long long p) {
    if (p <= 1) return false;
    std::string cmdline;
    try {
      cmdline = read_file_bytes("/proc/" + std::to_string(p) + "/cmdline");
    } catch (const std::exception&) {
      return false;
    }
    return cmdline.find(std::string("serve\0", 6)) != std::string::npos &&
           cmdline.find("pelmora") != std::string::npos;
  };
  if (!is_our_service(pid)) {
    std::cout << "No local job service is running on " << data_dir << ".\n";
    return kExitOk;
  }
  if (::kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    throw std::runtime_error("cannot stop the local job service (pid " + std::to_string(pid) +
                             "): " + errno_text(errno));
  }
  for (int i = 0; i < 200 && is_our_service(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (is_our_service(pid)) {
    throw std::runtime_error("the local job service (pid " + std::to_string(pid) +
                             ") did not stop within 10 seconds");
  }
  std::cout << "Stopped the local job service (pid " << pid << ").\n";
  return kExitOk;
}

int serve_command(const ServeArgs& args) {
  if (args.add_key) return add_key_command(args);
  service::ServiceOptions options;
  options.host = args.host;
  options.port = args.port;
  options.data_dir = args.data_dir.empty() ? default_data_dir() : args.data_dir;
  options.max_jobs = args.max_jobs;
  options.python = args.python;
  options.allow_remote = args.allow_remote;
  options.limits.max_body = static_cast<std::size_t>(size_option("--max-body", args.max_body));
  options.jobs_dir = args.jobs_dir;
  options.max_job_processes = args.max_job_processes;
  options.max_job_output = size_option("--max-job-output", args.max_job_output);
  options.max_job_disk = size_option("--max-job-disk", args.max_job_disk);
  options.max_connections = args.max_connections;
  options.idle_timeout = args.idle_timeout;
  options.cancel_grace = args.cancel_grace;
  options.runner = args.runner;
  options.slurm.partition = args.slurm_partition;
  options.slurm.sbatch_args = args.slurm_args;
  options.slurm.poll_interval = args.slurm_poll;
  options.keep_days = args.keep_days;
  options.pass_env = args.pass_env;
  options.limits.max_queued_per_key = args.max_queued;
  options.require_sandbox = args.require_sandbox;
  options.metrics_public = args.metrics_public;

  auto logger = service::service_logger();
  logger->sinks().clear();
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  sink->set_pattern("%Y-%m-%dT%H:%M:%S.%e %^%l%$ %v");
  logger->sinks().push_back(sink);
  logger->flush_on(spdlog::level::info);

  // SIGINT and SIGTERM are taken by one thread with sigwait; every other thread, job
  // processes' parents included, has them blocked.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  service::JobService service(options);
  service.bind();
  auto python = find_program(options.python);
  std::cout << "pelmora job service listening on " << service.url() << "\n"
            << "  data directory: " << options.data_dir << "\n"
            << "  jobs directory: " << (options.jobs_dir.empty() ? jobs_dir(options.data_dir) : options.jobs_dir)
            << "\n"
            << "  interpreter: "
            << (options.runner == "slurm" ? options.python + " (on the compute nodes)"
                : python                  ? *python
                                          : options.python + " (not found!)")
            << "\n";
  if (options.runner == "local") {
    std::cout << "  jobs confined by: "
              << (service.confinement() == service::Confinement::bubblewrap
                      ? "bubblewrap (own namespaces; the data directory hidden)"
                      : "nothing but a supervisor (bubblewrap cannot run: see the log)")
              << "\n";
  }
  if (options.runner == "slurm") {
    std::cout << "  runner: slurm, partition "
              << (options.slurm.partition.empty() ? "(the cluster's default)" : options.slurm.partition)
              << "; the jobs directory must be shared with the compute nodes\n";
  }
  std::cout << "Point the client at it with:  pelmora login --local\n"
            << "  or: export PELMORA_API_URL=" << service.url()
            << " PELMORA_API_KEY=<a key from `pelmora serve --add-key`>\n"
            << "Stop it with Ctrl+C.\n";
  std::cout.flush();

  std::thread waiter([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    if (sig != SIGUSR1) service::service_logger()->info("stopping ({})", sig == SIGINT ? "SIGINT" : "SIGTERM");
    service.stop();
  });
  service.run();
  service.stop();
  pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  service::service_logger()->info("stopped");
  return kExitOk;
}

// The user unit that runs this service with the options given.
int print_serve_unit(const CLI::App& cmd) {
  UnitOptions unit;
  unit.name = "pelmora-serve";
  unit.description = "pelmora local job service";
  unit.command = {program_beside_self(kServiceProgram), "serve"};
  for (std::string& word : given_options(cmd, {"print-systemd-unit"})) {
    unit.command.push_back(std::move(word));
  }
  std::cout << systemd_unit(unit) << std::flush;
  return kExitOk;
}

}  // namespace

void add_serve_command(CLI::App& app, int& exit_code) {
  auto args = std::make_shared<ServeArgs>();
  auto* serve = app.add_subcommand("serve", "Run the local job service in the foreground.");
  serve->add_option("--host", args->host, "Address to listen on (loopback unless --allow-remote)")
      ->capture_default_str();
  serve->add_option("--port", args->port, "Port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  serve->add_option("--data-dir", args->data_dir,
                    "Where jobs, their output and the keys live (default: "
                    "$XDG_DATA_HOME/pelmora/service)");
  serve->add_option("--jobs-dir", args->jobs_dir,
                    "Where the jobs' working directories live (default: DATA/jobs). With --runner "
                    "slurm, the one directory to share with the compute nodes: the keys and the job "
                    "database stay in the data directory");
  serve->add_option("--max-job-processes", args->max_job_processes,
                    "Processes and threads one local job may run at once (needs a pids control "
                    "group; a job that passes it fails)")
      ->capture_default_str()
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{4194304}));
  serve->add_option("--max-job-output", args->max_job_output,
                    "Output (standard output and error) stored per local job; a job that writes "
                    "more is ended and fails, and nothing past it is stored")
      ->capture_default_str();
  serve->add_option("--max-job-disk", args->max_job_disk,
                    "Space a local job's directory may take on disk, measured every few seconds; "
                    "a job that passes it is ended and fails")
      ->capture_default_str();
  serve->add_option("--max-jobs", args->max_jobs,
                    "Jobs running at once (default: the number of cores; with --runner slurm, 64 "
                    "jobs handed to the cluster, pending ones included)")
      ->check(CLI::Range(1, 4096));
  serve->add_option("--python", args->python,
                    "Interpreter that runs the jobs (with --runner slurm, as the compute nodes know it)")
      ->capture_default_str();
  serve->add_option("--runner", args->runner,
                    "Where jobs run: local processes, or batch jobs of a Slurm cluster (sbatch, "
                    "squeue, scancel on PATH; the jobs directory, see --jobs-dir, must be on a file "
                    "system the compute nodes share). Local jobs end when the service stops; Slurm jobs "
                    "run on, and the next start with --runner slurm follows them again")
      ->capture_default_str()
      ->check(CLI::IsMember({"local", "slurm"}));
  serve->add_option("--slurm-partition", args->slurm_partition,
                    "Slurm partition for the jobs (default: the cluster's default); checked at "
                    "start: a partition the cluster lacks is refused, a controller that does "
                    "not answer is a warning");
  serve->add_option("--slurm-arg", args->slurm_args,
                    "An extra sbatch option for every job, such as --slurm-arg=--time=60 "
                    "(repeatable; a job's own resources take precedence)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  serve->add_option("--slurm-poll", args->slurm_poll, "Seconds between two squeue calls")
      ->capture_default_str()
      ->check(finite_number("SECONDS") & CLI::Range(0.1, 3600.0));
  serve->add_option("--keep-days", args->keep_days,
                    "Delete jobs that ended (completed, failed or cancelled) more than this many "
                    "days ago, with their output and working directory; checked at start and "
                    "then hourly (default: keep every job). Fractions allowed: 0.5 is 12 hours")
      ->check(finite_number("DAYS") & CLI::PositiveNumber & CLI::Range(0.0, 1e9));
  serve->add_option("--pass-env", args->pass_env,
                    "Give jobs this variable of the service's environment too (repeatable); "
                    "otherwise they get only PATH, HOME, USER, LOGNAME, SHELL, LANG, LANGUAGE, "
                    "LC_*, TZ, TERM and TMPDIR")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  serve->add_option("--max-queued", args->max_queued,
                    "Queued jobs one key may have; a submission beyond gets 429")
      ->capture_default_str()
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{1000000000}));
  serve->add_flag("--require-sandbox", args->require_sandbox,
                  "Refuse to start when local jobs cannot be confined with bubblewrap (without "
                  "it they run as this user and can read its files)");
  serve->add_flag("--metrics-public", args->metrics_public,
                  "Answer GET /metrics without a key (it holds counts only: no key, no job)");
  serve->add_flag("--allow-remote", args->allow_remote,
                  "Allow --host to be an address other machines can reach");
  serve->add_option("--max-body", args->max_body, "Largest request body (default 48Mi, room for a project bundle at its default cap)")
      ->capture_default_str();
  serve->add_option("--max-connections", args->max_connections,
                    "Connections open at once; one more is closed as soon as it is accepted")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1000000u));
  serve->add_option("--idle-timeout", args->idle_timeout,
                    "Seconds after which a connection that sends nothing is closed")
      ->capture_default_str()
      ->check(CLI::Range(1u, 86400u));
  serve->add_option("--cancel-grace", args->cancel_grace,
                    "Seconds between SIGTERM and SIGKILL when a job is cancelled (local runner; "
                    "Slurm uses its own KillWait)")
      ->capture_default_str()
      ->check(finite_number("SECONDS") & CLI::Range(0.0, 3600.0));
  serve->add_flag("--add-key", args->add_key,
                  "Add a new API key to the data directory, print it and exit");
  serve->add_option("--key-name", args->key_name, "Name of the key --add-key adds")
      ->capture_default_str();
  serve->add_option("--credits", args->credits, "Credit budget of the key --add-key adds")
      ->check(finite_number("CREDITS") & CLI::NonNegativeNumber);
  serve->add_option("--rate", args->rate,
                    "Submissions per minute allowed to the key --add-key adds")
      ->check(CLI::Range(0, 1000000000));
  serve->add_flag("--stop", args->stop,
                  "Stop the service running on the data directory (started by `pelmora watch --local` "
                  "or `pelmora login --local`) and exit");
  serve->add_flag("--print-systemd-unit", args->print_unit,
                  "Print a systemd user unit that runs this service with these options, and exit")
      ->excludes("--stop")
      ->excludes("--add-key");
  serve->callback([serve, args, &exit_code] {
    exit_code = args->print_unit ? print_serve_unit(*serve)
                : args->stop     ? stop_command(*args)
                                 : serve_command(*args);
  });
}

}  // namespace pelmora::cli
