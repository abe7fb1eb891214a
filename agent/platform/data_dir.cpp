#include "agent/platform/data_dir.h"

#include <cstdlib>
#include <stdexcept>

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
std::string state_dir(const std::string& data_dir) { return join_path(data_dir, "state"); }
std::string keys_file(const std::string& data_dir) {
  return join_path(state_dir(data_dir), "keys.json");
}
std::string local_key_file(const std::string& data_dir) {
  return join_path(state_dir(data_dir), "local_key.json");
}
std::string jobs_db_file(const std::string& data_dir) {
  return join_path(state_dir(data_dir), "jobs.db");
}
std::string service_info_file(const std::string& data_dir) {
  return join_path(data_dir, "service.json");
}
}  // namespace pelmora
