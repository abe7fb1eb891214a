#include "agent/platform/subprocess.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif

namespace pelmora {
namespace {

// What a child writes on the report pipe when it cannot reach exec.
struct ChildReport {
  SpawnStage stage;
  int error;
  std::size_t which = 0;  // with SpawnStage::cgroup: the index in join_cgroups
};

double monotonic_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void wait_for(pid_t pid, int& status) {
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Everything the child needs, made before fork: after it, only system calls.
struct Prepared {
  std::vector<std::string> argv_text;
  std::vector<char*> argv;
  std::vector<std::string> env_text;
  std::vector<char*> envp;
  cpu_set_t cpus;
  bool set_cpus = false;
  Fd null_in;
  Pipe out;
  Pipe err;
  Fd file;
  Pipe report;
  std::vector<Fd> cgroups;  // cgroup.procs of each group to join, open for writing
};

volatile sig_atomic_t g_supervisor_term = 0;
volatile sig_atomic_t g_supervisor_kill = 0;

void supervisor_signal(int sig) {
  if (sig == SIGTERM) g_supervisor_term = 1;
  if (sig == SIGUSR1) g_supervisor_kill = 1;
}

// Sends `sig` to every child of this process (from /proc/self/task/TID/children) and
// returns how many there were. Only system calls: it runs in a child of a threaded process.
int signal_children(int sig) {
  char path[64] = "/proc/self/task/";
  // The supervisor is single-threaded: its one task has the process's id.
  char digits[16];
  int n = 0;
  for (pid_t self = ::getpid(); self > 0; self /= 10) digits[n++] = static_cast<char>('0' + self % 10);
  std::size_t at = 16;
  while (n > 0) path[at++] = digits[--n];
  const char tail[] = "/children";
  for (char c : tail) path[at++] = c;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[4096];
  int count = 0;
  long pid = 0;
  bool in_number = false;
  while (true) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (c >= '0' && c <= '9') {
        pid = pid * 10 + (c - '0');
        in_number = true;
      } else if (in_number) {
        ::kill(static_cast<pid_t>(pid), sig);
        ++count;
        pid = 0;
        in_number = false;
      }
    }
  }
  if (in_number) {
    ::kill(static_cast<pid_t>(pid), sig);
    ++count;
  }
  ::close(fd);
  return count;
}

// The supervisor's side of SpawnOptions::supervise: `job` is the program's pid. Never
// returns.
[[noreturn]] void supervise_job(pid_t job) {
  int job_status = 0;
  bool job_ended = false;
  bool term_passed = false;
  while (!job_ended && !g_supervisor_kill) {
    if (g_supervisor_term && !term_passed) {
      term_passed = true;
      ::kill(-job, SIGTERM);
      signal_children(SIGTERM);
    }
    int status = 0;
    const pid_t got = ::waitpid(-1, &status, WNOHANG);
    if (got == job) {
      job_status = status;
      job_ended = true;
    } else if (got < 0 && errno == ECHILD) {
      break;
    } else if (got == 0) {
      // Polled rather than blocked in waitpid: a signal between the flag tests and a
      // blocking wait would wait for the next child's end.
      timespec pause{0, 20 * 1000 * 1000};
      ::nanosleep(&pause, nullptr);
    }
  }
  // What is left below: killed until nothing is (a process forking meanwhile leaves its
  // children to this subreaper, and the next round gets them).
  while (true) {
    ::kill(-job, SIGKILL);
    signal_children(SIGKILL);
    int status = 0;
    const pid_t got = ::waitpid(-1, &status, 0);
    if (got == job && !job_ended) {
      job_status = status;
      job_ended = true;
    }
    if (got < 0 && errno == ECHILD) break;
  }
  if (!job_ended) job_status = SIGKILL;  // as if killed by SIGKILL
  if (WIFSIGNALED(job_status)) {
    const int sig = WTERMSIG(job_status);
    std::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::sigprocmask(SIG_UNBLOCK, &one, nullptr);
    ::kill(::getpid(), sig);
    ::_exit(128 + sig);
  }
  ::_exit(WIFEXITED(job_status) ? WEXITSTATUS(job_status) : 127);
}

// The child's side: never returns.
[[noreturn]] void run_child(const SpawnOptions& options, Prepared& p) {
  auto fail = [&](SpawnStage stage, int error, std::size_t which = 0) {
    ChildReport report{stage, error, which};
    ssize_t ignored = ::write(p.report.write.get(), &report, sizeof report);
    (void)ignored;
    ::_exit(127);
  };
  if (options.group == ProcessGroup::new_session) {
    ::setsid();
  } else if (options.group == ProcessGroup::new_group) {
    ::setpgid(0, 0);
  }
  for (std::size_t i = 0; i < p.cgroups.size(); ++i) {
    ssize_t wrote;
    do {
      wrote = ::write(p.cgroups[i].get(), "0", 1);
    } while (wrote < 0 && errno == EINTR);
    if (wrote != 1) fail(SpawnStage::cgroup, wrote < 0 ? errno : EIO, i);
  }
  if (options.detach) {
    const pid_t grandchild = ::fork();
    if (grandchild < 0) fail(SpawnStage::fork, errno);
    if (grandchild > 0) ::_exit(0);
  }
  // The caller may block or catch these; what it starts gets them back.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) std::signal(sig, SIG_DFL);
  ::dup2(p.null_in.get(), 0);
  if (options.output == ChildOutput::pipes) {
    ::dup2(p.out.write.get(), 1);
    ::dup2(p.err.write.get(), 2);
  } else if (options.output == ChildOutput::file) {
    ::dup2(p.file.get(), 1);
    ::dup2(p.file.get(), 2);
  }
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) fail(SpawnStage::chdir, errno);
  if (p.set_cpus) ::sched_setaffinity(0, sizeof p.cpus, &p.cpus);
  if (options.address_space_limit) {
    const auto bytes = static_cast<rlim_t>(*options.address_space_limit);
    rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_AS, &limit);
  }
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (options.supervise) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL);
    struct sigaction action {};
    action.sa_handler = supervisor_signal;  // no SA_RESTART: waitpid returns EINTR
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGUSR1, &action, nullptr);
    const pid_t job = ::fork();
    if (job < 0) fail(SpawnStage::fork, errno);
    if (job > 0) {
      // The report pipe stays with the program until its exec.
      ::close(p.report.write.get());
      supervise_job(job);
    }
    ::setpgid(0, 0);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGUSR1, SIG_DFL);
  }
  if (p.envp.empty()) {
    ::execv(p.argv[0], p.argv.data());
  } else {
    ::execve(p.argv[0], p.argv.data(), p.envp.data());
  }
  fail(SpawnStage::exec, errno);
  ::_exit(127);  // not reached
}

}  // namespace

