#include "service/slurm_runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/platform/files.h"
#include "service/local_runner.h"
#include "service/log.h"
#include "service/resources.h"
#include "service/util.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace pelmora::service {
namespace {

constexpr std::size_t kMaxCommandOutput = 4 * 1024 * 1024;
constexpr std::size_t kReadChunk = 4 * 1024 * 1024;  // of an output file per look, while running

double monotonic_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> nonempty_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = trim(std::string_view(text).substr(start, nl - start));
    if (!line.empty()) lines.push_back(std::move(line));
    start = nl + 1;
  }
  return lines;
}

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : _fd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return _fd; }
  void reset() {
    if (_fd >= 0) close(_fd);
    _fd = -1;
  }

 private:
  int _fd;
};

// How one run of a command went.
struct CommandResult {
  bool ran = false;   // it ran to its end; else `failure` says why not
  int status = 0;     // its exit status, or minus the signal that ended it
  std::string out;    // standard output and error, at most kMaxCommandOutput each
  std::string err;
  std::string failure;

  bool ok() const { return ran && status == 0; }
  // One line on what went wrong, in the command's own words when it said something.
  std::string message(const std::string& name) const {
    if (!ran) return failure;
    auto lines = nonempty_lines(err);
    if (lines.empty()) lines = nonempty_lines(out);
    // Slurm's commands put their reason last ("sbatch: error: Batch job submission failed: ...").
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->find("error") != std::string::npos) return *it;
    }
    if (!lines.empty()) return lines.back();
    return name + (status < 0 ? " was " + signal_text(-status)
                              : " exited with status " + std::to_string(status));
  }
};

// Runs `args` (args[0] a path or a name on PATH) with environment `env`, standard input
// /dev/null, in a process group of its own, and collects its output; after `timeout`
// seconds the group is killed.
CommandResult run_command(const std::vector<std::string>& args, const std::vector<std::string>& env,
                          double timeout) {
  CommandResult result;
  auto program = find_program(args.at(0));
  if (!program) {
    result.failure = "cannot run " + args[0] + ": not found";
    return result;
  }
  // Everything the child needs is made before fork: after it, only system calls.
  std::vector<std::string> argv_text = args;
  argv_text[0] = *program;
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = env;
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2], report_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.failure = "cannot run " + args[0] + ": " + errno_text(errno);
    return result;
  }
  Fd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.failure = "cannot run " + args[0] + ": " + errno_text(errno);
    return result;
  }
  Fd err_read(err_pipe[0]), err_write(err_pipe[1]);
  if (pipe2(report_pipe, O_CLOEXEC) != 0) {
    result.failure = "cannot run " + args[0] + ": " + errno_text(errno);
    return result;
  }
  Fd report_read(report_pipe[0]), report_write(report_pipe[1]);
  Fd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (null_fd.get() < 0) {
    result.failure = "cannot open /dev/null: " + errno_text(errno);
    return result;
  }

  pid_t pid = fork();
  if (pid < 0) {
    result.failure = "cannot run " + args[0] + ": " + errno_text(errno);
    return result;
  }
  if (pid == 0) {
    setpgid(0, 0);
    // The service blocks its stop signals in every thread; what it starts gets them back.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) std::signal(sig, SIG_DFL);
    dup2(null_fd.get(), 0);
    dup2(out_write.get(), 1);
    dup2(err_write.get(), 2);
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    execve(argv[0], argv.data(), envp.data());
    int error = errno;
    ssize_t ignored = write(report_write.get(), &error, sizeof error);
    (void)ignored;
    _exit(127);
  }
  out_write.reset();
  err_write.reset();
  report_write.reset();
  int exec_error = 0;
  ssize_t n;
  do {
    n = read(report_read.get(), &exec_error, sizeof exec_error);
  } while (n < 0 && errno == EINTR);
  bool exec_failed = n == static_cast<ssize_t>(sizeof exec_error);

  double deadline = monotonic_now() + timeout;
  bool timed_out = false;
  int fds[2] = {out_read.get(), err_read.get()};
  std::string* sinks[2] = {&result.out, &result.err};
  bool open_fd[2] = {!exec_failed, !exec_failed};
  char buffer[16 * 1024];
  while (open_fd[0] || open_fd[1]) {
    double left = deadline - monotonic_now();
    if (left <= 0) {
      timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    pollfd polls[2];
    nfds_t count = 0;
    int which[2];
    for (int s = 0; s < 2; ++s) {
      if (!open_fd[s]) continue;
      polls[count] = pollfd{fds[s], POLLIN, 0};
      which[count++] = s;
    }
    int ready = poll(polls, count, static_cast<int>(std::min(left * 1000 + 1, 1000.0)));
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      int s = which[i];
      ssize_t got = read(fds[s], buffer, sizeof buffer);
      if (got > 0) {
        std::size_t room = kMaxCommandOutput - std::min(kMaxCommandOutput, sinks[s]->size());
        sinks[s]->append(buffer, std::min(room, static_cast<std::size_t>(got)));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        open_fd[s] = false;
      }
    }
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (waited == 0) {
      // Its output is closed but it has not exited yet: give it until the deadline.
      if (monotonic_now() >= deadline) {
        timed_out = true;
        kill(-pid, SIGKILL);
      } else {
        usleep(10 * 1000);
      }
    }
  } while (waited == 0 || (waited < 0 && errno == EINTR));
  if (exec_failed) {
    result.failure = "cannot run " + *program + ": " + errno_text(exec_error);
  } else if (timed_out) {
    result.failure = args[0] + " did not finish within " + std::to_string(static_cast<int>(timeout)) +
                     " s";
  } else {
    result.ran = true;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return result;
}

