#pragma once
// Pure parsers for the text of the proc file system, kept apart from the I/O that reads it.
// Each takes the whole file content. The rules match psutil's on Linux.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// The fields of /proc/PID/stat that the agent uses.
struct ProcStat {
  std::string comm;               // between the first '(' and the last ')'
  char state = '?';               // field 3
  std::uint64_t utime = 0;        // field 14, clock ticks
  std::uint64_t stime = 0;        // field 15, clock ticks
  std::uint64_t num_threads = 0;  // field 20
  std::uint64_t starttime = 0;    // field 22, clock ticks after boot
  std::uint64_t rss_pages = 0;    // field 24, resident pages

  friend bool operator==(const ProcStat&, const ProcStat&) = default;
};

// /proc/PID/stat. The comm may hold spaces and parentheses, so the fields after it are
// found from the last ')'. std::nullopt when the text is not a stat line.
std::optional<ProcStat> parse_proc_stat(std::string_view text);

// /proc/PID/cmdline as psutil splits it: CR LF and CR become LF; the separator is NUL when
// the data ends with NUL, else a space; one trailing separator is dropped and the rest split
// on it, keeping empty arguments; a NUL-ended single argument holding a space is split on
// spaces. Empty data gives no arguments. Bytes that are not UTF-8 are kept as they are.
std::vector<std::string> parse_cmdline(std::string_view data);

// The real uid: the first number of the "Uid:" line of /proc/PID/status.
std::optional<std::uint32_t> parse_status_real_uid(std::string_view text);

// The CPU time of the thread, in nanoseconds: the first field of /proc/PID/schedstat.
std::optional<std::uint64_t> parse_schedstat_runtime(std::string_view text);

// The resident pages of /proc/PID/statm (its second field).
std::optional<std::uint64_t> parse_statm_resident_pages(std::string_view text);

// MemTotal of /proc/meminfo, in bytes.
std::optional<std::uint64_t> parse_meminfo_total_bytes(std::string_view text);

// The boot time (the "btime" line of /proc/stat), seconds since the Unix epoch.
std::optional<std::uint64_t> parse_boot_time(std::string_view text);

// The length of `bytes` in characters as Python counts them after decoding UTF-8 with
// errors="surrogateescape": one per well-formed sequence, one per undecodable byte.
std::size_t decoded_length(std::string_view bytes);

// The process name psutil reports: `comm`, unless it is 15 characters or longer and the
// base name of the first argument starts with it, in which case that base name.
std::string process_name(std::string_view comm, const std::vector<std::string>& cmdline);

// True when process_name() needs the command line to decide.
bool name_may_be_cut(std::string_view comm);

// psutil's cpu_percent from two samples: process CPU seconds (user, system) and the
// monotonic time multiplied by the number of CPUs. Rounded to one decimal as Python's
// round(x, 1) does; 0.0 when no time has passed.
double cpu_percent_between(double user1, double system1, double user2, double system2,
                           double scaled_time1, double scaled_time2, int cpu_count);

// Python's round(x, 1).
double round_to_tenth(double x);

}  // namespace pelmora
