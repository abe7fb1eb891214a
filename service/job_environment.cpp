#include "service/job_environment.h"

#include <cctype>

namespace pelmora::service {
namespace {

bool looks_secret(const std::string& name) {
  std::string upper;
  for (char c : name) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (upper.rfind("PELMORA_", 0) == 0 || upper.rfind("GATEWAY_", 0) == 0) return true;
  for (const char* word : {"KEY", "SECRET", "TOKEN", "PASSWORD", "PASSWD", "CREDENTIAL"}) {
    if (upper.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> job_environment(char** environ_) {
  std::vector<std::string> env;
  for (char** e = environ_; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    std::size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (name == "PYTHONUNBUFFERED" || looks_secret(name)) continue;
    env.push_back(std::move(entry));
  }
  env.push_back("PYTHONUNBUFFERED=1");
  return env;
}

}  // namespace pelmora::service