// `text` quoted for the POSIX shell.
std::string sh_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "'";
}

std::string batch_script(const LaunchSpec& spec, const std::string& python) {
  std::string exit_file = sh_quote(kSlurmExitFile);
  std::string part_file = sh_quote(std::string(kSlurmExitFile) + ".part");
  return "#!/bin/sh\n"
         "# pelmora job " + spec.job_id + "\n"
         "# Runs main.py here and leaves the interpreter's exit status in " + kSlurmExitFile + ".\n"
         "cd " + sh_quote(spec.work_dir) + " || exit 1\n" +
         sh_quote(python) + " -u main.py </dev/null\n"
         "status=$?\n"
         "printf '%s\\n' \"$status\" > " + part_file + " && mv -f " + part_file + " " +
         exit_file + "\n"
         "exit \"$status\"\n";
}

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// States in which Slurm has started the job and not yet ended it.
bool is_active_state(const std::string& state) {
  for (const char* s : {"RUNNING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT"}) {
    if (state == s) return true;
  }
  return false;
}

// States a job only has once it has left for good.
bool is_final_state(const std::string& state) {
  for (const char* s : {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "OUT_OF_MEMORY", "NODE_FAIL",
                        "PREEMPTED", "BOOT_FAIL", "DEADLINE", "REVOKED"}) {
    if (state == s) return true;
  }
  return false;
}

// States that say why a job's processes were killed, beyond the signal itself.
bool explains_kill(const std::string& state) {
  return is_final_state(state) && state != "COMPLETED" && state != "FAILED";
}

