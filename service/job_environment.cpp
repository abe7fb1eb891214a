#include "service/job_environment.h"

#include <algorithm>
#include <string_view>

namespace pelmora::service {

bool passable_env_name(const std::string& name);

namespace {

constexpr std::string_view kAllowed[] = {"PATH",     "HOME", "USER", "LOGNAME", "SHELL", "LANG",
                                         "LANGUAGE", "TZ",   "TERM", "TMPDIR"};

bool allowed(std::string_view name, const std::vector<std::string>& pass) {
  if (name.rfind("LC_", 0) == 0) return true;
  if (std::find(std::begin(kAllowed), std::end(kAllowed), name) != std::end(kAllowed)) return true;
  return std::find(pass.begin(), pass.end(), name) != pass.end() &&
         passable_env_name(std::string(name));
}

}  // namespace

bool passable_env_name(const std::string& name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  std::string upper = name;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return upper.rfind("PELMORA_", 0) != 0 && upper.rfind("GATEWAY_", 0) != 0 &&
         upper != "PYTHONUNBUFFERED";
}

std::vector<std::string> job_environment(char** environ_, const std::vector<std::string>& pass) {
  std::vector<std::string> env;
  for (char** e = environ_; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry = *e;
    std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = entry.substr(0, eq);
    if (allowed(name, pass)) env.emplace_back(entry);
  }
  env.push_back("PYTHONUNBUFFERED=1");
  return env;
}

}  // namespace pelmora::service
