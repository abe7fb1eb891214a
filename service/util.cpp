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

void make_private_dirs(const std::string& path) {
  if (path.empty()) throw std::runtime_error("empty directory path");
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty()) continue;
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create directory " + part + ": " + errno_text(errno));
    }
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error("not a directory: " + path);
  }
}

void write_private_file(const std::string& path, const std::string& content, bool sync) {
  std::string temp = path + ".tmp-" + random_hex(4);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + errno_text(errno));
  std::size_t done = 0;
  int error = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error == 0 && sync && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + errno_text(error));
  }
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
