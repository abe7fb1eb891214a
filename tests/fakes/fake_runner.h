#pragma once
// A job runner that starts no process, for tests of what lies above the runner (the API, the
// scheduler, the store). A job's main.py is read as directives, one a line:
//   out TEXT    an entry "TEXT\n" on standard output      err TEXT   the same on standard error
//   sleep S     waits S seconds (a cancel ends the wait)   hold       waits until cancelled
//   exit N      ends the job with exit status N (the default is 0)
// Anything else is ignored. A job that asks for a GPU fails at launch, as on a machine
// without one. Each job runs on a thread of its own; a cancelled one ends with exit code -15
// and the error "cancelled", as a local job does. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/runner.h"

namespace pelmora::testing {

class FakeRunner : public service::JobRunner {
 public:
  explicit FakeRunner(service::RunnerEvents& events) : events_(events) {}
  ~FakeRunner() override { stop_all(); }

  std::string name() const override { return "fake"; }

  void launch(const service::LaunchSpec& job) override {
    const auto& resources = job.resources;
    if (resources.contains("gpu") && resources["gpu"].is_string() &&
        !resources["gpu"].get<std::string>().empty()) {
      events_.on_finished(job, service::JobOutcome{
                                   std::nullopt, "GPU \"" + resources["gpu"].get<std::string>() +
                                                     "\" was requested, but this machine has no GPU"});
      return;
    }
    long pid;
    {
      std::lock_guard lock(mutex_);
      running_.insert(job.job_id);
      ++threads_;
      pid = ++last_pid_;
    }
    events_.on_started(job, pid);
    std::thread([this, job] { run(job); }).detach();
  }

  void cancel(const std::string& job_id) override {
    std::lock_guard lock(mutex_);
    if (running_.count(job_id) != 0) cancelled_.insert(job_id);
    changed_.notify_all();
  }

  void stop_all() override {
    std::unique_lock lock(mutex_);
    cancelled_.insert(running_.begin(), running_.end());
    changed_.notify_all();
    changed_.wait(lock, [this] { return threads_ == 0; });
  }

 private:
  void run(const service::LaunchSpec& job) {
    std::ifstream in(job.work_dir + "/main.py");
    std::vector<service::OutputLine> batch;
    std::int64_t next_index = 0;
    auto flush = [&] {
      if (batch.empty()) return;
      events_.on_output(job, next_index, batch);
      next_index += static_cast<std::int64_t>(batch.size());
      batch.clear();
    };
    service::JobOutcome outcome{0, std::nullopt};
    bool cancelled = false;
    for (std::string line; !cancelled && std::getline(in, line);) {
      std::string word = line.substr(0, line.find(' '));
      std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
      if (word == "out" || word == "err") {
        batch.push_back(service::OutputLine{
            word == "out" ? service::Stream::stdout_stream : service::Stream::stderr_stream,
            rest + "\n", std::nullopt});
        if (batch.size() >= 1000) flush();
      } else if (word == "sleep" || word == "hold") {
        flush();
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::duration<double>(word == "hold" ? 3600.0 : std::stod(rest));
        std::unique_lock lock(mutex_);
        cancelled = changed_.wait_until(lock, until, [&] { return cancelled_.count(job.job_id) != 0; });
      } else if (word == "exit") {
        outcome.exit_code = std::stoi(rest);
        break;
      }
    }
    flush();
    {
      std::lock_guard lock(mutex_);
      cancelled = cancelled_.count(job.job_id) != 0;
      running_.erase(job.job_id);
      cancelled_.erase(job.job_id);
    }
    if (cancelled) outcome = service::JobOutcome{-15, std::string("cancelled")};
    events_.on_finished(job, outcome);
    std::lock_guard lock(mutex_);
    --threads_;
    changed_.notify_all();
  }

  service::RunnerEvents& events_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string> running_;
  std::set<std::string> cancelled_;
  std::size_t threads_ = 0;
  long last_pid_ = 0;
};

}  // namespace pelmora::testing
