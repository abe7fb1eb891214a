// Placeholder: registers nothing yet.
#include "cli/commands.h"

namespace pelmora::cli {

void add_service_commands(CLI::App&, int&) {}

}  // namespace pelmora::cli
