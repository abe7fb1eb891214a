#pragma once
// What Python sources import, seen at the level of packages and submodules: the Python
// files of a project that a script needs, and the constructs the module bundle cannot
// carry (relative and submodule imports, __file__, sys.path edits).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// One import statement: `import a.b` gives level 0, module {"a","b"}; `from ..m import x, y`
// gives level 2, module {"m"}, names {"x","y"}; `from . import x` level 1, no module parts.
struct ImportRef {
  std::size_t level = 0;
  std::vector<std::string> module;
  std::vector<std::string> names;  // from-imports only; "*" stays out
  bool from = false;
};

// Every import statement of `code` (decoded text, LF line ends) that stands at the start of
// a statement, wherever it is (inside functions and try blocks too), in text order. Scans
// the tokens up to the first lexical error. Non-ASCII names are NFKC-normalised.
std::vector<ImportRef> scan_imports(std::string_view code);

// True when `code` uses the name __file__, or changes sys.path (sys.path.insert, .append,
// .extend, sys.path += ..., sys.path = ...).
bool uses_file_name(std::string_view code);
bool edits_sys_path(std::string_view code);

// The Python files under `root` that the script `script` (relative to root) imports,
// directly or through the files it reaches: absolute imports looked up from the script's
// directory (the first entry of sys.path), relative ones from the importing file's
// package; each package's __init__.py on the way; `from P import n` takes P/n.py (or
// P/n/__init__.py) when it exists. Relative paths, sorted, the script left out. Files that
// cannot be read are listed but not followed. Never throws for unreadable files.
std::vector<std::string> imported_python_files(const std::string& root, const std::string& script);

// Why the module bundle of the script at `script_path` (its text `code`) would not run as
// the script does in place, or std::nullopt: a bundled package that uses relative imports
// or is imported with submodules, a directory of modules without __init__.py, __file__ in
// a bundled module, a sys.path edit. One short phrase ("package 'models' uses relative
// imports"). Throws what discovery throws (FileError).
std::optional<std::string> module_bundle_shortfall(std::string_view code, std::string_view script_path);

// The warning line for a shortfall: names the cause and suggests --project (no newline).
std::string module_bundle_hint(std::string_view cause);

}  // namespace pelmora
