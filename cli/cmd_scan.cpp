// pelmora scan: one look at the process table, as the watch loop takes it.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/platform/clock.h"
#include "agent/platform/process_table.h"
#include "agent/platform/proc_parse.h"
#include "agent/platform/terminal_text.h"
#include "agent/scanner/process_scanner.h"
#include "cli/commands.h"

namespace pelmora::cli {
namespace {

struct ScanOptions {
  std::string threshold = "85";
};

std::string format(const char* fmt, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, value);
  return buf;
}

void write_stdout(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    throw std::runtime_error("cannot write to standard output");
  }
}

// Rows of cells, each column padded to its widest cell (counted in characters); the first
// four columns are numbers and align right.
std::string render_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], decoded_length(row[c]));
    }
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string pad(widths[c] - decoded_length(row[c]), ' ');
      if (c > 0) line += "  ";
      if (c < 4) {
        line += pad + row[c];
      } else if (c + 1 < row.size()) {
        line += row[c] + pad;
      } else {
        line += row[c];
      }
    }
    out += line + "\n";
  }
  return out;
}

int run_scan(const ScanOptions& opts) {
  const double threshold = *parse_finite(opts.threshold);
  ProcessTable& table = linux_process_table();
  ProcessScanner scanner(threshold, threshold, table);
  table.prime();
  system_clock().sleep(1.0);
  const auto heavy = scanner.scan();
  if (heavy.empty()) {
    write_stdout("no heavy Python processes\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"PID", "CPU%", "Mem%", "MB", "USER", "LABEL", "SCRIPT"});
  for (const ProcessInfo& p : heavy) {
    rows.push_back({std::to_string(p.pid), format("%.1f", p.cpu_percent),
                    format("%.1f", p.memory_percent), format("%.0f", p.memory_mb),
                    escape_for_terminal(p.username), escape_for_terminal(p.short_cmd()),
                    p.script_path ? escape_for_terminal(*p.script_path) : "-"});
  }
  write_stdout(render_table(rows));
  return kExitOk;
}

}  // namespace

void add_scan_command(CLI::App& app, int& exit_code) {
  auto opts = std::make_shared<ScanOptions>();
  CLI::App* cmd = app.add_subcommand(
      "scan",
      "Show the heavy Python processes: sample every process's CPU for one second, then list "
      "the Python processes at or above the threshold of CPU or memory use.");
  cmd->add_option("--threshold", opts->threshold,
                  "CPU and memory percentage at or above which a process is heavy (default 85)")
      ->type_name("PCT")
      ->check(finite_number("threshold"));
  cmd->callback([opts, &exit_code] { exit_code = run_scan(*opts); });
}

}  // namespace pelmora::cli