Child spawn(const SpawnOptions& options) {
  if (options.argv.empty() || (options.detach && options.group != ProcessGroup::new_session) ||
      (options.detach && options.supervise)) {
    throw SpawnError(SpawnStage::prepare, EINVAL, "cannot start a process: " + errno_text(EINVAL));
  }
  Prepared p;
  p.argv_text = options.argv;
  for (auto& a : p.argv_text) p.argv.push_back(a.data());
  p.argv.push_back(nullptr);
  if (options.env) {
    p.env_text = *options.env;
    for (auto& e : p.env_text) p.envp.push_back(e.data());
    p.envp.push_back(nullptr);
  }
  CPU_ZERO(&p.cpus);
  for (int cpu : options.cpus) {
    if (cpu >= 0 && cpu < CPU_SETSIZE) {
      CPU_SET(cpu, &p.cpus);
      p.set_cpus = true;
    }
  }
  try {
    p.report = make_pipe();
    if (options.output == ChildOutput::pipes) {
      p.out = make_pipe();
      p.err = make_pipe();
    }
  } catch (const SystemError& e) {
    throw SpawnError(SpawnStage::prepare, e.error_code, e.what());
  }
  p.null_in = open_fd("/dev/null", O_RDONLY);
  if (!p.null_in.valid()) {
    const int error = errno;
    throw SpawnError(SpawnStage::prepare, error, "cannot open /dev/null: " + errno_text(error));
  }
  for (const auto& procs : options.join_cgroups) {
    p.cgroups.push_back(open_fd(procs, O_WRONLY));
    if (!p.cgroups.back().valid()) {
      const int error = errno;
      throw SpawnError(SpawnStage::prepare, error, "cannot open " + procs + ": " + errno_text(error));
    }
  }
  if (options.output == ChildOutput::file) {
    p.file = open_fd(options.output_file, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (!p.file.valid()) {
      const int error = errno;
      throw SpawnError(SpawnStage::prepare, error,
                       "cannot open " + options.output_file + ": " + errno_text(error));
    }
  }

  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    throw SpawnError(SpawnStage::fork, error, "cannot start a process: " + errno_text(error));
  }
  if (pid == 0) run_child(options, p);

  p.report.write.reset();
  p.out.write.reset();
  p.err.write.reset();
  // End of file: exec closed the child's end (and a detaching child has exited).
  ChildReport report{};
  const ssize_t n = read_some(p.report.read.get(), &report, sizeof report);
  const bool failed = n == static_cast<ssize_t>(sizeof report);
  if (failed || options.detach) {
    int status = 0;
    wait_for(pid, status);
  }
  if (failed) {
    std::string what;
    switch (report.stage) {
      case SpawnStage::cgroup:
        what = "cannot join the control group " +
               options.join_cgroups[std::min(report.which, options.join_cgroups.size() - 1)];
        break;
      case SpawnStage::chdir:
        what = "cannot enter the directory " + options.cwd;
        break;
      case SpawnStage::exec:
        what = "cannot run " + options.argv[0];
        break;
      default:
        what = "cannot start a process";
        break;
    }
    throw SpawnError(report.stage, report.error, what + ": " + errno_text(report.error));
  }
  Child child;
  child.pid = options.detach ? -1 : pid;
  child.out = std::move(p.out.read);
  child.err = std::move(p.err.read);
  return child;
}

