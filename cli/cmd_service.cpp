// `pelmora serve` (the local job service), `pelmora cancel JOB` and `pelmora jobs`.
#include <pthread.h>

#include <csignal>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/stdout_sinks.h>

#include "agent/client/http.h"
#include "agent/platform/files.h"
#include "agent/records.h"
#include "cli/commands.h"
#include "cli/host_config.h"
#include "service/keys.h"
#include "service/local.h"
#include "service/local_runner.h"
#include "service/log.h"
#include "service/resources.h"
#include "service/server.h"
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
  std::string max_body = "10Mi";
  double cancel_grace = 5.0;
  bool add_key = false;
  bool stop = false;
  std::string key_name = "user";
  std::optional<double> credits;
  std::optional<int> rate;
};

int add_key_command(const ServeArgs& args) {
  std::string data_dir = args.data_dir.empty() ? default_data_dir() : args.data_dir;
  service::make_private_dirs(data_dir);
  service::KeyLimits limits{args.credits, args.rate};
  std::string key = service::add_key(keys_file(data_dir), args.key_name, limits);
  // The one place a key is shown: the user asked for it.
  std::cout << key << "\n";
  std::cerr << "pelmora: added key \"" << args.key_name << "\" to " << keys_file(data_dir)
            << "; a running service accepts it at once.\n";
  return kExitOk;
}

// Stops the service running on the data directory: SIGTERM to the pid its service.json
// names (only when that process is a pelmora service), then waits up to ten seconds.
int stop_command(const ServeArgs& args) {
  const std::string data_dir = args.data_dir.empty() ? default_data_dir() : args.data_dir;
  const std::string info_path = service_info_file(data_dir);
  long long pid = 0;
  try {
    const auto info = json::parse(read_file_bytes(info_path));
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
                             "): " + std::strerror(errno));
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
  auto max_body = service::parse_memory(args.max_body);
  if (!max_body) throw std::runtime_error("--max-body: not a size: " + args.max_body);
  options.limits.max_body = static_cast<std::size_t>(*max_body);
  options.cancel_grace = args.cancel_grace;

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
  auto python = service::find_program(options.python);
  std::cout << "pelmora job service listening on " << service.url() << "\n"
            << "  data directory: " << options.data_dir << "\n"
            << "  interpreter: " << (python ? *python : options.python + " (not found!)")
            << "\n"
            << "Point the client at it with:  pelmora login --local\n"
            << "  or: export PELMORA_API_URL=" << service.url()
            << " PELMORA_API_KEY=<a key from " << keys_file(options.data_dir) << ">\n"
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

std::string host_error(const HttpResponse& res) {
  json body = json::parse(res.body, nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_string()) {
    return body["error"].get<std::string>();
  }
  return "the service answered " + std::to_string(res.status) + ": " + res.body;
}

HttpResponse host_request(const std::string& method, const std::string& path,
                          const std::optional<std::string>& flag_key,
                          const std::optional<std::string>& flag_url) {
  auto creds = resolve_host_credentials(flag_key, flag_url);
  if (!creds.api_key || creds.api_key->empty()) {
    throw std::runtime_error(
        "no API key: pass --api-key, set PELMORA_API_KEY, or run `pelmora login`");
  }
  HttpRequest req;
  req.method = method;
  req.url = creds.api_url + path;
  req.headers.emplace_back("Authorization", "Bearer " + *creds.api_key);
  if (method == "POST") {
    req.headers.emplace_back("Content-Type", "application/json");
    req.body = "{}";
  }
  req.timeout_seconds = 15.0;
  auto res = http_request(req);
  if (res.status == 401) throw std::runtime_error("the service rejected the API key");
  return res;
}

std::string text_or_dash(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return std::to_string(value.get<long long>());
  return "-";
}

}  // namespace

