// Placeholder: registers nothing yet.
#include "cli/commands.h"

namespace pelmora::cli {

void add_imports_command(CLI::App&, int&) {}

}  // namespace pelmora::cli
