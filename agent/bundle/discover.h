#pragma once
// Local-module discovery: the modules beside a script that it imports, with their sources.

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelmora {

// Module name -> source text, in discovery order; each name at most once.
using ModuleMap = std::vector<std::pair<std::string, std::string>>;

// The local modules that `code` imports, directly or through other local modules, looked up
// in `base_dir` (a module file NAME.py, else a package NAME/__init__.py), each after the
// local modules its own file brings in. Invalid source yields the empty map. `_seen` holds
// the names already taken and grows in place.
// Throws: FileError when a module file exists but cannot be read.
ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir,
                                  std::set<std::string>& _seen);
ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir);

}  // namespace pelmora
