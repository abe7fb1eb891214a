#pragma once
// ProcessInfo: one heavy Python process seen by one scan, made by the scanner and read by
// the daemon.

#include <optional>
#include <string>
#include <vector>

namespace pelmora {

// A plain value: never changed after it is made. Text fields hold the bytes the process
// table gave; command lines may hold bytes that are not UTF-8.
struct ProcessInfo {
  int pid = 0;
  std::optional<std::string> name;
  std::vector<std::string> cmdline;
  std::optional<std::string> script_path;
  double cpu_percent = 0.0;
  double memory_percent = 0.0;
  double memory_mb = 0.0;
  std::string username = "";
  double create_time = 0.0;

  // The console label: the script's file name; else the command line joined with single
  // spaces and cut to its first 60 code points (never inside a UTF-8 sequence); else name.
  std::string short_cmd() const;

  friend bool operator==(const ProcessInfo&, const ProcessInfo&) = default;
};

}  // namespace pelmora