void add_service_commands(CLI::App& app, int& exit_code) {
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
  serve->add_option("--max-jobs", args->max_jobs, "Jobs running at once (default: the number of cores)")
      ->check(CLI::Range(1, 4096));
  serve->add_option("--python", args->python, "Interpreter that runs the jobs")->capture_default_str();
  serve->add_flag("--allow-remote", args->allow_remote,
                  "Allow --host to be an address other machines can reach");
  serve->add_option("--max-body", args->max_body, "Largest request body, such as 10Mi")
      ->capture_default_str();
  serve->add_option("--cancel-grace", args->cancel_grace,
                    "Seconds between SIGTERM and SIGKILL when a job is cancelled")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 3600.0));
  serve->add_flag("--add-key", args->add_key,
                  "Add a new API key to the data directory, print it and exit");
  serve->add_option("--key-name", args->key_name, "Name of the key --add-key adds")
      ->capture_default_str();
  serve->add_option("--credits", args->credits, "Credit budget of the key --add-key adds")
      ->check(CLI::NonNegativeNumber);
  serve->add_option("--rate", args->rate,
                    "Submissions per minute allowed to the key --add-key adds")
      ->check(CLI::Range(0, 1000000000));
  serve->add_flag("--stop", args->stop,
                  "Stop the service running on the data directory (started by `pelmora watch --local` "
                  "or `pelmora login --local`) and exit");
  serve->callback([args, &exit_code] {
    exit_code = args->stop ? stop_command(*args) : serve_command(*args);
  });

  struct HostArgs {
    std::string job_id;
    std::optional<std::string> api_key;
    std::optional<std::string> api_url;
    int limit = 20;
    bool json_output = false;
  };
  auto cancel_args = std::make_shared<HostArgs>();
  auto* cancel = app.add_subcommand("cancel", "Cancel a queued or running job.");
  cancel->add_option("JOB", cancel_args->job_id, "The job identifier")->required();
  cancel->add_option("--api-key", cancel_args->api_key, "API key (default: PELMORA_API_KEY or the saved login)");
  cancel->add_option("--api-url", cancel_args->api_url, "Job service URL");
  cancel->callback([cancel_args, &exit_code] {
    const auto& a = *cancel_args;
    auto res = host_request("POST", "/v1/jobs/" + encode_path_segment(a.job_id) + "/cancel",
                            a.api_key, a.api_url);
    if (res.status == 404) throw std::runtime_error("no such job: " + a.job_id);
    if (res.status != 200) throw std::runtime_error(host_error(res));
    std::cout << "Cancelled " << a.job_id << ".\n";
    exit_code = kExitOk;
  });

  auto jobs_args = std::make_shared<HostArgs>();
  auto* jobs = app.add_subcommand("jobs", "List your jobs on the job service, newest first.");
  jobs->add_option("--limit", jobs_args->limit, "How many jobs to show")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  jobs->add_flag("--json", jobs_args->json_output, "Print the service's JSON answer");
  jobs->add_option("--api-key", jobs_args->api_key, "API key (default: PELMORA_API_KEY or the saved login)");
  jobs->add_option("--api-url", jobs_args->api_url, "Job service URL");
  jobs->callback([jobs_args, &exit_code] {
    const auto& a = *jobs_args;
    auto res = host_request("GET", "/v1/jobs?limit=" + std::to_string(a.limit), a.api_key, a.api_url);
    if (res.status != 200) throw std::runtime_error(host_error(res));
    json body = json::parse(res.body, nullptr, false);
    if (!body.is_object() || !body.contains("jobs") || !body["jobs"].is_array()) {
      throw std::runtime_error("the service sent an answer that is not a job list");
    }
    if (a.json_output) {
      std::cout << body.dump(2) << "\n";
      exit_code = kExitOk;
      return;
    }
    if (body["jobs"].empty()) {
      std::cout << "No jobs.\n";
      exit_code = kExitOk;
      return;
    }
    std::printf("%-36s  %-9s  %4s  %-24s  %s\n", "JOB", "STATUS", "EXIT", "CREATED", "SCRIPT");
    for (const auto& job : body["jobs"]) {
      if (!job.is_object()) continue;
      auto field = [&](const char* name) { return job.contains(name) ? text_or_dash(job[name]) : "-"; };
      std::printf("%-36s  %-9s  %4s  %-24s  %s\n", field("job_id").c_str(), field("status").c_str(),
                  field("exit_code").c_str(), field("created_at").c_str(), field("file_path").c_str());
    }
    std::fflush(stdout);
    exit_code = kExitOk;
  });
}

}  // namespace pelmora::cli
