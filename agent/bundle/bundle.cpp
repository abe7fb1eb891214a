// Placeholder until bundle assembly lands: the script alone.
#include "agent/bundle/bundle.h"

namespace pelmora {

std::string _bundle_local_modules(std::string_view code, std::string_view) {
  return std::string(code);
}

}  // namespace pelmora
