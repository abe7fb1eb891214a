#include "service/output.h"

#include <cstring>

#include "service/log.h"

namespace pelmora::service {

std::string signal_text(int sig) {
  const char* name = sigabbrev_np(sig);
  return "killed by signal " + std::to_string(sig) +
         (name != nullptr ? std::string(" (SIG") + name + ")" : "");
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

}  // namespace pelmora::service
