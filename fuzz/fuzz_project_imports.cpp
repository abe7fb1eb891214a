// The import scan of the project form and the checks behind the module bundle's hint, on
// arbitrary bytes: no crash, no hang; every import found names a module or a level.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/bundle/project_imports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view code(reinterpret_cast<const char*>(data), size);
  for (const pelmora::ImportRef& ref : pelmora::scan_imports(code)) {
    if (ref.module.empty() && ref.level == 0) std::abort();
    for (const auto& part : ref.module) {
      if (part.empty()) std::abort();
    }
  }
  (void)pelmora::uses_file_name(code);
  (void)pelmora::edits_sys_path(code);
  return 0;
}
