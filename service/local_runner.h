#pragma once
// Runs jobs as local processes: `<python> -u main.py` in the job's directory, in a session
// and process group of its own, standard input /dev/null, standard output and error on
// pipes read line by line by one thread per job.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/runner.h"

namespace pelmora::service {

struct LocalRunnerOptions {
  std::string python;          // an absolute path, or a name looked up on PATH
  double cancel_grace = 5.0;   // seconds between SIGTERM and SIGKILL
  // Output is handed on in batches of at most this many lines, at least every flush_interval
  // seconds while lines wait.
  std::size_t batch_lines = 2000;
  double flush_interval = 0.05;
  // A line longer than this is handed on in pieces of this size (their contents joined are
  // still the output).
  std::size_t max_line_bytes = 64 * 1024;
  // Whether this machine has a GPU; a job that asks for one fails otherwise. Absent: true
  // when /dev/nvidia0 exists.
  std::optional<bool> has_gpu;
};

// The environment a job gets: this process's environment without anything that looks like
// a key or secret (names holding KEY, SECRET, TOKEN, PASSWORD, PASSWD or CREDENTIAL, and
// every PELMORA_ and GATEWAY_ variable), plus PYTHONUNBUFFERED=1.
std::vector<std::string> job_environment(char** environ_);

// Resolves `program` against PATH when it has no slash. Absent when nothing executable
// is found.
std::optional<std::string> find_program(const std::string& program);

class LocalRunner : public JobRunner {
 public:
  LocalRunner(LocalRunnerOptions options, RunnerEvents& events);
  ~LocalRunner() override;  // stop_all()

  void launch(const LaunchSpec& job) override;
  void cancel(const std::string& job_id) override;
  void stop_all() override;

 private:
  struct Running;
  void _follow(std::shared_ptr<Running> job);

  LocalRunnerOptions _options;
  RunnerEvents& _events;
  std::mutex _mutex;
  std::condition_variable _idle;
  std::map<std::string, std::shared_ptr<Running>> _running;
  std::size_t _threads = 0;
};

}  // namespace pelmora::service
