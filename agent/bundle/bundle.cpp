#include "agent/bundle/bundle.h"

#include <cassert>

#include "agent/bundle/future_imports.h"
#include "python/repr.h"
#include "agent/platform/files.h"

namespace pelmora {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kOpening =
    "# ---- pelmora: injected local modules ----\n"
    "import sys as __pm_sys, types as __pm_types\n";
constexpr std::string_view kClosing =
    "del __pm_sys, __pm_types\n"
    "# ---- pelmora: end injected local modules ----\n";

std::string_view without_bom(std::string_view source) {
  if (source.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    source.remove_prefix(kByteOrderMark.size());
  }
  return source;
}

void append_module_block(std::string& out, const std::string& name, std::string_view source,
                         bool isolate_futures) {
  const std::string name_literal = python_repr(name);
  out += "__pm_mod_";
  out += name;
  out += " = __pm_types.ModuleType(";
  out += name_literal;
  out += isolate_futures ? ")\nexec(compile(" : ")\nexec(";
  out += python_repr(without_bom(source));
  if (isolate_futures) out += ", '<string>', 'exec', dont_inherit=True)";
  out += ", __pm_mod_";
  out += name;
  out += ".__dict__)\n__pm_sys.modules[";
  out += name_literal;
  out += "] = __pm_mod_";
  out += name;
  out += '\n';
}

}  // namespace

std::string script_base_dir(std::string_view script_path) {
  return parent_dir(absolute_path(script_path));
}

std::string assemble_bundle(std::string_view code, const ModuleMap& modules) {
  if (modules.empty()) return std::string(code);
  const PreambleSplit split = find_preamble_split(code);
  assert(split.head_end <= split.tail_start && split.tail_start <= code.size());

  size_t sources = 0;
  for (const auto& [name, source] : modules) sources += name.size() * 4 + source.size();
  std::string out;
  out.reserve(code.size() + sources + sources / 8 + modules.size() * 160 + 256);

  const std::string_view head = code.substr(0, split.head_end);
  out += head;
  if (!head.empty() && head != kByteOrderMark && head.back() != '\n') out += '\n';
  out += kOpening;
  for (const auto& [name, source] : modules) {
    append_module_block(out, name, source, split.has_future_imports);
  }
  out += kClosing;
  out += '\n';
  out += code.substr(split.tail_start);
  return out;
}

std::string _bundle_local_modules(std::string_view code, std::string_view script_path) {
  const std::string base_dir = script_base_dir(script_path);
  // Python skips a byte-order mark at the start of a source file; so does the search for
  // the script's imports.
  return assemble_bundle(code, _discover_local_modules(without_bom(code), base_dir));
}

}  // namespace pelmora
