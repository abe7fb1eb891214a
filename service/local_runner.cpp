#include "service/local_runner.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <thread>

#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/platform/fd.h"
#include "agent/platform/subprocess.h"
#include "service/job_environment.h"
#include "service/job_quota.h"
#include "service/log.h"
#include "service/output.h"
#include "service/resources.h"

namespace pelmora::service {

struct LocalRunner::Running {
  LaunchSpec spec;
  pid_t pid = -1;
  Fd out;
  Fd err;
  std::atomic<bool> cancelled{false};
  std::atomic<double> kill_at{0.0};  // monotonic time for SIGKILL; 0: none
  std::unique_ptr<JobCgroup> cgroup;  // absent: no control group could be used
  std::optional<std::uint64_t> memory;  // what "memory" asked for
};

namespace {

// How often a running job's control group counters are read, in seconds.
constexpr double kCgroupCheckInterval = 0.25;

}  // namespace

LocalRunner::LocalRunner(LocalRunnerOptions options, RunnerEvents& events, Clock& clock)
    : _options(std::move(options)), _events(events), _clock(clock) {}

LocalRunner::~LocalRunner() { stop_all(); }

void LocalRunner::launch(const LaunchSpec& spec) {
  auto fail = [&](const std::string& error) { _events.on_finished(spec, JobOutcome{std::nullopt, error}); };

  const auto& resources = spec.resources;
  if (resources.contains("gpu") && resources["gpu"].is_string() &&
      !resources["gpu"].get<std::string>().empty()) {
    bool has_gpu = _options.has_gpu ? *_options.has_gpu : access("/dev/nvidia0", F_OK) == 0;
    if (!has_gpu) {
      return fail("GPU \"" + resources["gpu"].get<std::string>() +
                  "\" was requested, but this machine has no GPU");
    }
  }
  auto python = find_program(_options.python);
  if (!python) return fail("cannot run the interpreter " + _options.python + ": not found");

  SpawnOptions run;
  run.argv = {*python, "-u", "main.py"};
  if (_options.confinement == Confinement::bubblewrap) {
    run.argv = bubblewrap_command(_options.bwrap, spec.work_dir, _options.hidden_dirs, run.argv);
  } else {
    run.supervise = true;
  }
  run.env = job_environment(environ, _options.pass_env);
  run.cwd = spec.work_dir;
  run.group = ProcessGroup::new_session;
  run.output = ChildOutput::pipes;
  if (resources.contains("cpu") && resources["cpu"].is_number_integer() &&
      resources["cpu"].get<long long>() > 0) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      long long want = resources["cpu"].get<long long>();
      for (int c = 0; c < CPU_SETSIZE && want > 0; ++c) {
        if (CPU_ISSET(c, &allowed)) {
          run.cpus.push_back(c);
          --want;
        }
      }
    }
  }
  std::optional<std::uint64_t> memory;
  if (resources.contains("memory") && resources["memory"].is_string()) {
    memory = parse_memory(resources["memory"].get<std::string>());
  }
  std::unique_ptr<JobCgroup> cgroup;
  const bool memory_groups = _options.cgroups.memory.version != CgroupVersion::none;
  const bool pids_groups = _options.cgroups.pids.version != CgroupVersion::none;
  if ((memory && memory_groups) || pids_groups) {
    try {
      cgroup = std::make_unique<JobCgroup>(_options.cgroups, "pelmora-" + spec.job_id, memory,
                                           _options.max_processes);
      run.join_cgroups = cgroup->procs_files();
    } catch (const std::exception& e) {
      service_logger()->warn("{}: runs without control groups: {}", spec.job_id, e.what());
    }
  }
  const CgroupVersion memory_version = cgroup ? cgroup->memory_version() : CgroupVersion::none;
  const CgroupVersion pids_version = cgroup ? cgroup->pids_version() : CgroupVersion::none;
  // The whole job's memory where a group holds it; otherwise each process's address space.
  if (memory && memory_version == CgroupVersion::none) run.address_space_limit = memory;
  nlohmann::json limits = nlohmann::json::object();
  if (!memory) {
    limits["memory"] = "none asked for";
  } else if (memory_version != CgroupVersion::none) {
    limits["memory"] = size_text(*memory) + " for the whole job (" + cgroup_version_name(memory_version) + ")";
  } else {
    limits["memory"] = size_text(*memory) +
                       " per process (an address-space limit: no memory control group can be used here)";
  }
  if (pids_version != CgroupVersion::none) {
    limits["processes"] = std::to_string(_options.max_processes) +
                          " processes and threads for the whole job (" + cgroup_version_name(pids_version) + ")";
  } else {
    limits["processes"] =
        "not limited per job (no pids control group can be used here; RLIMIT_NPROC would count "
        "every process of the user)";
  }
  limits["output"] = size_text(_options.max_output) + " stored (standard output and error)";
  limits["disk"] = size_text(_options.max_disk) + " in the job's directory";
  Child child;
  try {
    child = spawn(run);
  } catch (const SpawnError& e) {
    switch (e.stage) {
      case SpawnStage::chdir:
        return fail("cannot enter the job directory " + spec.work_dir + ": " + errno_text(e.error_code));
      case SpawnStage::exec:
        return fail("cannot run the interpreter " + *python + ": " + errno_text(e.error_code));
      case SpawnStage::fork:
        return fail("cannot start the job: " + errno_text(e.error_code));
      case SpawnStage::cgroup:
      case SpawnStage::prepare:
        return fail(e.what());
    }
  }
  const pid_t pid = child.pid;

  auto job = std::make_shared<Running>();
  job->spec = spec;
  job->pid = pid;
  job->out = std::move(child.out);
  job->err = std::move(child.err);
  job->cgroup = std::move(cgroup);
  job->memory = memory;
  {
    std::lock_guard lock(_mutex);
    _running[spec.job_id] = job;
    ++_threads;
  }
  try {
    _events.on_limits(spec, limits);
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its limits: {}", spec.job_id, e.what());
  }
  _events.on_started(spec, pid);
  std::thread([this, job] { _follow(job); }).detach();
}

