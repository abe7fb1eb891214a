#pragma once
// The local job service: the data directory, the job store, the keys, the scheduler with its
// runner (local processes, or a Slurm cluster), and the HTTP server, wired together. `pelmora serve` is a thin shell
// around it; tests run it in-process.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/api.h"
#include "service/job_cgroup.h"
#include "service/sandbox.h"
#include "service/slurm_runner.h"

namespace pelmora::service {

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = 8765;        // 0: any free port
  std::string data_dir;   // required
  // Where the jobs' working directories live; empty: <data_dir>/jobs. With the Slurm runner
  // this is the one directory the compute nodes must share: the state stays in data_dir.
  std::string jobs_dir;
  int max_jobs = 0;       // jobs running at once; 0: the number of cores (slurm: 64)
  std::string python = "python3";
  // Where jobs run: "local" (processes of this machine) or "slurm" (batch jobs of a cluster;
  // jobs_dir must then be on a file system the compute nodes share).
  std::string runner = "local";
  SlurmRunnerOptions slurm;  // with runner "slurm"; its python is replaced by `python`
  bool allow_remote = false;  // needed to bind an address other than loopback
  ApiLimits limits;
  // Connections open at once (lowered to what the open-files limit allows; slow and idle
  // ones cost a socket each, never a thread), and the seconds after which a connection that
  // sends nothing is closed.
  unsigned max_connections = 4096;
  unsigned idle_timeout = 30;
  double cancel_grace = 5.0;  // seconds between SIGTERM and SIGKILL
  std::optional<bool> has_gpu;  // absent: looked up
  // Variables of the service's environment given to jobs beyond the allow-list of
  // job_environment (service/job_environment.h).
  std::vector<std::string> pass_env;
  // How local jobs are confined (service/sandbox.h). Absent: bubblewrap when it runs here
  // (probed at construction), else the supervisor with a warning in the log.
  std::optional<Confinement> confinement;
  // Refuse to start (ServeError) when local jobs cannot be confined with bubblewrap.
  bool require_sandbox = false;
  // Local jobs' limits (service/local_runner.h): control groups when the probe at start
  // finds them usable (false: never), processes and threads per job, bytes of output stored
  // per job, bytes in a job's directory and how often that is measured (seconds).
  bool use_cgroups = true;
  std::uint64_t max_job_processes = 512;
  std::uint64_t max_job_output = std::uint64_t{1} << 30;
  std::uint64_t max_job_disk = std::uint64_t{10} << 30;
  double disk_check_interval = 5.0;
  // GET /metrics answers without a key (for a scraper on a trusted network).
  bool metrics_public = false;
  // Jobs that ended (completed, failed, cancelled) more than this many days ago are deleted,
  // rows and working directory, at start and then periodically. Absent: every job is kept.
  std::optional<double> keep_days;
  // Makes the runner instead of `runner` (tests put an in-memory one here). Empty: `runner`.
  std::function<std::unique_ptr<JobRunner>(RunnerEvents&)> make_runner;
};

// A configuration or start-up problem, with a one-line message for the user.
class ServeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback_host(const std::string& host);

class JobService {
 public:
  // Prepares the data directory (created mode 0700, with a keys file on first start),
  // takes its lock (one service per data directory) and opens the store. Throws ServeError.
  explicit JobService(ServiceOptions options);
  ~JobService();  // stop()
  JobService(const JobService&) = delete;
  JobService& operator=(const JobService&) = delete;

  // Binds the address (port 0 picks one), takes up the jobs a previous run left (queued
  // ones queued again; running ones, and ones waiting in Slurm's queue, followed again when
  // they were this runner's and it can, else marked failed: see Scheduler::start), starts
  // deleting old jobs (with keep_days, on a thread of its own), then serves requests on the
  // HTTP server's own threads, writes service.json and returns the port. Throws ServeError.
  int bind();

  // Returns when stop() is called; requires bind().
  void run();

  // Stops serving. The local runner's running jobs are stopped (recorded as failed); the
  // Slurm runner's are left to the cluster and followed again at the next start. Safe from
  // any thread, more than once; not from a signal handler.
  void stop();

  // "http://127.0.0.1:PORT" for the bound address (loopback when bound to all addresses).
  std::string url() const;
  const ServiceOptions& options() const { return _options; }
  // How local jobs are confined (the supervisor for another runner).
  Confinement confinement() const { return _confinement; }
  // The control groups local jobs get (none for another runner, or without use_cgroups).
  const CgroupProbe& cgroups() const { return _cgroups; }
  // Whether this start created the keys file.
  bool created_keys() const { return _created_keys; }
  // How many sweeps for old jobs have finished (0 without keep_days).
  std::size_t retention_sweeps() const;

 private:
  struct Parts;
  ServiceOptions _options;
  std::unique_ptr<Parts> _parts;
  int _lock_fd = -1;
  int _port = 0;
  bool _created_keys = false;
  Confinement _confinement = Confinement::supervisor;
  std::string _bwrap;
  CgroupProbe _cgroups;
};

}  // namespace pelmora::service
