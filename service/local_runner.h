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
#include <string_view>
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

// The error of a job ended by signal `sig`: "killed by signal 9 (SIGKILL)".
std::string signal_text(int sig);

// Cuts one stream's bytes into output entries: each complete line with its "\n", and a line
// longer than `max_line_bytes` in pieces of that size. The bytes of an unfinished line wait
// for more, or for finish(). Shared by the runners; not thread-safe.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max_line_bytes) : _max_line_bytes(max_line_bytes) {}
  // Adds `bytes`; appends the entries they complete to `entries`.
  void feed(std::string_view bytes, std::vector<std::string>& entries);
  // The stream has ended: appends the unfinished line, if any, as a last entry.
  void finish(std::vector<std::string>& entries);

 private:
  std::size_t _max_line_bytes;
  std::string _partial;
};

// A job's output on its way to RunnerEvents::on_output: entries numbered consecutively from
// `first_index` (0 for a new job), handed on in batches of at most `batch_lines`. A batch
// the events cannot take (they throw) is logged and lost; its indices stay used. Not
// thread-safe.
class OutputBatcher {
 public:
  OutputBatcher(const LaunchSpec& job, RunnerEvents& events, std::size_t batch_lines,
                std::int64_t first_index = 0)
      : _job(job), _events(events), _batch_lines(batch_lines), _next_index(first_index) {}
  // Adds one entry (`stream_end` as in OutputLine); a full batch is handed on at once.
  void add(Stream stream, std::string content,
           std::optional<std::uint64_t> stream_end = std::nullopt);
  // Hands on what waits.
  void flush();
  bool empty() const { return _batch.empty(); }

 private:
  const LaunchSpec& _job;
  RunnerEvents& _events;
  std::size_t _batch_lines;
  std::int64_t _next_index;
  std::vector<OutputLine> _batch;
};

class LocalRunner : public JobRunner {
 public:
  LocalRunner(LocalRunnerOptions options, RunnerEvents& events);
  ~LocalRunner() override;  // stop_all()

  // Its jobs are children of the service and end with it: it resumes none, and
  // release_all stops them all.
  std::string name() const override { return kLocalRunnerName; }
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
