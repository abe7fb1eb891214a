#pragma once
// What both runners make of a job's output: entries cut from its byte streams, handed on in
// numbered batches; and the words for a job's end by a signal.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/runner.h"

namespace pelmora::service {

// The error of a job ended by signal `sig`: "killed by signal 9 (SIGKILL)".
std::string signal_text(int sig);

// Cuts one stream's bytes into output entries: each complete line with its "\n", and a line
// longer than `max_line_bytes` in pieces of that size. The bytes of an unfinished line wait
// for more, or for finish(). No entry is ever empty. Not thread-safe.
// Requires: max_line_bytes > 0.
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
// thread-safe. `job` and `events` must outlive it.
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

}  // namespace pelmora::service