void LocalRunner::cancel(const std::string& job_id) {
  std::shared_ptr<Running> job;
  {
    std::lock_guard lock(_mutex);
    auto it = _running.find(job_id);
    if (it == _running.end()) return;
    job = it->second;
  }
  if (job->cancelled.exchange(true)) return;
  job->kill_at = _clock.monotonic() + _options.cancel_grace;
  _signal(*job, false);
}

void LocalRunner::_signal(const Running& job, bool now) const {
  if (_options.confinement == Confinement::supervisor) {
    // The supervisor passes it on to everything below it.
    kill(job.pid, now ? SIGUSR1 : SIGTERM);
  } else {
    // bwrap and the job share the group; the namespace ends with bwrap.
    kill(-job.pid, now ? SIGKILL : SIGTERM);
  }
}

void LocalRunner::stop_all() {
  std::vector<std::string> ids;
  {
    std::lock_guard lock(_mutex);
    for (const auto& [id, job] : _running) ids.push_back(id);
  }
  for (const auto& id : ids) cancel(id);
  std::unique_lock lock(_mutex);
  _idle.wait(lock, [this] { return _threads == 0; });
}

void LocalRunner::_follow(std::shared_ptr<Running> job) {
  const LaunchSpec& spec = job->spec;
  OutputBatcher output(spec, _events, _options.batch_lines);
  double first_pending = 0;
  LineSplitter splitters[2] = {LineSplitter(_options.max_line_bytes),
                               LineSplitter(_options.max_line_bytes)};
  std::vector<std::string> entries;
  int fds[2] = {job->out.get(), job->err.get()};
  bool open_fd[2] = {true, true};
  bool exited = false;
  bool group_killed = false;
  double exited_at = 0;
  std::vector<char> buffer(64 * 1024);

  // The first limit the job passed; it is killed at once.
  std::string limit_error;
  bool reaped = false;  // its pid may belong to another process now: never signalled
  auto breach = [&](std::string why) {
    if (!limit_error.empty() || job->cancelled) return;
    limit_error = std::move(why);
    service_logger()->info("{}: {}", spec.job_id, limit_error);
    if (!reaped) _signal(*job, true);
    if (job->cgroup) job->cgroup->kill_all();
  };
  auto check_cgroup = [&] {
    if (!job->cgroup) return;
    if (job->memory && job->cgroup->oom_kills() > 0) {
      breach("memory limit exceeded: the job's processes together needed more than " +
             size_text(*job->memory) + " (\"memory\": \"" +
             spec.resources.value("memory", std::string()) + "\"), and the kernel killed one of them");
    } else if (job->cgroup->fork_refusals() > 0) {
      breach("process limit exceeded: the job tried to run more than " +
             std::to_string(_options.max_processes) + " processes and threads at once");
    }
  };
  auto check_disk = [&] {
    const std::uint64_t used = allocated_bytes(spec.work_dir, _options.max_disk);
    if (used > _options.max_disk) {
      breach("disk quota exceeded: the job's directory took more than " + size_text(_options.max_disk) +
             " on disk");
    }
  };
  double next_cgroup_check = 0;
  double next_disk_check = _clock.monotonic() + _options.disk_check_interval;
  std::uint64_t output_bytes = 0;

  auto add = [&](int stream) {
    for (auto& content : entries) {
      // Nothing past the quota is stored: the entry that passes it is cut there.
      const std::uint64_t room = _options.max_output - output_bytes;
      if (content.size() > room) {
        content.resize(static_cast<std::size_t>(room));
        breach("output quota exceeded: the job wrote more than " + size_text(_options.max_output) +
               " of output; what followed was not stored");
      }
      output_bytes += content.size();
      if (content.empty()) continue;
      if (output.empty()) first_pending = _clock.monotonic();
      output.add(stream == 0 ? Stream::stdout_stream : Stream::stderr_stream, std::move(content));
    }
    entries.clear();
  };

  while (open_fd[0] || open_fd[1]) {
    double now = _clock.monotonic();
    if (now >= next_cgroup_check) {
      next_cgroup_check = now + kCgroupCheckInterval;
      check_cgroup();
    }
    if (now >= next_disk_check) {
      next_disk_check = now + _options.disk_check_interval;
      check_disk();
    }
    double kill_at = job->kill_at.load();
    if (kill_at > 0 && now >= kill_at) {
      _signal(*job, true);
      job->kill_at = 0.0;
    }
    if (!exited) {
      // Seen without reaping: the zombie keeps the process group's id from being reused.
      siginfo_t info{};
      if (waitid(P_PID, static_cast<id_t>(job->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == job->pid) {
        exited = true;
        exited_at = now;
      }
    } else if (!group_killed && now - exited_at > 1.0) {
      // The script has ended; what it left behind in its group goes with it (the
      // supervisor or the PID namespace has already ended the rest).
      kill(-job->pid, SIGKILL);
      group_killed = true;
    } else if (group_killed && now - exited_at > 3.0) {
      break;  // the pipes are held by a process outside the group
    }
    int timeout = 100;
    if (!output.empty()) {
      double left = std::min(first_pending + _options.flush_interval - now, _options.quiet_flush);
      timeout = std::clamp(static_cast<int>(std::ceil(left * 1000)), 0, 100);
    }
    pollfd polls[2];
    nfds_t count = 0;
    int which[2];
    for (int s = 0; s < 2; ++s) {
      if (!open_fd[s]) continue;
      polls[count] = pollfd{fds[s], POLLIN, 0};
      which[count++] = s;
    }
    int ready = poll(polls, count, timeout);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      int s = which[i];
      ssize_t n = read_some(fds[s], buffer.data(), buffer.size());
      if (n > 0) {
        splitters[s].feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), entries);
        add(s);
      } else if (n == 0 || errno != EAGAIN) {
        open_fd[s] = false;
      }
    }
    // Handed on when the batch is old enough, or when the job went quiet.
    if (!output.empty() &&
        (ready == 0 || _clock.monotonic() - first_pending >= _options.flush_interval)) {
      output.flush();
    }
  }
  for (int s = 0; s < 2; ++s) {
    splitters[s].finish(entries);
    add(s);
  }
  output.flush();
  job->out.reset();
  job->err.reset();

  if (!group_killed) kill(-job->pid, SIGKILL);
  int status = 0;
  while (waitpid(job->pid, &status, 0) < 0 && errno == EINTR) {
  }
  reaped = true;
  // A limit passed in its last moments counts too (the kernel's OOM kill of the script
  // itself, above all).
  check_cgroup();
  if (limit_error.empty()) check_disk();
  job->cgroup.reset();  // what is left in its groups is killed, and the groups removed
  JobOutcome outcome;
  if (WIFEXITED(status) && _options.confinement == Confinement::bubblewrap &&
      WEXITSTATUS(status) > 128 && WEXITSTATUS(status) < 128 + 65) {
    // bwrap reports a job ended by signal N as exit status 128 + N.
    const int sig = WEXITSTATUS(status) - 128;
    outcome.exit_code = -sig;
    if (!job->cancelled) outcome.error = signal_text(sig);
  } else if (WIFEXITED(status)) {
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.exit_code = -WTERMSIG(status);
    if (!job->cancelled) outcome.error = signal_text(WTERMSIG(status));
  }
  if (!limit_error.empty()) outcome.error = limit_error;
  if (job->cancelled) outcome.error = "cancelled";
  {
    std::lock_guard lock(_mutex);
    _running.erase(spec.job_id);
  }
  try {
    _events.on_finished(spec, outcome);
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its end: {}", spec.job_id, e.what());
  }
  std::lock_guard lock(_mutex);
  --_threads;
  _idle.notify_all();
}

}  // namespace pelmora::service
