#include "agent/platform/proc_parse.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "agent/platform/files.h"
#include "agent/platform/terminal_text.h"

namespace pelmora {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Splits on runs of white space, like Python's bytes.split() without arguments.
std::vector<std::string_view> split_fields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) fields.push_back(text.substr(start, i - start));
  }
  return fields;
}

template <typename T>
std::optional<T> parse_number(std::string_view s) {
  T value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

template <typename T>
bool parse_into(std::string_view s, T& out) {
  const auto value = parse_number<T>(s);
  if (value) out = *value;
  return value.has_value();
}

// The value after `key` on the line that starts with it, as an unsigned number.
std::optional<std::uint64_t> keyed_number(std::string_view text, std::string_view key) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    if (line.substr(0, key.size()) == key) {
      const auto fields = split_fields(line.substr(key.size()));
      if (fields.empty()) return std::nullopt;
      return parse_number<std::uint64_t>(fields[0]);
    }
    pos = end + 1;
  }
  return std::nullopt;
}

std::vector<std::string> split_keep_empty(std::string_view text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

}  // namespace

std::optional<ProcStat> parse_proc_stat(std::string_view text) {
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return std::nullopt;
  }
  ProcStat stat;
  // Walks the fields after the comm without collecting them: field k is the (k - 2)th.
  const std::string_view rest = text.substr(close + 1);
  std::size_t i = 0;
  int field = 2;
  bool ok = true;
  while (field < 24) {
    while (i < rest.size() && is_space(rest[i])) ++i;
    const std::size_t start = i;
    while (i < rest.size() && !is_space(rest[i])) ++i;
    if (i == start) return std::nullopt;  // cut short
    ++field;
    const std::string_view token = rest.substr(start, i - start);
    switch (field) {
      case 3:
        ok = token.size() == 1;
        stat.state = token[0];
        break;
      case 14:
        ok = parse_into(token, stat.utime);
        break;
      case 15:
        ok = parse_into(token, stat.stime);
        break;
      case 20:
        ok = parse_into(token, stat.num_threads);
        break;
      case 22:
        ok = parse_into(token, stat.starttime);
        break;
      case 24: {
        std::int64_t rss = 0;
        ok = parse_into(token, rss);
        stat.rss_pages = rss < 0 ? 0 : static_cast<std::uint64_t>(rss);
        break;
      }
      default:
        break;
    }
    if (!ok) return std::nullopt;
  }
  stat.comm.assign(text.substr(open + 1, close - open - 1));
  return stat;
}

std::vector<std::string> parse_cmdline(std::string_view data) {
  if (data.empty()) return {};
  std::string text = normalize_newlines(data);
  const char sep = text.back() == '\0' ? '\0' : ' ';
  if (text.back() == sep) text.pop_back();
  auto args = split_keep_empty(text, sep);
  if (sep == '\0' && args.size() == 1 && text.find(' ') != std::string::npos) {
    args = split_keep_empty(text, ' ');
  }
  return args;
}

std::optional<std::uint32_t> parse_status_real_uid(std::string_view text) {
  const auto uid = keyed_number(text, "Uid:");
  if (!uid || *uid > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(*uid);
}

std::optional<std::uint64_t> parse_schedstat_runtime(std::string_view text) {
  const auto fields = split_fields(text);
  if (fields.size() < 3) return std::nullopt;
  return parse_number<std::uint64_t>(fields[0]);
}

std::optional<std::uint64_t> parse_statm_resident_pages(std::string_view text) {
  const auto fields = split_fields(text);
  if (fields.size() < 2) return std::nullopt;
  return parse_number<std::uint64_t>(fields[1]);
}

std::optional<std::uint64_t> parse_meminfo_total_bytes(std::string_view text) {
  const auto kb = keyed_number(text, "MemTotal:");
  if (!kb) return std::nullopt;
  return *kb * 1024;
}

std::optional<std::uint64_t> parse_boot_time(std::string_view text) {
  return keyed_number(text, "btime ");
}

std::size_t decoded_length(std::string_view bytes) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < bytes.size(); ++count) {
    const std::size_t len = utf8_sequence_length(bytes, i);
    i += len == 0 ? 1 : len;
  }
  return count;
}

bool name_may_be_cut(std::string_view comm) { return decoded_length(comm) >= 15; }

std::string process_name(std::string_view comm, const std::vector<std::string>& cmdline) {
  if (!name_may_be_cut(comm) || cmdline.empty()) return std::string(comm);
  std::string_view base = cmdline[0];
  const std::size_t slash = base.rfind('/');
  if (slash != std::string_view::npos) base.remove_prefix(slash + 1);
  if (base.substr(0, comm.size()) != comm) return std::string(comm);
  // The prefix must also hold after decoding: the cut may not fall inside a character of
  // the base name (comm then ends in undecodable bytes where the base name has a letter).
  std::size_t i = 0;
  while (i < comm.size()) {
    const std::size_t len = utf8_sequence_length(base, i);
    i += len == 0 ? 1 : len;
  }
  if (i != comm.size()) return std::string(comm);
  return std::string(base);
}

double round_to_tenth(double x) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.1f", x);
  return std::strtod(buf, nullptr);
}

double cpu_percent_between(double user1, double system1, double user2, double system2,
                           double scaled_time1, double scaled_time2, int cpu_count) {
  const double delta_proc = (user2 - user1) + (system2 - system1);
  const double delta_time = scaled_time2 - scaled_time1;
  if (delta_time == 0.0) return 0.0;
  const double overall = (delta_proc / delta_time) * 100;
  return round_to_tenth(overall * cpu_count);
}

}  // namespace pelmora
