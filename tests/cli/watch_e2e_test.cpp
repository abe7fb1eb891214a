// pelmora watch end to end: the built command in a real pseudo-terminal against a local job
// service started for the test, watching a busy example script that imports a local module.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "agent/client/client.h"
#include "agent/client/local_service.h"

extern char** environ;

namespace pelmora {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool have_python3() { return std::system("python3 -c 'pass' >/dev/null 2>&1") == 0; }

// The environment of every child: ours, with the data and config directories moved into the
// test's own directory and no job-service settings of the user.
std::vector<std::string> child_environment(const std::string& root) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "XDG_DATA_HOME" || name == "XDG_CONFIG_HOME" || name == "PELMORA_API_KEY" ||
        name == "GATEWAY_API_KEY" || name == "PELMORA_API_URL" || name == "TERM") {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("XDG_DATA_HOME=" + root + "/data");
  env.push_back("XDG_CONFIG_HOME=" + root + "/config");
  env.push_back("TERM=dumb");
  return env;
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, const std::string& cwd) {
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  execvpe(args[0], args.data(), envp.data());
  _exit(127);
}

// A child process; killed and reaped when the object goes, unless it has been waited for.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (fd >= 0) close(fd);
  }

  // Starts `argv` with standard input from `stdin_path` and both outputs into a pipe (or
  // into `log_path` when given).
  void start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& cwd, const std::string& stdin_path = "/dev/null",
             const std::string& log_path = "") {
    int out[2] = {-1, -1};
    if (log_path.empty() && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      const int in = open(stdin_path.c_str(), O_RDONLY);
      dup2(in, 0);
      const int target = log_path.empty() ? out[1]
                                           : open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(target, 1);
      dup2(target, 2);
      exec_child(argv, env, cwd);
    }
    if (log_path.empty()) {
      close(out[1]);
      fd = out[0];
    }
  }

  // Starts `argv` on a new pseudo-terminal; `fd` is its master side.
  void start_on_pty(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& cwd) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 160;
    pid = forkpty(&fd, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty");
    if (pid == 0) exec_child(argv, env, cwd);
  }

  // Reads what is there (waiting up to `seconds` for something). False at the end.
  bool pump(double seconds) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(seconds * 1000)) <= 0) return true;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    output.append(buf, static_cast<size_t>(n));
    return true;
  }

  // Waits until the output from `from` on contains `text`; returns its position or npos.
  size_t expect(const std::string& text, double seconds, size_t from = 0) {
    const auto start = Clock::now();
    for (;;) {
      const size_t at = output.find(text, from);
      if (at != std::string::npos) return at;
      if (seconds_since(start) > seconds || !pump(0.05)) return output.find(text, from);
    }
  }

  void type(const std::string& text) const {
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Waits for the exit (reading output meanwhile); the exit status, or -1 on time-out.
  int wait_exit(double seconds) {
    const auto start = Clock::now();
    while (seconds_since(start) < seconds) {
      int status = 0;
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        pid = -1;
        while (pump(0.01) && fd >= 0) {
          pollfd pfd{fd, POLLIN, 0};
          if (poll(&pfd, 1, 0) <= 0) break;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      pump(0.01);
    }
    return -1;
  }

  pid_t pid = -1;
  int fd = -1;
  std::string output;
};

class WatchEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!have_python3()) return;
    char pattern[] = "/tmp/pelmora-watch-e2e-XXXXXX";
    root_ = mkdtemp(pattern);
    env_ = child_environment(root_);
    const std::string examples = std::string(PELMORA_SOURCE_DIR) + "/examples/busy";
    std::system(("cp -r '" + examples + "' '" + root_ + "/busy'").c_str());
    data_dir_ = root_ + "/data/pelmora/service";
    std::system(("mkdir -p '" + data_dir_ + "' && chmod 700 '" + data_dir_ + "'").c_str());
    service_ = new Child;
    service_->start({PELMORA_BINARY, "serve", "--data-dir", data_dir_, "--port", "0"}, env_,
                    root_, "/dev/null", root_ + "/serve.log");
    const auto start = Clock::now();
    while (seconds_since(start) < 20) {
      if (auto found = read_local_service(data_dir_)) {
        if (local_service_answers(found->url, found->api_key, 1.0)) {
          endpoint_ = Endpoint{.api_url = found->url, .api_key = found->api_key, .transport = {}};
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  static void TearDownTestSuite() {
    if (service_ != nullptr) {
      kill(service_->pid, SIGTERM);
      service_->wait_exit(10);
      delete service_;
      service_ = nullptr;
    }
    if (!root_.empty()) std::system(("rm -rf '" + root_ + "'").c_str());
  }

  void SetUp() override {
    if (!have_python3()) GTEST_SKIP() << "python3 is not installed";
    ASSERT_FALSE(endpoint_.api_url.empty()) << "the local job service did not start";
    // The watched script runs long enough to be seen; the offloaded copy runs 6 seconds.
    busy_.start({"python3", "busy.py", "60"}, env_, root_ + "/busy");
    busy_pid_ = busy_.pid;
  }

  std::vector<std::string> watch_args(std::vector<std::string> extra = {},
                                      const std::string& threshold = "20") const {
    std::vector<std::string> args = {PELMORA_BINARY, "watch", "--local", "--threshold", threshold,
                                     "--interval", "0.5"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // Answers every question about another process with "i" (the machine may run other
  // Python work) and returns once the question about the busy script is asked; the output
  // position after that question, or npos on time-out.
  size_t wait_for_busy_question(Child& watch, size_t from, double seconds) {
    const std::string question = "    Offload to cloud? [y/N/ignore] ";
    const auto start = Clock::now();
    while (seconds_since(start) < seconds) {
      const size_t at = watch.expect(question, seconds - seconds_since(start), from);
      if (at == std::string::npos) return at;
      const size_t block = watch.output.rfind("  [", at);
      const int pid = std::atoi(watch.output.c_str() + block + 3);
      from = at + question.size();
      if (pid == busy_pid_) return from;
      watch.type("i\n");
    }
    return std::string::npos;
  }

  // Sends `sig` and checks the stop line, the orderly exit, and how soon it came.
  void stop_with(Child& watch, int sig) {
    const size_t before = watch.output.size();
    const auto sent = Clock::now();
    kill(watch.pid, sig);
    EXPECT_NE(watch.expect("\r\nStopping agent watch...\r\n", 2.0, before), std::string::npos)
        << watch.output.substr(before);
    const double printed = seconds_since(sent);
    // The signal may have come while the agent asks about some other heavy Python process
    // of this machine; the question keeps waiting for its answer, so give it one.
    auto answered = sent;
    const std::string question = "    Offload to cloud? [y/N/ignore] ";
    const std::string tail = watch.output.substr(before);
    const size_t stop_at = tail.find("\r\nStopping agent watch...");
    if (stop_at != std::string::npos && tail.substr(0, stop_at).ends_with(question)) {
      watch.type("n\n");
      answered = Clock::now();
    }
    EXPECT_EQ(watch.wait_exit(5.0), 0) << watch.output.substr(before);
    const double exited = seconds_since(answered);
    // One 0.25-second wait slice, plus half a second.
    EXPECT_LT(exited, 0.75) << "exit came " << exited << " s after the signal";
    EXPECT_LT(printed, 0.25);
  }

  static inline std::string root_;
  static inline std::string data_dir_;
  static inline std::vector<std::string> env_;
  static inline Child* service_ = nullptr;
  static inline Endpoint endpoint_;
  Child busy_;
  int busy_pid_ = -1;
};

// Whether a file whose name contains `part` is mapped into process `pid`.
bool maps_library(pid_t pid, const std::string& part) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const size_t slash = line.rfind('/');
    if (slash != std::string::npos && line.find(part, slash) != std::string::npos) return true;
  }
  return false;
}

std::string job_id_after(const std::string& output, size_t from) {
  const std::string marker = "Submitted!  job_id=";
  const size_t at = output.find(marker, from);
  if (at == std::string::npos) return "";
  const size_t begin = at + marker.size();
  const size_t end = output.find_first_of(" \r\n", begin);
  return end == std::string::npos ? "" : output.substr(begin, end - begin);
}

TEST_F(WatchEndToEnd, YesOffloadsAndTheJobRunsTheBundledScript) {
  Child watch;
  watch.start_on_pty(watch_args(), env_, root_);
  termios before{};
  ASSERT_EQ(tcgetattr(watch.fd, &before), 0);
  const size_t asked = wait_for_busy_question(watch, 0, 20);
  ASSERT_NE(asked, std::string::npos) << watch.output;
  EXPECT_NE(watch.output.find("Source: " + root_ + "/busy/busy.py"), std::string::npos);
  // Until it offloads, the agent carries neither libcurl with its TLS stack nor the job
  // service's libraries, although --local made sure the service answers.
  for (const char* lib : {"libcurl", "libssl", "libcrypto", "libsqlite3", "httplib"}) {
    EXPECT_FALSE(maps_library(watch.pid, lib)) << lib << " is loaded before any offload";
  }
  watch.type("y\n");
  ASSERT_NE(watch.expect(" --follow\r\n", 20, asked), std::string::npos) << watch.output;
  EXPECT_TRUE(maps_library(watch.pid, "libcurl"));
  EXPECT_NE(watch.output.find("    Submitting busy.py to cloud...\r\n", asked), std::string::npos);
  const std::string job_id = job_id_after(watch.output, asked);
  ASSERT_FALSE(job_id.empty()) << watch.output;
  EXPECT_NE(watch.output.find("    Track with:  pelmora status " + job_id + "\r\n"),
            std::string::npos);

  // The service runs the job; its output is the script's, so the local module came along.
  std::string status;
  const auto start = Clock::now();
  while (seconds_since(start) < 30) {
    status = fetch_job_status(endpoint_, job_id).value("status", "");
    if (is_terminal_status(status)) break;
    watch.pump(0.2);
  }
  EXPECT_EQ(status, "completed");
  std::ostringstream log;
  fetch_job_output(endpoint_, job_id, 0, log);
  EXPECT_NE(log.str().find("busy: step 6/6"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("busy: done after 6 s"), std::string::npos) << log.str();

  // The job ran (busy, on this machine) while the watch went on: the service's own job was
  // never offered. The offloaded process is not offered again either.
  EXPECT_EQ(watch.output.find("main.py", asked), std::string::npos) << watch.output.substr(asked);
  const size_t after = watch.output.size();
  watch.expect("[y/N/ignore]", 1.5, after);
  EXPECT_EQ(watch.output.find("[" + std::to_string(busy_pid_) + "]", after), std::string::npos);
  stop_with(watch, SIGINT);
  termios after_stop{};
  ASSERT_EQ(tcgetattr(watch.fd, &after_stop), 0);
  EXPECT_EQ(std::memcmp(&before, &after_stop, sizeof before), 0) << "terminal settings changed";
}

TEST_F(WatchEndToEnd, IgnoreIsForGoodAndSigtermStops) {
  Child watch;
  watch.start_on_pty(watch_args(), env_, root_);
  const size_t asked = wait_for_busy_question(watch, 0, 20);
  ASSERT_NE(asked, std::string::npos) << watch.output;
  watch.type("i\n");
  ASSERT_NE(watch.expect("    Ignored.\r\n", 5, asked), std::string::npos);
  const size_t after = watch.output.size();
  watch.expect("never appears", 2.0, after);  // four more ticks
  EXPECT_EQ(watch.output.find("[" + std::to_string(busy_pid_) + "]", after), std::string::npos);
  stop_with(watch, SIGTERM);
}

TEST_F(WatchEndToEnd, NoAsksAgainAtTheNextTick) {
  Child watch;
  watch.start_on_pty(watch_args(), env_, root_);
  const size_t first = wait_for_busy_question(watch, 0, 20);
  ASSERT_NE(first, std::string::npos) << watch.output;
  watch.type("n\n");
  ASSERT_NE(watch.expect("    Skipped.\r\n", 5, first), std::string::npos);
  const size_t second = wait_for_busy_question(watch, first, 5);
  ASSERT_NE(second, std::string::npos) << watch.output.substr(first);
  // Ctrl+C while the question waits: the line comes at once, the answer is still taken.
  const auto sent = Clock::now();
  kill(watch.pid, SIGINT);
  ASSERT_NE(watch.expect("\r\nStopping agent watch...\r\n", 2.0, second), std::string::npos);
  EXPECT_LT(seconds_since(sent), 0.25);
  watch.type("i\n");
  EXPECT_NE(watch.expect("    Ignored.\r\n", 5, second), std::string::npos);
  EXPECT_EQ(watch.wait_exit(2.0), 0);
}

TEST_F(WatchEndToEnd, AutoOffloadsWithoutAsking) {
  Child watch;
  watch.start_on_pty(watch_args({"--auto"}), env_, root_);
  const std::string block = "  [" + std::to_string(busy_pid_) + "] busy.py\r\n";
  const size_t seen = watch.expect(block, 20);
  ASSERT_NE(seen, std::string::npos) << watch.output;
  ASSERT_NE(watch.expect(" --follow\r\n", 20, seen), std::string::npos) << watch.output;
  EXPECT_EQ(watch.output.find("Offload to cloud?", seen), std::string::npos);
  EXPECT_NE(watch.output.find("Pelmora Agent Watch (auto-offload)"), std::string::npos);
  const std::string job_id = job_id_after(watch.output, seen);
  ASSERT_FALSE(job_id.empty());
  EXPECT_EQ(fetch_job_status(endpoint_, job_id).value("job_id", ""), job_id);
  stop_with(watch, SIGINT);
}

TEST_F(WatchEndToEnd, ClosedInputSkipsEveryDetection) {
  Child watch;
  watch.start(watch_args(), env_, root_, "/dev/null");
  const std::string block = "  [" + std::to_string(busy_pid_) + "] busy.py\n";
  const size_t first = watch.expect(block, 20);
  ASSERT_NE(first, std::string::npos) << watch.output;
  const size_t second = watch.expect(block, 5, first + 1);
  ASSERT_NE(second, std::string::npos) << watch.output;
  const std::string skipped = "    Offload to cloud? [y/N/ignore]     Skipped.\n\n";
  EXPECT_NE(watch.expect(skipped, 5, first), std::string::npos);
  EXPECT_NE(watch.expect(skipped, 5, second), std::string::npos) << watch.output.substr(second);
  kill(watch.pid, SIGINT);
  EXPECT_EQ(watch.wait_exit(2.0), 0);
  EXPECT_NE(watch.output.find("\nStopping agent watch...\n", second), std::string::npos);
}

TEST_F(WatchEndToEnd, StopLocalEndsTheBusyScriptOnceItsJobIsSubmitted) {
  Child watch;
  // A low threshold: on a loaded machine the busy script may get a small share of a core.
  watch.start_on_pty(watch_args({"--stop-local"}, "5"), env_, root_);
  const size_t asked = wait_for_busy_question(watch, 0, 20);
  ASSERT_NE(asked, std::string::npos) << watch.output;
  watch.type("y\n");
  // The label is the command line as the process shows it (python3 may be a wrapper that
  // runs the interpreter under its full path).
  const size_t stopped = watch.expect(" busy.py 60).\r\n\r\n", 30, asked);
  ASSERT_NE(stopped, std::string::npos) << watch.output.substr(asked);
  EXPECT_NE(watch.output.rfind("    Stopped local process " + std::to_string(busy_pid_) + " (", stopped),
            std::string::npos);
  EXPECT_FALSE(job_id_after(watch.output, asked).empty());
  int status = 0;
  ASSERT_EQ(waitpid(busy_.pid, &status, 0), busy_.pid);
  busy_.pid = -1;
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  stop_with(watch, SIGINT);
}

TEST_F(WatchEndToEnd, ForOffersWhatStaysHeavyAndNeverAMomentsSpike) {
  Child watch;
  watch.start_on_pty(watch_args({"--for", "3"}, "5"), env_, root_);
  ASSERT_NE(watch.expect("(Ctrl+C to stop)", 20), std::string::npos) << watch.output;
  // Busy for under a second of wall time, then idle: heavy at a scan or two.
  Child spike;
  spike.start({"python3", "-c",
               "import time\nt = time.time()\nwhile time.time() - t < 0.8: pass\ntime.sleep(60)"},
              env_, root_);
  const size_t asked = wait_for_busy_question(watch, 0, 30);
  ASSERT_NE(asked, std::string::npos) << watch.output;
  watch.type("i\n");
  watch.expect("never appears", 2.0, asked);
  EXPECT_EQ(watch.output.find("[" + std::to_string(spike.pid) + "]"), std::string::npos)
      << watch.output;
  stop_with(watch, SIGINT);
}

TEST_F(WatchEndToEnd, MineLeavesOtherUsersOutAndTheirSourceIsReportedOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  Child other;
  other.start({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
               "while True: pass"},
              env_, "/");
  const std::string block = "[" + std::to_string(other.pid) + "] /usr/bin/python3 -c while True: pass";
  for (const bool mine : {false, true}) {
    Child watch;
    watch.start_on_pty(
        watch_args(mine ? std::vector<std::string>{"--mine"} : std::vector<std::string>{}, "5"),
        env_, root_);
    // Without --mine, the other user's process is reported (at a busy machine's pace, before
    // or after the question on this user's busy script) and then no more; with it, never.
    const size_t asked = wait_for_busy_question(watch, 0, 30);
    ASSERT_NE(asked, std::string::npos) << watch.output;
    watch.type("i\n");
    const size_t first = mine ? std::string::npos : watch.expect(block, 30);
    watch.expect("never appears", 3.0, asked);  // six more ticks
    if (mine) {
      EXPECT_EQ(watch.output.find(block), std::string::npos) << watch.output;
    } else {
      ASSERT_NE(first, std::string::npos) << "[" << other.pid << "] not in:\n" << watch.output;
      EXPECT_NE(watch.output.find("Cannot read source", first), std::string::npos);
      EXPECT_EQ(watch.output.find(block, first + 1), std::string::npos) << watch.output;
    }
    stop_with(watch, SIGINT);
  }
}

// As a new user meets it: a fresh clone, `make run` in a terminal, and the printed command
// pasted into a new login shell. The clone uses this tree's build (a fresh build takes
// minutes) and installs where make puts it for a user who is not root, under a home
// directory of the test's own.
TEST_F(WatchEndToEnd, MakeRunPutsThePrintedCommandsOnALoginShellsPath) {
  if (std::system("git --version >/dev/null 2>&1 && make --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "git or make is not installed";
  }
  const std::string clone = root_ + "/clone";
  const std::string home = root_ + "/home";
  ASSERT_EQ(std::system(("rm -rf '" + clone + "' '" + home + "' && git clone -q '" +
                         PELMORA_SOURCE_DIR + "' '" + clone + "' && mkdir -p '" + home + "'")
                            .c_str()),
            0);
  // A new account's ~/.profile puts ~/.local/bin on the PATH when it exists.
  std::ofstream(home + "/.profile")
      << "if [ -d \"$HOME/.local/bin\" ] ; then\n    PATH=\"$HOME/.local/bin:$PATH\"\nfi\n";
  std::vector<std::string> env = env_;
  env.push_back("HOME=" + home);
  std::string build_dir = PELMORA_BINARY;
  build_dir.resize(build_dir.rfind('/'));
  const std::string bin = home + "/.local/bin";

  Child make;
  make.start_on_pty({"make", "-s", "-C", clone, "-o", "build", "run", "BUILD_DIR=" + build_dir,
                     "PREFIX=" + home + "/.local", "WATCH_ARGS=--threshold 5 --interval 0.5"},
                    env, root_);
  ASSERT_NE(make.expect("Installed pelmora and pelmora-service in " + bin + ".\r\n", 30),
            std::string::npos)
      << make.output;
  EXPECT_NE(make.expect("Note: " + bin + " is not on this shell's PATH yet; a new login shell", 10),
            std::string::npos)
      << make.output;
  const size_t asked = wait_for_busy_question(make, 0, 30);
  ASSERT_NE(asked, std::string::npos) << make.output;
  make.type("y\n");
  const size_t logs = make.expect("    Logs:        ", 30, asked);
  ASSERT_NE(make.expect(" --follow\r\n", 30, asked), std::string::npos) << make.output;
  const size_t command_at = logs + std::string("    Logs:        ").size();
  const std::string command = make.output.substr(command_at, make.output.find('\r', command_at) - command_at);

  Child shell;
  shell.start({"bash", "-lc", "command -v pelmora && " + command}, env, home);
  EXPECT_EQ(shell.wait_exit(60), 0) << shell.output;
  EXPECT_EQ(shell.output.rfind(bin + "/pelmora\n", 0), 0u) << shell.output;
  EXPECT_NE(shell.output.find("busy: done after 6 s"), std::string::npos) << shell.output;

  make.type("\x03");
  EXPECT_NE(make.expect("Stopping agent watch...", 5, asked), std::string::npos);
  EXPECT_NE(make.wait_exit(10), -1);
}

TEST(WatchCommand, NonFiniteNumbersAreUsageErrors) {
  for (const char* bad : {"--threshold=nan", "--interval=inf", "--threshold=-inf", "--interval=x"}) {
    const std::string command = std::string(PELMORA_BINARY) + " watch " + bad + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << bad;
  }
}

}  // namespace
}  // namespace pelmora
