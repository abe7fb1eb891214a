#pragma once
// ProcessScanner: picks the heavy Python processes out of the process table.

#include <optional>
#include <string>
#include <vector>

#include "agent/platform/process_table.h"
#include "agent/scanner/process_info.h"

namespace pelmora {

// Finds the Python processes whose CPU or memory use is at or above a threshold. Holds no
// state between scans besides the table's CPU sample memory. Use from one thread.
class ProcessScanner {
 public:
  // Throws std::invalid_argument when a threshold is NaN. `table` must outlive the scanner.
  explicit ProcessScanner(double cpu_threshold_ = 85.0, double mem_threshold_ = 85.0,
                          ProcessTable& table = linux_process_table());

  // The heavy Python processes, by ascending pid: pid not 0, 1 or our own; a Python process
  // (_is_python_process); CPU >= cpu_threshold or memory >= mem_threshold. A process that
  // fails while it is read is left out. memory_mb is 0.0 when the fresh memory read fails.
  // Throws FileError when the table cannot be read.
  std::vector<ProcessInfo> scan();

  // True when the name, or else the first command-line argument, contains "python" in any
  // letter case. Reads only `name` and `cmdline` of `info`.
  static bool _is_python_process(const ProcessAttributes& info);

  // The first argument that is not empty, does not start with "-", ends in ".py" and names
  // an existing regular file, made absolute and normalised (lexically). A relative argument
  // is taken relative to `cwd`, the working directory of the process that runs it; when
  // `cwd` is std::nullopt (unknown), only absolute arguments qualify. Never throws.
  static std::optional<std::string> _resolve_script(const std::vector<std::string>& cmdline,
                                                    const std::optional<std::string>& cwd);
  // The same against the agent's own working directory.
  static std::optional<std::string> _resolve_script(const std::vector<std::string>& cmdline);

  const double cpu_threshold;
  const double mem_threshold;
  const int _own_pid;

 private:
  ProcessTable& _table;
};

}  // namespace pelmora
