#include "service/server.h"

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "agent/platform/errors.h"
#include "agent/platform/files.h"
#include "agent/platform/subprocess.h"
#include "service/job_environment.h"
#include "service/http_server.h"
#include "service/keys.h"
#include "agent/platform/data_dir.h"
#include "service/local_runner.h"
#include "service/log.h"
#include "service/metrics.h"
#include "service/output_waiters.h"
#include "service/retention.h"
#include "service/scheduler.h"
#include "service/state_dir.h"
#include "service/store.h"
#include "service/util.h"

namespace pelmora::service {

bool is_loopback_host(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) == 1) {
    return (ntohl(addr.s_addr) >> 24) == 127;
  }
  return false;
}

namespace {

constexpr int kDefaultSlurmMaxJobs = 64;

int max_jobs_for(const ServiceOptions& options) {
  if (options.max_jobs > 0) return options.max_jobs;
  // Jobs handed to Slurm wait in the cluster's queue, not on this machine's cores.
  if (options.runner == "slurm") return kDefaultSlurmMaxJobs;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// What a confined job must not see: the data directory, and the jobs directory (where the
// job's own directory is then bound again) when it lies elsewhere.
std::vector<std::string> hidden_dirs(const ServiceOptions& options) {
  std::vector<std::string> dirs = {options.data_dir};
  const std::string& jobs = options.jobs_dir;
  if (jobs.compare(0, options.data_dir.size() + 1, options.data_dir + "/") != 0) dirs.push_back(jobs);
  return dirs;
}

std::unique_ptr<JobRunner> make_runner(const ServiceOptions& options, Confinement confinement,
                                       const std::string& bwrap, const CgroupProbe& cgroups,
                                       RunnerEvents& events) {
  if (options.make_runner) return options.make_runner(events);
  if (options.runner == "slurm") {
    SlurmRunnerOptions slurm = options.slurm;
    slurm.python = options.python;
    slurm.pass_env = options.pass_env;
    return std::make_unique<SlurmRunner>(std::move(slurm), events);
  }
  return std::make_unique<LocalRunner>(LocalRunnerOptions{.python = options.python,
                                                          .cancel_grace = options.cancel_grace,
                                                          .has_gpu = options.has_gpu,
                                                          .pass_env = options.pass_env,
                                                          .confinement = confinement,
                                                          .bwrap = bwrap,
                                                          .hidden_dirs = hidden_dirs(options),
                                                          .cgroups = cgroups,
                                                          .max_processes = options.max_job_processes,
                                                          .max_output = options.max_job_output,
                                                          .max_disk = options.max_job_disk,
                                                          .disk_check_interval = options.disk_check_interval},
                                       events);
}

}  // namespace

struct JobService::Parts {
  Parts(const ServiceOptions& options, const std::string& data_dir, Confinement confinement,
        const std::string& bwrap, const CgroupProbe& cgroups)
      : store(jobs_db_file(data_dir)),
        keys(keys_file(data_dir)),
        scheduler(store, options.jobs_dir, max_jobs_for(options)),
        events(scheduler, waiters),
        runner(make_runner(options, confinement, bwrap, cgroups, events)),
        api(store, keys, scheduler, *runner, metrics, options.jobs_dir, options.limits,
            ServiceFacts{.confinement = options.runner == "local" && !options.make_runner
                                            ? confinement_name(confinement)
                                            : "",
                         .metrics_public = options.metrics_public},
            &waiters),
        http(HttpServerOptions{.max_body = options.limits.max_body,
                               .max_connections = options.max_connections,
                               .idle_timeout_seconds = options.idle_timeout},
             [this](const Request& req, Response& res) { api.handle(req, res); }) {
    scheduler.attach(*runner);
    scheduler.attach(metrics);
    if (options.keep_days) {
      sweeper = std::make_unique<RetentionSweeper>(
          store, options.jobs_dir,
          RetentionOptions{.keep_days = *options.keep_days},
          [this] { return scheduler.active_jobs(); });
    }
  }
  Metrics metrics;
  JobStore store;
  KeyRing keys;
  Scheduler scheduler;
  OutputWaiters waiters;  // long polls of output, woken through `events`
  WakingEvents events;
  std::unique_ptr<JobRunner> runner;
  Api api;
  std::unique_ptr<RetentionSweeper> sweeper;
  HttpServer http;
  std::once_flag stopped;
  bool started = false;
  std::mutex run_mutex;
  std::condition_variable run_ended;
  bool stopping = false;
};

JobService::JobService(ServiceOptions options) : _options(std::move(options)) {
  if (_options.data_dir.empty()) throw ServeError("no data directory given");
  if (!_options.allow_remote && !is_loopback_host(_options.host)) {
    throw ServeError("refusing to listen on " + _options.host +
                       ", which other machines can reach: pass --allow-remote to do so");
  }
  if (_options.port < 0 || _options.port > 65535) {
    throw ServeError("port must be from 0 to 65535");
  }
  if (_options.keep_days && !(*_options.keep_days > 0 && std::isfinite(*_options.keep_days))) {
    throw ServeError("the number of days to keep jobs must be a positive number");
  }
  if (_options.runner == "slurm") {
    for (const auto* command : {&_options.slurm.sbatch, &_options.slurm.squeue, &_options.slurm.scancel}) {
      if (!find_program(*command)) {
        throw ServeError("--runner slurm: cannot find the Slurm command " + *command +
                         " (is this machine a Slurm submit host, with the Slurm commands on PATH?)");
      }
    }
    SlurmClusterCheck check = check_slurm_cluster(_options.slurm);
    if (!check.refusal.empty()) throw ServeError(check.refusal);
    if (!check.warning.empty()) service_logger()->warn("{}", check.warning);
  } else if (_options.runner != "local") {
    throw ServeError("unknown runner \"" + _options.runner + "\": use local or slurm");
  }
  for (const auto& name : _options.pass_env) {
    if (!passable_env_name(name)) {
      throw ServeError("--pass-env " + name +
                       ": not a variable name that may be passed (the service's own PELMORA_ "
                       "and GATEWAY_ variables never are)");
    }
  }
  if (!(_options.disk_check_interval > 0 && std::isfinite(_options.disk_check_interval)) ||
      _options.max_job_processes == 0 || _options.max_job_output == 0 || _options.max_job_disk == 0) {
    throw ServeError("the limits of a job must be positive");
  }
  _options.data_dir = absolute_path(_options.data_dir);
  _options.jobs_dir = _options.jobs_dir.empty() ? jobs_dir(_options.data_dir)
                                                : normalize_path(absolute_path(_options.jobs_dir));
  if (_options.jobs_dir == _options.data_dir || _options.jobs_dir == state_dir(_options.data_dir) ||
      _options.jobs_dir.compare(0, state_dir(_options.data_dir).size() + 1,
                                state_dir(_options.data_dir) + "/") == 0 ||
      _options.data_dir.compare(0, _options.jobs_dir.size() + 1, _options.jobs_dir + "/") == 0) {
    throw ServeError("--jobs-dir " + _options.jobs_dir +
                     ": the jobs directory must lie apart from the data directory's own files "
                     "(neither the data directory, its state, nor a directory holding them)");
  }
  try {
    make_private_dirs(_options.data_dir);
    make_private_dirs(_options.jobs_dir);
  } catch (const std::exception& e) {
    throw ServeError(e.what());
  }
  if (_options.runner == "local" && !_options.make_runner) {
    if (_options.confinement) {
      _confinement = *_options.confinement;
      if (_confinement == Confinement::supervisor && _options.require_sandbox) {
        throw ServeError("--require-sandbox: jobs are not confined with bubblewrap");
      }
      if (_confinement == Confinement::bubblewrap) {
        auto found = find_program("bwrap");
        _bwrap = found ? *found : "bwrap";
      }
    } else {
      auto probe = probe_confinement();
      _confinement = probe.confinement;
      _bwrap = probe.bwrap;
      if (_confinement == Confinement::supervisor) {
        if (_options.require_sandbox) {
          throw ServeError("--require-sandbox: jobs cannot be confined here: " + probe.problem);
        }
        service_logger()->warn(
            "jobs are NOT confined: {}; they run as this user and can read what it can (the "
            "data directory included); only their processes are contained (a supervisor ends "
            "them with the job). Install bubblewrap, or pass --require-sandbox to refuse to "
            "start like this",
            probe.problem);
      } else {
        service_logger()->info(
            "jobs are confined with bubblewrap ({}): own mount, PID and IPC namespaces; each "
            "sees its own directory, not the data directory or other jobs",
            _bwrap);
      }
    }
  }
  if (_options.runner == "local" && !_options.make_runner && _options.use_cgroups) {
    _cgroups = probe_cgroups();
    auto said = [](const CgroupPlace& place) {
      return place.version == CgroupVersion::none ? std::string("none")
                                                  : std::string(cgroup_version_name(place.version)) +
                                                        " under " + place.parent;
    };
    if (_cgroups.memory.version != CgroupVersion::none && _cgroups.pids.version != CgroupVersion::none) {
      service_logger()->info(
          "each job gets control groups of its own: memory for the whole job ({}), at most {} "
          "processes and threads ({})",
          said(_cgroups.memory), _options.max_job_processes, said(_cgroups.pids));
    } else {
      service_logger()->warn(
          "job limits: memory {}, processes {}: {}; where a group is missing, a job's memory is "
          "limited per process (its address space) and its processes are not limited per job",
          _cgroups.memory.version == CgroupVersion::none ? "per process" : "for the whole job",
          _cgroups.pids.version == CgroupVersion::none ? "not limited" : "limited",
          _cgroups.problem);
    }
  }
  std::string lock_path = join_path(_options.data_dir, "serve.lock");
  _lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (_lock_fd < 0) throw ServeError("cannot open " + lock_path + ": " + errno_text(errno));
  if (flock(_lock_fd, LOCK_EX | LOCK_NB) != 0) {
    close(_lock_fd);
    _lock_fd = -1;
    throw ServeError("another pelmora serve is already running on " + _options.data_dir);
  }
  try {
    prepare_data_dir(_options.data_dir, true);
    _created_keys = prepare_keys_file(keys_file(_options.data_dir), local_key_file(_options.data_dir));
    _parts = std::make_unique<Parts>(_options, _options.data_dir, _confinement, _bwrap, _cgroups);
  } catch (const std::exception& e) {
    close(_lock_fd);
    _lock_fd = -1;
    throw ServeError(e.what());
  }
}

JobService::~JobService() {
  stop();
  _parts.reset();
  if (_lock_fd >= 0) close(_lock_fd);
}

int JobService::bind() {
  auto& http = _parts->http;
  std::string host = _options.host == "localhost" ? "127.0.0.1" : _options.host;
  if (!host.empty() && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  try {
    _port = http.bind(host, _options.port);
  } catch (const std::exception& e) {
    throw ServeError(e.what());
  }
  // Jobs left by a previous run are taken up before the first request can be served.
  if (!_parts->started) {
    _parts->started = true;
    _parts->scheduler.start();
    // After the previous run's jobs are settled: their ends are then recorded.
    if (_parts->sweeper) _parts->sweeper->start();
  }
  // Requests wait in the socket's queue until now.
  try {
    http.start();
  } catch (const std::exception& e) {
    throw ServeError(e.what());
  }
  nlohmann::json info = {{"url", url()}, {"pid", static_cast<long>(getpid())}};
  try {
    write_private_file(service_info_file(_options.data_dir), info.dump() + "\n");
  } catch (const std::exception& e) {
    throw ServeError(e.what());
  }
  return _port;
}

std::string JobService::url() const {
  std::string host = _options.host;
  if (host == "0.0.0.0" || host == "localhost") host = "127.0.0.1";
  if (host == "::" ) host = "::1";
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return "http://" + host + ":" + std::to_string(_port);
}

std::size_t JobService::retention_sweeps() const {
  return _parts && _parts->sweeper ? _parts->sweeper->sweeps_done() : 0;
}

void JobService::run() {
  std::unique_lock lock(_parts->run_mutex);
  _parts->run_ended.wait(lock, [this] { return _parts->stopping; });
}

void JobService::stop() {
  if (!_parts) return;
  std::call_once(_parts->stopped, [this] {
    // Jobs first: a local job started on a request's thread is tied to that thread (bubblewrap
    // dies with the thread that made it), so the HTTP threads must outlive the jobs' stop, or
    // a job would be killed, its slot freed and a queued job started in the meantime.
    _parts->scheduler.stop();
    _parts->http.stop();
    if (_parts->sweeper) _parts->sweeper->stop();
    {
      std::lock_guard lock(_parts->run_mutex);
      _parts->stopping = true;
    }
    _parts->run_ended.notify_all();
  });
}

}  // namespace pelmora::service
