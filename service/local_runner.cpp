#include "service/local_runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "service/log.h"
#include "service/resources.h"
#include "service/util.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace pelmora::service {
namespace {

double monotonic_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool looks_secret(const std::string& name) {
  std::string upper;
  for (char c : name) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (upper.rfind("PELMORA_", 0) == 0 || upper.rfind("GATEWAY_", 0) == 0) return true;
  for (const char* word : {"KEY", "SECRET", "TOKEN", "PASSWORD", "PASSWD", "CREDENTIAL"}) {
    if (upper.find(word) != std::string::npos) return true;
  }
  return false;
}

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : _fd(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : _fd(std::exchange(other._fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      _fd = std::exchange(other._fd, -1);
    }
    return *this;
  }
  int get() const { return _fd; }
  void reset() {
    if (_fd >= 0) close(_fd);
    _fd = -1;
  }

 private:
  int _fd = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot create a pipe: " + errno_text(errno));
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// What the child reports on its error pipe when it cannot reach exec.
struct ChildFailure {
  int stage;  // 0 chdir, 1 exec
  int error;
};

}  // namespace

std::string signal_text(int sig) {
  const char* name = sigabbrev_np(sig);
  return "killed by signal " + std::to_string(sig) + (name != nullptr ? std::string(" (SIG") + name + ")" : "");
}

std::vector<std::string> job_environment(char** environ_) {
  std::vector<std::string> env;
  for (char** e = environ_; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (name == "PYTHONUNBUFFERED" || looks_secret(name)) continue;
    env.push_back(std::move(entry));
  }
  env.push_back("PYTHONUNBUFFERED=1");
  return env;
}

std::optional<std::string> find_program(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (access(program.c_str(), X_OK) == 0) return program;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

void LineSplitter::feed(std::string_view bytes, std::vector<std::string>& entries) {
  _partial.append(bytes);
  std::size_t start = 0;
  while (true) {
    std::size_t nl = _partial.find('\n', start);
    if (nl == std::string::npos) break;
    // A long line goes in pieces.
    while (nl + 1 - start > _max_line_bytes) {
      entries.push_back(_partial.substr(start, _max_line_bytes));
      start += _max_line_bytes;
    }
    entries.push_back(_partial.substr(start, nl + 1 - start));
    start = nl + 1;
  }
  while (_partial.size() - start > _max_line_bytes) {
    entries.push_back(_partial.substr(start, _max_line_bytes));
    start += _max_line_bytes;
  }
  _partial.erase(0, start);
}

void LineSplitter::finish(std::vector<std::string>& entries) {
  if (!_partial.empty()) entries.push_back(std::move(_partial));
  _partial.clear();
}

void OutputBatcher::add(Stream stream, std::string content,
                        std::optional<std::uint64_t> stream_end) {
  _batch.push_back(OutputLine{stream, std::move(content), stream_end});
  if (_batch.size() >= _batch_lines) flush();
}

void OutputBatcher::flush() {
  if (_batch.empty()) return;
  try {
    _events.on_output(_job, _next_index, _batch);
  } catch (const std::exception& e) {
    service_logger()->error("{}: output lost: {}", _job.job_id, e.what());
  }
  _next_index += static_cast<std::int64_t>(_batch.size());
  _batch.clear();
}

struct LocalRunner::Running {
  LaunchSpec spec;
  pid_t pid = -1;
  Fd out;
  Fd err;
  std::atomic<bool> cancelled{false};
  std::atomic<double> kill_at{0.0};  // monotonic time for SIGKILL; 0: none
};

LocalRunner::LocalRunner(LocalRunnerOptions options, RunnerEvents& events)
    : _options(std::move(options)), _events(events) {}

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

  // Everything the child needs is made before fork: after it, only system calls.
  std::vector<std::string> args = {*python, "-u", "main.py"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = job_environment(environ);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  bool set_affinity = false;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (resources.contains("cpu") && resources["cpu"].is_number_integer() &&
      resources["cpu"].get<long long>() > 0) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      long long want = resources["cpu"].get<long long>();
      for (int c = 0; c < CPU_SETSIZE && want > 0; ++c) {
        if (CPU_ISSET(c, &allowed)) {
          CPU_SET(c, &cpus);
          --want;
        }
      }
      set_affinity = true;
    }
  }
  std::optional<std::uint64_t> memory;
  if (resources.contains("memory") && resources["memory"].is_string()) {
    memory = parse_memory(resources["memory"].get<std::string>());
  }

