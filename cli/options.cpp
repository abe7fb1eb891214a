// Option parsing shared by the subcommands.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "cli/commands.h"

namespace pelmora::cli {

std::optional<double> parse_finite(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

CLI::Validator finite_number(const std::string& what) {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return parse_finite(text) ? "" : "'" + text + "' is not a finite number";
      },
      "", what);
}

}  // namespace pelmora::cli