// The whole file from `offset` on, at most `limit` bytes; empty when it does not exist.
std::string read_from(const std::string& path, std::uint64_t offset, std::size_t limit) {
  // Opened afresh each time: on NFS, open is what brings a file's new size and contents
  // from other nodes (close-to-open consistency).
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  std::string data;
  std::vector<char> buffer(64 * 1024);
  while (data.size() < limit) {
    std::size_t want = std::min(buffer.size(), limit - data.size());
    ssize_t n = pread(fd.get(), buffer.data(), want, static_cast<off_t>(offset + data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return data;
}

std::optional<int> read_exit_status(const std::string& path) {
  std::string text = trim(read_from(path, 0, 64));
  if (!all_digits(text) || text.size() > 3) return std::nullopt;
  return std::stoi(text);
}

}  // namespace

std::vector<std::string> slurm_resource_args(const nlohmann::json& resources) {
  std::vector<std::string> args;
  if (!resources.is_object()) return args;
  if (resources.contains("cpu") && resources["cpu"].is_number_integer()) {
    auto cpu = resources["cpu"].get<long long>();
    if (cpu > 0) args.push_back("--cpus-per-task=" + std::to_string(cpu));
  }
  if (resources.contains("memory") && resources["memory"].is_string()) {
    if (auto bytes = parse_memory(resources["memory"].get<std::string>())) {
      constexpr std::uint64_t mib = 1024 * 1024;
      args.push_back("--mem=" + std::to_string((*bytes + mib - 1) / mib));
    }
  }
  if (resources.contains("gpu") && resources["gpu"].is_string()) {
    std::string gpu = resources["gpu"].get<std::string>();
    if (!gpu.empty()) {
      std::string type = gpu;
      std::string count = "1";
      if (all_digits(gpu)) {
        type.clear();
        count = gpu;
      } else if (auto colon = gpu.rfind(':'); colon != std::string::npos) {
        type = gpu.substr(0, colon);
        count = gpu.substr(colon + 1);
      }
      bool type_ok = std::all_of(type.begin(), type.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
      });
      if (!type_ok || (type.empty() && !all_digits(gpu)) || !all_digits(count) || count.size() > 4) {
        throw std::invalid_argument("GPU \"" + gpu +
                                    "\" cannot be asked of Slurm: give a count, a type, or TYPE:COUNT");
      }
      if (std::stoi(count) > 0) {
        args.push_back("--gres=gpu:" + (type.empty() ? "" : type + ":") +
                       std::to_string(std::stoi(count)));
      }
    }
  }
  return args;
}

// A job handed to Slurm. `slurm_id` is set once, under the runner's _mutex (the poller only
// takes up jobs that have one); `cancelled` is guarded by _mutex; everything from `events`
// on by `events`, which is held while events are reported, so that they keep their order
// whichever thread reports them.
struct SlurmRunner::Job {
  Job(const LaunchSpec& job, RunnerEvents& runner_events, const SlurmRunnerOptions& options,
      std::int64_t first_index = 0)
      : spec(job),
        output(spec, runner_events, options.batch_lines, first_index),
        splitters{LineSplitter(options.max_line_bytes), LineSplitter(options.max_line_bytes)} {}

  LaunchSpec spec;
  std::string slurm_id;  // empty while sbatch runs
  bool cancelled = false;
  bool resumed = false;  // left by a previous service, followed again

  std::mutex events;
  bool ended = false;    // on_finished was reported or is being reported, or it was released
  bool started = false;  // on_started was reported
  std::string last_state;  // as squeue last showed it
  double gone_since = 0;   // monotonic time it was first seen out of the queue; 0: in it
  OutputBatcher output;
  LineSplitter splitters[2];
  // Per stream: bytes read from its file, and bytes handed on as entries (the rest waits
  // in the splitter as an unfinished line).
  std::uint64_t offsets[2] = {0, 0};
  std::uint64_t handed_on[2] = {0, 0};

  std::string file(const char* name) const { return join_path(spec.work_dir, name); }
};

SlurmRunner::SlurmRunner(SlurmRunnerOptions options, RunnerEvents& events)
    : _options(std::move(options)), _events(events) {
  _poller = std::thread([this] { _poll_loop(); });
}

SlurmRunner::~SlurmRunner() {
  stop_all();
  {
    std::lock_guard lock(_mutex);
    _quit = true;
  }
  _changed.notify_all();
  _poller.join();
}

void SlurmRunner::launch(const LaunchSpec& spec) {
  auto fail = [&](const std::string& error) {
    _events.on_finished(spec, JobOutcome{std::nullopt, error});
  };
  std::vector<std::string> resource_args;
  try {
    resource_args = slurm_resource_args(spec.resources);
  } catch (const std::invalid_argument& e) {
    return fail(e.what());
  }
  auto job = std::make_shared<Job>(spec, _events, _options);
  {
    std::lock_guard lock(_mutex);
    if (_jobs.count(spec.job_id) != 0) {
      service_logger()->error("{}: launched twice", spec.job_id);
      return;
    }
    _jobs[spec.job_id] = job;
  }
  auto give_up = [&](const std::string& error) {
    {
      std::lock_guard events(job->events);
      if (job->ended) return;  // stop_all gave up on it, or release_all let it go, meanwhile
      job->ended = true;
    }
    fail(error);
    _forget(*job);
  };
  std::vector<std::string> env = job_environment(environ);

  // A job queued again after a restart may have been submitted by a service that stopped
  // before it could record the Slurm job id (on_submitted): that one goes.
  std::string id_file = job->file(kSlurmJobIdFile);
  std::string previous = trim(read_from(id_file, 0, 64));
  if (all_digits(previous)) {
    service_logger()->info("{}: cancelling its earlier Slurm job {}", spec.job_id, previous);
    _scancel({previous});
  }
  for (const char* name : {kSlurmExitFile, kSlurmStdoutFile, kSlurmStderrFile, kSlurmJobIdFile}) {
    unlink(job->file(name).c_str());
  }
  std::string script = job->file(kSlurmScriptFile);
  try {
    write_private_file(script, batch_script(spec, _options.python), false);
  } catch (const std::exception& e) {
    return give_up(e.what());
  }

  // Ours come last: where they repeat one of the extra options, Slurm takes the last.
  std::vector<std::string> args = {_options.sbatch, "--parsable"};
  args.insert(args.end(), _options.sbatch_args.begin(), _options.sbatch_args.end());
  if (!_options.partition.empty()) args.push_back("--partition=" + _options.partition);
  args.push_back("--job-name=pelmora-" + spec.job_id);
  args.push_back("--chdir=" + spec.work_dir);
  args.push_back("--output=" + job->file(kSlurmStdoutFile));
  args.push_back("--error=" + job->file(kSlurmStderrFile));
  args.insert(args.end(), resource_args.begin(), resource_args.end());
  args.push_back(script);
  bool cancelled;
  {
    std::lock_guard lock(_mutex);
    cancelled = job->cancelled;
  }
  if (cancelled) return give_up("cancelled");  // while the script was being written
  CommandResult result = run_command(args, env, _options.command_timeout);
  // --parsable prints "ID" or "ID;CLUSTER".
  std::string slurm_id;
  for (const auto& line : nonempty_lines(result.out)) {
    std::string first = line.substr(0, line.find(';'));
    if (all_digits(first) && first.size() <= 18) slurm_id = first;
  }
  if (!result.ok() || slurm_id.empty()) {
    std::string message = result.message("sbatch");
    if (result.ok()) {
      message = "sbatch printed no job id" + (result.out.empty() ? "" : ": " + trim(result.out));
    }
    return give_up(message.size() > 1000 ? message.substr(0, 1000) : message);
  }
  try {
    write_private_file(id_file, slurm_id + "\n", false);
  } catch (const std::exception& e) {
    service_logger()->warn("{}: {}", spec.job_id, e.what());
  }
  // Recorded even when the service stops meanwhile: the next one takes the job up by it.
  try {
    _events.on_submitted(spec, std::stol(slurm_id));
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its Slurm job {}: {}", spec.job_id, slurm_id, e.what());
  }
  {
    std::lock_guard lock(_mutex);
    job->slurm_id = slurm_id;
    cancelled = job->cancelled;
  }
  service_logger()->info("{} submitted to Slurm as job {}", spec.job_id, slurm_id);
  if (cancelled) _scancel({slurm_id});
}

bool SlurmRunner::resume(const LaunchSpec& spec, const ResumePoint& from) {
  if (from.pid <= 0) return false;
  auto job = std::make_shared<Job>(spec, _events, _options, from.next_index);
  job->resumed = true;
  job->started = from.started;
  for (int s = 0; s < 2; ++s) job->offsets[s] = job->handed_on[s] = from.stream_bytes[s];
  {
    std::lock_guard lock(_mutex);
    if (_jobs.count(spec.job_id) != 0) return false;
    job->slurm_id = std::to_string(from.pid);
    _jobs[spec.job_id] = job;
    _look_now = true;
  }
  _changed.notify_all();
  return true;
}

std::size_t SlurmRunner::release_all() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard lock(_mutex);
    for (auto& [id, job] : _jobs) jobs.push_back(job);
  }
  std::size_t left = 0;
  for (auto& job : jobs) {
    {
      std::lock_guard events(job->events);
      if (job->ended) continue;  // its end is being reported right now
      job->ended = true;
    }
    ++left;
    _forget(*job);
  }
  service_logger()->info(
      "stopping: {} job{} left to the Slurm cluster, to be followed again at the next start", left,
      left == 1 ? "" : "s");
  return left;
}

