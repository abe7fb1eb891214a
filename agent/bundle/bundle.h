#pragma once
// Bundle assembly: a script joined with its local modules into one self-contained text.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/discover.h"

namespace pelmora {

// The bundle text for the script `code` found at `script_path` (relative paths are taken
// against the agent's working directory), or `code` unchanged when it imports no local
// module. The modules are those _discover_local_modules finds for `code` (without a leading
// byte-order mark, which Python skips) in script_base_dir(script_path); the text is
// assemble_bundle's. Throws what discovery throws (FileError).
std::string _bundle_local_modules(std::string_view code, std::string_view script_path);

// The directory in which the local modules of the script at `script_path` are looked up:
// the path made absolute against the working directory, normalised, cut before its last
// separator. Throws FileError when the working directory cannot be read.
std::string script_base_dir(std::string_view script_path);

// The bundle text for `code` and the modules `modules`, kept in their order; `code`
// unchanged when `modules` is empty. Otherwise a preamble that runs each module's source
// in a fresh module object registered in sys.modules, then the script:
//
//   # ---- pelmora: injected local modules ----
//   import sys as __pm_sys, types as __pm_types
//   __pm_mod_N = __pm_types.ModuleType(R(N))              three lines
//   exec(R(S), __pm_mod_N.__dict__)                      per module
//   __pm_sys.modules[R(N)] = __pm_mod_N
//   del __pm_sys, __pm_types
//   # ---- pelmora: end injected local modules ----
//   (empty line)
//   the script
//
// with R the literal of python_repr. The preamble goes after what must stay at the top of
// the script (see find_preamble_split): its byte-order mark and its leading docstring and
// `from __future__` imports. With future imports ahead of it, each module is compiled with
// dont_inherit=True so that the script's future features do not leak into the modules:
//   exec(compile(R(S), '<string>', 'exec', dont_inherit=True), __pm_mod_N.__dict__)
// A byte-order mark at the start of a module's source is left out of its literal (Python
// skips it when it imports the file; exec would reject it).
// Requires: every module name is an identifier.
std::string assemble_bundle(std::string_view code, const ModuleMap& modules);

}  // namespace pelmora
