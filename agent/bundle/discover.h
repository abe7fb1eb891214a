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

// One local module as discovery found it.
struct LocalModule {
  std::string name;
  std::string path;    // the file it was read from: base_dir/NAME.py or base_dir/NAME/__init__.py
  std::string source;  // the file's text as read_text_file gives it
};

// The local modules that `code` imports, as _discover_local_modules defines them, each with
// the file it was read from, in the same order. `_seen` holds the names already taken and
// grows in place.
// Throws: FileError when a module file exists but cannot be read.
std::vector<LocalModule> find_local_modules(std::string_view code, const std::string& base_dir,
                                            std::set<std::string>& _seen);

// The names and sources of `modules`, in their order.
ModuleMap module_map(const std::vector<LocalModule>& modules);

// The local modules that `code` imports, directly or through other local modules, looked up
// in `base_dir` (a module file NAME.py, else a package NAME/__init__.py), each after the
// local modules its own file brings in. Invalid source yields the empty map. `_seen` holds
// the names already taken and grows in place.
// Throws: FileError when a module file exists but cannot be read.
ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir,
                                  std::set<std::string>& _seen);
ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir);

}  // namespace pelmora