void SlurmRunner::cancel(const std::string& job_id) {
  std::string slurm_id;
  {
    std::lock_guard lock(_mutex);
    auto it = _jobs.find(job_id);
    if (it == _jobs.end() || it->second->cancelled) return;
    it->second->cancelled = true;
    // Still in sbatch: launch cancels it once it has an id.
    slurm_id = it->second->slurm_id;
  }
  if (!slurm_id.empty()) _scancel({slurm_id});
}

void SlurmRunner::_scancel(const std::vector<std::string>& slurm_ids) {
  if (slurm_ids.empty()) return;
  std::vector<std::string> args = {_options.scancel};
  args.insert(args.end(), slurm_ids.begin(), slurm_ids.end());
  CommandResult result = run_command(args, job_environment(environ), _options.command_timeout);
  if (!result.ok()) service_logger()->warn("scancel failed: {}", result.message("scancel"));
  {
    std::lock_guard lock(_mutex);
    _look_now = true;
  }
  _changed.notify_all();
}

void SlurmRunner::stop_all() {
  std::vector<std::string> slurm_ids;
  {
    std::lock_guard lock(_mutex);
    for (auto& [id, job] : _jobs) {
      if (job->cancelled) continue;
      job->cancelled = true;
      if (!job->slurm_id.empty()) slurm_ids.push_back(job->slurm_id);
    }
  }
  _scancel(slurm_ids);
  std::vector<std::pair<std::shared_ptr<Job>, std::string>> left;  // with its Slurm id
  {
    std::unique_lock lock(_mutex);
    _changed.wait_for(lock, std::chrono::duration<double>(_options.stop_timeout),
                      [this] { return _jobs.empty(); });
    for (auto& [id, job] : _jobs) left.emplace_back(job, job->slurm_id);
  }
  for (auto& [job, slurm_id] : left) {
    bool ours;
    {
      std::lock_guard events(job->events);
      ours = !job->ended;
      job->ended = true;
    }
    if (ours) {
      service_logger()->warn("{}: Slurm did not end its job {} in time; no longer followed",
                             job->spec.job_id, slurm_id.empty() ? "(not submitted yet)" : slurm_id);
      try {
        _events.on_finished(job->spec, JobOutcome{std::nullopt, std::string("cancelled")});
      } catch (const std::exception& e) {
        service_logger()->error("{}: cannot record its end: {}", job->spec.job_id, e.what());
      }
      _forget(*job);
    } else {
      // Its end is being reported on another thread right now.
      std::unique_lock lock(_mutex);
      _changed.wait(lock, [this, waited = job] {
        auto it = _jobs.find(waited->spec.job_id);
        return it == _jobs.end() || it->second != waited;
      });
    }
  }
}

