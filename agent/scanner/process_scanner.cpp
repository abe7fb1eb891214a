#include "agent/scanner/process_scanner.h"

#include <cmath>
#include <exception>
#include <stdexcept>

#include "agent/platform/files.h"

namespace pelmora {
namespace {

bool contains_python(std::string_view text) {
  static constexpr std::string_view kWord = "python";
  if (text.size() < kWord.size()) return false;
  for (std::size_t i = 0; i + kWord.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < kWord.size()) {
      char c = text[i + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != kWord[k]) break;
      ++k;
    }
    if (k == kWord.size()) return true;
  }
  return false;
}

bool ends_with_py(std::string_view arg) {
  return arg.size() >= 3 && arg.substr(arg.size() - 3) == ".py";
}

double threshold_value(double value, const char* name) {
  if (std::isnan(value)) throw std::invalid_argument(std::string(name) + " must be a number");
  return value;
}

}  // namespace

ProcessScanner::ProcessScanner(double cpu_threshold_, double mem_threshold_, ProcessTable& table)
    : cpu_threshold(threshold_value(cpu_threshold_, "cpu_threshold")),
      mem_threshold(threshold_value(mem_threshold_, "mem_threshold")),
      _own_pid(table.own_pid()),
      _table(table) {}

bool ProcessScanner::_is_python_process(const ProcessAttributes& info) {
  if (info.name && contains_python(*info.name)) return true;
  if (info.cmdline && !info.cmdline->empty()) return contains_python(info.cmdline->front());
  return false;
}

std::optional<std::string> ProcessScanner::_resolve_script(
    const std::vector<std::string>& cmdline, const std::optional<std::string>& cwd) {
  for (const std::string& arg : cmdline) {
    if (arg.empty() || arg.front() == '-' || !ends_with_py(arg)) continue;
    if (arg.front() == '/') {
      if (is_regular_file(arg)) return normalize_path(arg);
    } else if (cwd && !cwd->empty() && cwd->front() == '/') {
      // The file test resolves ".." through the real directories; only the reported path
      // is normalised on the text.
      if (is_regular_file(join_path(*cwd, arg))) return absolute_path(arg, *cwd);
    }
  }
  return std::nullopt;
}

std::optional<std::string> ProcessScanner::_resolve_script(
    const std::vector<std::string>& cmdline) {
  std::optional<std::string> cwd;
  try {
    cwd = current_dir();
  } catch (const std::exception&) {
    // Without a working directory only absolute arguments can qualify.
  }
  return _resolve_script(cmdline, cwd);
}

std::vector<ProcessInfo> ProcessScanner::scan() {
  std::vector<ProcessInfo> heavy;
  // The tests run from cheap to costly; each gives the same answer whenever it runs, so
  // the result equals that of reading every attribute first.
  _table.for_each_process([&](ProcessHandle& handle) {
    try {
      const int pid = handle.pid();
      if (pid == 0 || pid == 1 || pid == _own_pid) return;

      const double cpu = handle.cpu_percent().value_or(0.0);
      if (cpu < cpu_threshold && !handle.memory_percent_reaches(mem_threshold)) return;

      ProcessAttributes info;
      info.pid = pid;
      info.name = handle.name();
      if (!_is_python_process(info)) {
        info.cmdline = handle.cmdline();
        if (!_is_python_process(info)) return;
      }

      ProcessInfo record;
      record.pid = pid;
      record.name = info.name;
      record.cmdline = handle.cmdline().value_or(std::vector<std::string>{});
      // The working directory is read only when a relative argument could name the script.
      bool relative = false;
      for (const std::string& arg : record.cmdline) {
        relative = relative || (!arg.empty() && arg.front() != '-' && arg.front() != '/' &&
                                ends_with_py(arg));
      }
      record.script_path =
          _resolve_script(record.cmdline, relative ? handle.cwd() : std::nullopt);
      record.cpu_percent = cpu;
      record.memory_percent = handle.memory_percent().value_or(0.0);
      record.username = handle.username().value_or("");
      record.create_time = handle.create_time().value_or(0.0);
      try {
        record.memory_mb = static_cast<double>(handle.memory_rss()) / 1048576.0;
      } catch (const std::exception&) {
        record.memory_mb = 0.0;
      }
      heavy.push_back(std::move(record));
    } catch (const std::exception&) {
      // The process ended or could not be read: it is left out of this scan.
    }
  });
  return heavy;
}

}  // namespace pelmora
