#include "cli/project_form.h"

#include <cstdlib>
#include <iostream>

#include "agent/bundle/project_imports.h"
#include "agent/platform/files.h"

namespace pelmora::cli {

ProjectRequest project_request(const std::string& file, const std::vector<std::string>& args) {
  const char* home = std::getenv("HOME");
  return ProjectRequest{.script = file, .args = args, .cwd = current_dir(),
                        .home = home ? home : ""};
}

void print_module_bundle_hint(std::string_view source, const std::string& file) {
  try {
    if (const auto cause = module_bundle_shortfall(source, file)) {
      std::cerr << "pelmora: warning: " << module_bundle_hint(*cause) << "\n";
    }
  } catch (const std::exception&) {
    // The hint is advice; the bundle goes as it is.
  }
}

}  // namespace pelmora::cli
