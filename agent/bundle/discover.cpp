// Placeholder until the import scanner lands: finds nothing.
#include "agent/bundle/discover.h"

namespace pelmora {

ModuleMap _discover_local_modules(std::string_view, const std::string&, std::set<std::string>&) {
  return {};
}

ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir) {
  std::set<std::string> seen;
  return _discover_local_modules(code, base_dir, seen);
}

}  // namespace pelmora
