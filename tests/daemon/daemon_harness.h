#pragma once
// What the daemon tests share: fake stop signals, a capture of the agent logger, scoped
// environment variables, temporary script files, and a daemon wired to fakes.

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>

#include "agent/daemon/agent_daemon.h"
#include "agent/platform/logger.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_process_table.h"
#include "tests/fakes/fake_terminal.h"

namespace pelmora::testing {

// Stop signals without signals: raise() does what the real handler does.
class FakeStopSignals : public StopSignals {
 public:
  std::atomic<bool>* running = nullptr;
  bool installed = false;
  bool with_sigterm = false;
  int installs = 0;
  int restores = 0;
  int owed = 0;

  void raise() {
    if (installed && running != nullptr) running->store(false);
    if (installed) ++owed;
  }
  void install(std::atomic<bool>& flag, bool sigterm) override {
    running = &flag;
    with_sigterm = sigterm;
    installed = true;
    ++installs;
  }
  void restore() override {
    if (installed) ++restores;
    installed = false;
  }
  int wake_fd() const override { return -1; }
  int take_owed_lines() override {
    const int n = owed;
    owed = 0;
    return n;
  }
};

// Table whose enumeration can run an action after it, or fail.
class ScriptedTable : public FakeProcessTable {
 public:
  std::function<void()> after_enumeration;
  std::function<void()> during_prime;
  bool fail_enumeration = false;

  void for_each_process(const std::function<void(ProcessHandle&)>& visit) override {
    if (fail_enumeration) {
      ++enumerations;
      if (after_enumeration) after_enumeration();
      throw FileError(EACCES, "Permission denied");
    }
    FakeProcessTable::for_each_process(visit);
    if (after_enumeration) after_enumeration();
  }
  void prime() override {
    FakeProcessTable::prime();
    if (during_prime) during_prime();
  }
};

// Records of the "pelmora.agent" logger while it lives, as "level: text" lines.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ostream_sink_st>(stream_)) {
    sink_->set_pattern("%l: %v");
    agent_logger()->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = agent_logger()->sinks();
    std::erase(sinks, sink_);
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(stream_.str());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  std::ostringstream stream_;
  std::shared_ptr<spdlog::sinks::ostream_sink_st> sink_;
};

// Sets (or, with nullopt, unsets) one environment variable and puts it back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A directory of its own under TMPDIR, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") +
                          "/pelmora-daemon-XXXXXX";
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string& name, const std::string& bytes) const {
    const std::string full = path + "/" + name;
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  std::string path;
};

// A heavy Python process as the scanner sees it: 97.3% CPU, 12.5% memory, 2048 MB.
inline FakeProcess heavy_python(int pid, const std::string& script) {
  FakeProcess p;
  p.pid = pid;
  p.name = "python3";
  p.cmdline = std::vector<std::string>{"python3", script};
  p.cpu_percent = 97.3;
  p.memory_percent = 12.5;
  p.username = "user";
  p.create_time = 1.7e9;
  p.cwd = "/";
  p.rss = std::uint64_t{2048} * 1048576;
  return p;
}

// A daemon on fakes, with a submit function that answers `next_answer` (or throws
// `next_error` when set) and keeps every request; `during_submit` runs inside it.
struct Harness {
  explicit Harness(AgentOptions options = {}, std::string platform = "linux") {
    daemon = std::make_unique<AgentDaemon>(
        std::move(options),
        AgentPlatform{.process_table = &table,
                      .terminal = &terminal,
                      .clock = &clock,
                      .sleeper = &clock,
                      .signals = &signals,
                      .submit =
                          [this](const SubmitRequest& request) {
                            submissions.push_back(request);
                            if (during_submit) during_submit(request);
                            if (next_error) throw std::runtime_error(*next_error);
                            return next_answer;
                          },
                      .platform_id = std::move(platform),
                      .process_cwd = [this](int pid) -> std::optional<std::string> {
                        return process_cwd ? process_cwd(pid) : std::nullopt;
                      }});
  }

  ScriptedTable table;
  FakeTerminal terminal;
  FakeClock clock;
  FakeStopSignals signals;
  std::vector<SubmitRequest> submissions;
  nlohmann::json next_answer = {{"job_id", "job-7f3a"}, {"status", "queued"}};
  std::optional<std::string> next_error;
  std::function<void(const SubmitRequest&)> during_submit;  // while the "service" works
  std::function<std::optional<std::string>(int)> process_cwd;  // none: unreadable
  std::unique_ptr<AgentDaemon> daemon;
};

inline ProcessInfo detection(int pid, std::optional<std::string> script) {
  ProcessInfo p;
  p.pid = pid;
  p.name = "python3";
  p.cmdline = {"python3", script.value_or("-c")};
  p.script_path = std::move(script);
  p.cpu_percent = 97.3;
  p.memory_percent = 12.5;
  p.memory_mb = 2048.0;
  return p;
}

}  // namespace pelmora::testing
