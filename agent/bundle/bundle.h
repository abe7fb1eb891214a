#pragma once
// Bundle assembly: a script joined with its local modules into one self-contained text.

#include <string>
#include <string_view>

namespace pelmora {

// The bundle text for the script `code` found at `script_path` (relative paths are taken
// against the agent's working directory), or `code` unchanged when it imports no local
// module. Throws what discovery throws (FileError).
std::string _bundle_local_modules(std::string_view code, std::string_view script_path);

}  // namespace pelmora