void SlurmRunner::_forget(const Job& job) {
  {
    std::lock_guard lock(_mutex);
    auto it = _jobs.find(job.spec.job_id);
    if (it != _jobs.end() && it->second.get() == &job) _jobs.erase(it);
  }
  _changed.notify_all();
}

void SlurmRunner::_poll_loop() {
  double next_queue_poll = 0;
  bool squeue_failing = false;
  while (true) {
    std::vector<std::shared_ptr<Job>> jobs;
    {
      std::unique_lock lock(_mutex);
      double wait = std::min(_options.output_interval,
                             std::max(0.0, next_queue_poll - monotonic_now()));
      _changed.wait_for(lock, std::chrono::duration<double>(wait),
                        [this] { return _quit || _look_now; });
      if (_quit) return;
      if (_look_now) next_queue_poll = 0;
      _look_now = false;
      for (auto& [id, job] : _jobs) {
        if (!job->slurm_id.empty()) jobs.push_back(job);
      }
    }
    double now = monotonic_now();
    if (jobs.empty()) {
      next_queue_poll = 0;
      continue;
    }
    std::optional<std::map<std::string, std::string>> states;
    if (now >= next_queue_poll) {
      next_queue_poll = now + _options.poll_interval;
      std::string ids;
      for (const auto& job : jobs) ids += (ids.empty() ? "" : ",") + job->slurm_id;
      // "-t all": a job that has ended is listed with its final state for as long as the
      // controller remembers it.
      CommandResult result =
          run_command({_options.squeue, "-h", "-t", "all", "-j", ids, "-o", "%i %T"},
                      job_environment(environ), _options.command_timeout);
      // Asked about a single job it no longer knows, squeue fails with "Invalid job id".
      if (result.ok() || (result.ran && result.err.find("Invalid job id") != std::string::npos)) {
        states.emplace();
        for (const auto& line : nonempty_lines(result.out)) {
          std::size_t space = line.find(' ');
          if (space == std::string::npos) continue;
          (*states)[line.substr(0, space)] = trim(line.substr(space + 1));
        }
        if (squeue_failing) service_logger()->info("squeue answers again");
        squeue_failing = false;
      } else if (!squeue_failing) {
        squeue_failing = true;
        service_logger()->warn("squeue failed (asking again every {} s): {}", _options.poll_interval,
                               result.message("squeue"));
      }
    }
    for (auto& job : jobs) _advance(*job, states ? &*states : nullptr, now);
  }
}

