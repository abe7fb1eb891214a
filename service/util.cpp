#include "service/util.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/errors.h"

namespace pelmora::service {

std::string random_hex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  std::size_t got = 0;
  while (got < bytes) {
    ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("cannot read random bytes: " + errno_text(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes * 2);
  for (char c : raw) {
    auto byte = static_cast<unsigned char>(c);
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xf]);
  }
  return out;
}

std::string new_job_id() { return "job-" + random_hex(16); }

bool is_job_id(const std::string& text) {
  if (text.size() != 36 || text.compare(0, 4, "job-") != 0) return false;
  for (std::size_t i = 4; i < text.size(); ++i) {
    char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

std::string iso_time(double epoch_seconds) {
  double whole = std::floor(epoch_seconds);
  auto seconds = static_cast<std::time_t>(whole);
  int millis = static_cast<int>(std::lround((epoch_seconds - whole) * 1000.0));
  if (millis >= 1000) {
    millis -= 1000;
    seconds += 1;
  }
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                parts.tm_min, parts.tm_sec, millis);
  return buffer;
}

}  // namespace pelmora::service
