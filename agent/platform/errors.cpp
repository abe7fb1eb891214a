#include "agent/platform/errors.h"

#include <cstring>

namespace pelmora {

std::string errno_text(int error_code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not be in `buffer`.
  return strerror_r(error_code, buffer, sizeof buffer);
}

void throw_system_error(int error_code, const std::string& context) {
  throw SystemError(error_code, context + ": " + errno_text(error_code));
}

}  // namespace pelmora