// One look at a job: what squeue said of it (`states`: absent when squeue was not asked
// this time, or failed), its new output, and its end.
void SlurmRunner::_advance(Job& job, const std::map<std::string, std::string>* states, double now) {
  std::unique_lock events(job.events);
  if (job.ended) return;
  if (states != nullptr) {
    auto it = states->find(job.slurm_id);
    std::string state = it != states->end() ? it->second : "";
    // "CANCELLED by 1000" and the like.
    state = state.substr(0, state.find(' '));
    if (!state.empty()) job.last_state = state;
    if (is_active_state(state) && !job.started) {
      job.started = true;
      _events.on_started(job.spec, std::stol(job.slurm_id));
    }
    if (state.empty() || is_final_state(state)) {
      if (job.gone_since == 0) job.gone_since = now;
    } else {
      job.gone_since = 0;  // back in the queue (requeued)
    }
  } else if (job.gone_since == 0 && access(job.file(kSlurmExitFile).c_str(), F_OK) == 0) {
    // Without squeue the exit status tells the script has ended.
    job.gone_since = now;
  }
  if (job.started) _read_output(job, false);
  if (job.gone_since == 0) return;
  bool cancelled;
  {
    std::lock_guard lock(_mutex);
    cancelled = job.cancelled;
  }
  if (!cancelled && now - job.gone_since < _options.exit_status_grace &&
      access(job.file(kSlurmExitFile).c_str(), F_OK) != 0) {
    return;  // its exit status may not have reached this machine yet
  }
  events.unlock();
  _finish(job);
}

