// Option parsing and the run of a command line, shared by pelmora and pelmora-service.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>

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

int run_app(CLI::App& app, int argc, char** argv, const int& exit_code) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "pelmora: error: " << e.what() << "\n";
    return kExitError;
  }
  std::fflush(stdout);
  return exit_code;
}

}  // namespace pelmora::cli