CommandOutput run_command(SpawnOptions options, double timeout_seconds, std::size_t max_output) {
  options.output = ChildOutput::pipes;
  options.group = ProcessGroup::new_group;
  options.detach = false;
  const double deadline = monotonic_now() + timeout_seconds;
  Child child = spawn(options);

  CommandOutput result;
  const int fds[2] = {child.out.get(), child.err.get()};
  std::string* sinks[2] = {&result.out, &result.err};
  bool open[2] = {true, true};
  char buffer[16 * 1024];
  while (open[0] || open[1]) {
    const double left = deadline - monotonic_now();
    if (left <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd polls[2];
    nfds_t count = 0;
    int which[2];
    for (int s = 0; s < 2; ++s) {
      if (!open[s]) continue;
      polls[count] = pollfd{fds[s], POLLIN, 0};
      which[count++] = s;
    }
    const int ready = ::poll(polls, count, static_cast<int>(std::min(left * 1000 + 1, 1000.0)));
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if ((polls[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const int s = which[i];
      const ssize_t got = read_some(fds[s], buffer, sizeof buffer);
      if (got > 0) {
        const std::size_t room = max_output - std::min(max_output, sinks[s]->size());
        sinks[s]->append(buffer, std::min(room, static_cast<std::size_t>(got)));
      } else if (got == 0 || errno != EAGAIN) {
        open[s] = false;
      }
    }
  }
  int status = 0;
  while (true) {
    if (result.timed_out) {
      ::kill(-child.pid, SIGKILL);
      wait_for(child.pid, status);
      break;
    }
    const pid_t waited = ::waitpid(child.pid, &status, WNOHANG);
    if (waited == child.pid || (waited < 0 && errno != EINTR)) break;
    // Its output is closed but it has not exited yet: it has until the deadline.
    if (monotonic_now() >= deadline) {
      result.timed_out = true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!result.timed_out) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return result;
}

std::optional<std::string> find_program(const std::string& program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) == 0) return program;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace pelmora