  Pipe out, err, report;
  int null_fd;
  try {
    out = make_pipe();
    err = make_pipe();
    report = make_pipe();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0) return fail("cannot open /dev/null: " + errno_text(errno));
  Fd null_guard(null_fd);
  const char* work_dir = spec.work_dir.c_str();

  pid_t pid = fork();
  if (pid < 0) return fail("cannot start the job: " + errno_text(errno));
  if (pid == 0) {
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) std::signal(sig, SIG_DFL);
    dup2(null_fd, 0);
    dup2(out.write.get(), 1);
    dup2(err.write.get(), 2);
    ChildFailure failure{0, 0};
    if (chdir(work_dir) != 0) {
      failure = {0, errno};
    } else {
      if (set_affinity) sched_setaffinity(0, sizeof cpus, &cpus);
      if (memory) {
        rlimit limit{static_cast<rlim_t>(*memory), static_cast<rlim_t>(*memory)};
        setrlimit(RLIMIT_AS, &limit);
      }
      if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
      execve(argv[0], argv.data(), envp.data());
      failure = {1, errno};
    }
    ssize_t ignored = write(report.write.get(), &failure, sizeof failure);
    (void)ignored;
    _exit(127);
  }
  out.write.reset();
  err.write.reset();
  report.write.reset();
  ChildFailure failure{};
  ssize_t n;
  do {
    n = read(report.read.get(), &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail(failure.stage == 0
                    ? "cannot enter the job directory " + spec.work_dir + ": " + errno_text(failure.error)
                    : "cannot run the interpreter " + *python + ": " + errno_text(failure.error));
  }

  auto job = std::make_shared<Running>();
  job->spec = spec;
  job->pid = pid;
  job->out = std::move(out.read);
  job->err = std::move(err.read);
  {
    std::lock_guard lock(_mutex);
    _running[spec.job_id] = job;
    ++_threads;
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
  job->kill_at = monotonic_now() + _options.cancel_grace;
  kill(-job->pid, SIGTERM);
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

  auto add = [&](int stream) {
    for (auto& content : entries) {
      if (output.empty()) first_pending = monotonic_now();
      output.add(stream == 0 ? Stream::stdout_stream : Stream::stderr_stream, std::move(content));
    }
    entries.clear();
  };

  while (open_fd[0] || open_fd[1]) {
    double now = monotonic_now();
    double kill_at = job->kill_at.load();
    if (kill_at > 0 && now >= kill_at) {
      kill(-job->pid, SIGKILL);
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
      // The script has ended; what it left behind in its group goes with it.
      kill(-job->pid, SIGKILL);
      group_killed = true;
    } else if (group_killed && now - exited_at > 3.0) {
      break;  // the pipes are held by a process outside the group
    }
    int timeout = 100;
    if (!output.empty()) {
      double left = first_pending + _options.flush_interval - now;
      timeout = std::clamp(static_cast<int>(left * 1000), 0, 100);
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
      ssize_t n = read(fds[s], buffer.data(), buffer.size());
      if (n > 0) {
        splitters[s].feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), entries);
        add(s);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open_fd[s] = false;
      }
    }
    if (!output.empty() && monotonic_now() - first_pending >= _options.flush_interval) {
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
  JobOutcome outcome;
  if (WIFEXITED(status)) {
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.exit_code = -WTERMSIG(status);
    if (!job->cancelled) outcome.error = signal_text(WTERMSIG(status));
  }
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