void SlurmRunner::_read_output(Job& job, bool to_end) {
  static const char* const files[2] = {kSlurmStdoutFile, kSlurmStderrFile};
  std::vector<std::string> entries;
  for (int s = 0; s < 2; ++s) {
    while (true) {
      std::string data = read_from(job.file(files[s]), job.offsets[s], kReadChunk);
      job.offsets[s] += data.size();
      job.splitters[s].feed(data, entries);
      if (to_end && data.empty()) job.splitters[s].finish(entries);
      for (auto& content : entries) {
        // Where a restarted service goes on reading this stream once the entry is stored.
        job.handed_on[s] += content.size();
        job.output.add(s == 0 ? Stream::stdout_stream : Stream::stderr_stream, std::move(content),
                       job.handed_on[s]);
      }
      entries.clear();
      if (!to_end || data.empty()) break;
    }
  }
  job.output.flush();
}

void SlurmRunner::_finish(Job& job) {
  std::unique_lock events(job.events);
  if (job.ended) return;
  std::optional<int> status = read_exit_status(job.file(kSlurmExitFile));
  struct stat st {};
  bool has_output = (stat(job.file(kSlurmStdoutFile).c_str(), &st) == 0 && st.st_size > 0) ||
                    (stat(job.file(kSlurmStderrFile).c_str(), &st) == 0 && st.st_size > 0);
  if (!job.started && (status || has_output)) {
    // It ran and ended between two looks.
    job.started = true;
    _events.on_started(job.spec, std::stol(job.slurm_id));
  }
  if (job.started) _read_output(job, true);

  JobOutcome outcome;
  std::string state = job.last_state;
  if (status) {
    // The shell gives 128 + N for an interpreter ended by signal N.
    if (*status > 128 && *status <= 128 + 64) {
      outcome.exit_code = -(*status - 128);
      outcome.error = explains_kill(state) ? "slurm: job ended " + state : signal_text(*status - 128);
    } else {
      outcome.exit_code = *status;
    }
  } else {
    std::string exit_code;
    if (!is_final_state(state) && find_program(_options.sacct)) {
      CommandResult result = run_command(
          {_options.sacct, "-j", job.slurm_id, "-n", "-X", "-P", "-o", "State,ExitCode"},
          job_environment(environ), _options.command_timeout);
      auto lines = nonempty_lines(result.out);
      if (result.ok() && !lines.empty()) {
        std::string line = lines.front();
        std::string field = trim(line.substr(0, line.find('|')));
        state = field.substr(0, field.find(' '));
        if (line.find('|') != std::string::npos) exit_code = trim(line.substr(line.find('|') + 1));
      }
    }
    if (!state.empty() && !is_active_state(state) && state != "PENDING") {
      outcome.error = "slurm: job ended " + state;
      if (!exit_code.empty() && exit_code != "0:0") {
        *outcome.error += " (exit code " + exit_code + ")";
      }
    } else if (job.resumed && job.last_state.empty()) {
      outcome.error = std::string("the service restarted while the job ") +
                      (job.started ? "was running" : "waited in Slurm's queue") +
                      ", and Slurm no longer knows its job " + job.slurm_id;
    } else {
      outcome.error = "slurm: job " + job.slurm_id + " left the queue without an exit status";
    }
  }
  {
    std::lock_guard lock(_mutex);
    if (job.cancelled) outcome.error = "cancelled";
  }
  job.ended = true;
  events.unlock();
  try {
    _events.on_finished(job.spec, outcome);
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its end: {}", job.spec.job_id, e.what());
  }
  // Only now: stop_all waits for the job to leave _jobs.
  _forget(job);
}

}  // namespace pelmora::service
