// pelmora watch: the watch agent in the foreground, until Ctrl+C or SIGTERM.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_sinks.h>

#include "agent/daemon/agent_daemon.h"
#include "agent/platform/files.h"
#include "agent/platform/logger.h"
#include "cli/commands.h"
#include "cli/host_config.h"
#include "cli/systemd_unit.h"
#include "agent/client/local_service.h"

namespace pelmora::cli {
namespace {

struct WatchArgs {
  std::string threshold = "85";
  std::string interval = "2";
  bool auto_offload = false;
  bool fast = false;
  std::optional<std::string> gpu;
  std::optional<int> cpu;
  std::optional<std::string> memory;
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
  bool local = false;
  bool project = false;
  std::string heavy_for = "0";
  bool mine = false;
  bool stop_local = false;
  std::string stop_grace = "10";
  bool print_unit = false;
};

// The directories under which the local job service keeps its jobs' scripts, as written
// and with symbolic links resolved (a process's working directory comes resolved).
std::vector<std::string> local_job_dirs() {
  std::vector<std::string> dirs;
  try {
    const std::string jobs = normalize_path(absolute_path(jobs_dir(default_data_dir())));
    dirs.push_back(jobs);
    if (char* real = realpath(jobs.c_str(), nullptr)) {
      if (real != jobs) dirs.emplace_back(real);
      std::free(real);
    }
  } catch (const std::exception&) {
    // No home directory: there is no local service whose jobs could be running here.
  }
  return dirs;
}

bool is_under(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

void say(const std::string& text) {
  std::cout << text << std::flush;
  if (!std::cout) throw std::runtime_error("cannot write to standard output");
}

// Starts or finds the local job service and points the watch at it. The job commands the
// watch prints reach the service through the saved login: one is saved when there is none.
void use_local_service(WatchArgs& args) {
  const LocalService service = ensure_local_service();
  args.api_url = service.url;
  args.api_key = service.api_key;
  say("Using the local job service at " + service.url +
      " (it keeps running after the watch; `pelmora logs` and `pelmora status` reach it).\n");
  if (!load_login()) {
    save_login(service.url, service.api_key);
    say("Saved a login for it in " + login_file_path() + " (`pelmora logout` removes it).\n");
  }
  const HostCredentials later = resolve_host_credentials(std::nullopt, std::nullopt);
  if (later.api_url != service.url || later.api_key != service.api_key) {
    say("Note: `pelmora status` and `pelmora logs` use another job service by default; run "
        "`pelmora login --local` to follow these jobs.\n");
  }
  say("\n");
}

// The user unit that runs this watch with the options given, in automatic mode (a unit has
// no terminal to answer on). The key comes from the saved login or the environment file.
int print_watch_unit(const CLI::App& cmd, const WatchArgs& args) {
  UnitOptions unit;
  unit.name = "pelmora-watch";
  unit.description = "pelmora agent watch";
  unit.command = {program_beside_self("pelmora"), "watch"};
  for (std::string& word : given_options(cmd, {"print-systemd-unit"})) {
    unit.command.push_back(std::move(word));
  }
  if (!args.auto_offload) unit.command.push_back("--auto");
  if (args.local) {
    unit.unit_lines = {"Wants=pelmora-serve.service", "After=pelmora-serve.service"};
  }
  std::string env_file = "%h/.config/pelmora/agent.env";
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
    // A path here is taken as it is, up to the line's end: only specifiers are escaped.
    env_file.clear();
    for (const char c : std::string(config) + "/pelmora/agent.env") {
      if (c == '\n' || c == '\r') throw std::invalid_argument("XDG_CONFIG_HOME holds a line break");
      env_file += c == '%' ? std::string("%%") : std::string(1, c);
    }
  }
  unit.service_lines = {
      "# The key: the saved login (`pelmora login`), or PELMORA_API_KEY=... in this file (mode 0600)",
      "EnvironmentFile=-" + env_file};
  say(systemd_unit(unit));
  return kExitOk;
}

int run_watch(WatchArgs args) {
  if (args.local) {
    use_local_service(args);
  } else {
    const HostCredentials credentials = resolve_host_credentials(args.api_key, args.api_url);
    args.api_key = credentials.api_key;
    args.api_url = credentials.api_url;
    if (!args.api_key || args.api_key->empty()) {
      std::cerr << "pelmora: warning: no API key, so offloads will fail: run `pelmora login`, "
                   "set PELMORA_API_KEY, pass --api-key, or use --local\n";
    }
  }

  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  sink->set_pattern("%n: %l: %v");
  agent_logger()->sinks().push_back(sink);

  std::vector<std::string> job_dirs = local_job_dirs();
  AgentDaemon daemon(AgentOptions{
      .api_key = args.api_key,
      .api_url = args.api_url,
      .fast = args.fast,
      .threshold = *parse_finite(args.threshold),
      .interval = *parse_finite(args.interval),
      .auto_offload = args.auto_offload,
      .gpu = args.gpu,
      .cpu = args.cpu,
      .memory = args.memory,
      .exclude =
          [job_dirs](const ProcessInfo& proc) {
            if (!proc.script_path) return false;
            for (const std::string& dir : job_dirs) {
              if (is_under(*proc.script_path, dir)) return true;
            }
            return false;
          },
      .project = args.project,
      .heavy_for = *parse_finite(args.heavy_for),
      .mine = args.mine,
      .stop_local = args.stop_local,
      .stop_grace = *parse_finite(args.stop_grace),
      .credentials_resolved = true,
  });
  std::cout.flush();
  daemon.watch();
  return kExitOk;
}

}  // namespace

void add_watch_command(CLI::App& app, int& exit_code) {
  auto args = std::make_shared<WatchArgs>();
  CLI::App* cmd = app.add_subcommand(
      "watch",
      "Watch this machine for heavy Python processes and offer to offload each one's script "
      "(with the local modules it imports) to the job service. Runs until Ctrl+C or SIGTERM.");
  cmd->add_option("--threshold", args->threshold,
                  "CPU or memory percentage at or above which a Python process is heavy "
                  "(default 85; 100 is one busy core)")
      ->type_name("PCT")
      ->check(finite_number("threshold"));
  cmd->add_option("--interval", args->interval, "Seconds between two scans (default 2)")
      ->type_name("SEC")
      ->check(finite_number("interval"));
  cmd->add_flag("--auto", args->auto_offload, "Offload every heavy process without asking");
  cmd->add_flag("--fast", args->fast, "Ask the service for its performance mode");
  cmd->add_flag("--project", args->project,
                "Offload each script's project (the process's working directory when the "
                "script lies under it, else the script's directory) and run the script there "
                "with its arguments, instead of the script with its local modules");
  cmd->add_option("--gpu", args->gpu, "GPU kind to ask the service for, such as A100")
      ->type_name("T");
  cmd->add_option("--cpu", args->cpu, "Number of CPU cores to ask the service for")
      ->type_name("N");
  cmd->add_option("--memory", args->memory, "Memory to ask the service for, such as 16Gi")
      ->type_name("M");
  CLI::Option* key = cmd->add_option(
      "--api-key", args->api_key,
      "API key (default: PELMORA_API_KEY, GATEWAY_API_KEY, then the saved login). A key given "
      "here is visible to other local users in the process table: prefer the environment or "
      "`pelmora login`.");
  CLI::Option* url = cmd->add_option(
      "--api-url", args->api_url,
      "Base URL of the job service (default: PELMORA_API_URL, the saved login's, then the "
      "public service)");
  cmd->add_flag("--local", args->local,
                "Offload to this user's local job service, starting `pelmora serve` in the "
                "background if it is not running")
      ->excludes(key)
      ->excludes(url);
  cmd->add_option("--for", args->heavy_for,
                  "Offer a process only once it has stayed at or above the threshold at every "
                  "scan for this many seconds (default 0: at the first scan that finds it)")
      ->type_name("SEC")
      ->check(finite_number("SEC") & CLI::Range(0.0, 1e9));
  cmd->add_flag("--mine", args->mine,
                "Watch only this user's processes (default: every user's)");
  CLI::Option* stop_local = cmd->add_flag(
      "--stop-local", args->stop_local,
      "After a submission succeeded, end the local process (SIGTERM, then SIGKILL after "
      "--stop-grace seconds); only a process of this user that is still the one detected");
  cmd->add_option("--stop-grace", args->stop_grace,
                  "Seconds between SIGTERM and SIGKILL for --stop-local (default 10)")
      ->type_name("SEC")
      ->check(finite_number("SEC") & CLI::Range(0.0, 1e9))
      ->needs(stop_local);
  cmd->add_flag("--print-systemd-unit", args->print_unit,
                "Print a systemd user unit that runs this watch with these options and --auto, "
                "and exit (the key comes from the saved login or an environment file, never "
                "from the unit)")
      ->excludes(key);
  cmd->callback([cmd, args, &exit_code] {
    exit_code = args->print_unit ? print_watch_unit(*cmd, *args) : run_watch(*args);
  });
}

}  // namespace pelmora::cli
