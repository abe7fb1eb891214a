#include "agent/platform/data_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

#include "agent/platform/files.h"

namespace pelmora {

std::string default_data_dir() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return join_path(join_path(xdg, "pelmora"), "service");
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    throw std::runtime_error("cannot find the data directory: neither XDG_DATA_HOME nor HOME is set");
  }
  return join_path(home, ".local/share/pelmora/service");
}

std::string jobs_dir(const std::string& data_dir) { return join_path(data_dir, "jobs"); }
std::string keys_file(const std::string& data_dir) { return join_path(data_dir, "keys.json"); }
std::string service_info_file(const std::string& data_dir) {
  return join_path(data_dir, "service.json");
}

void make_data_dir(const std::string& data_dir) {
  if (data_dir.empty()) throw std::runtime_error("empty directory path");
  for (std::size_t pos = data_dir.find('/', 1);; pos = data_dir.find('/', pos + 1)) {
    const std::string part = data_dir.substr(0, pos);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create directory " + part + ": " + std::strerror(errno));
    }
    if (pos == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(data_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error("not a directory: " + data_dir);
  }
}

}  // namespace pelmora
