// Local-module discovery with an explicit stack: the depth of an import chain costs heap
// memory, not C++ stack, and the result order equals that of the recursive definition.
#include "agent/bundle/discover.h"

#include <memory>

#include "python/source.h"
#include "agent/platform/files.h"

namespace pelmora {

namespace {

// One file being examined: its sorted import names and the next one to look at. When all
// are done, the file's own entry (if it is a module, not the script) is appended.
struct Frame {
  std::vector<std::string> names;
  std::size_t next = 0;
  std::string base_dir;
  std::string module_name;  // empty for the text the call started with
  std::string path;
  std::string text;
};

std::unique_ptr<Frame> make_frame(std::string_view code, std::string base_dir,
                                  std::string module_name, std::string path) {
  auto frame = std::make_unique<Frame>();
  const SourceCheck scan = check_source(code);
  frame->names.assign(scan.imports.begin(), scan.imports.end());  // std::set: code-point order
  frame->base_dir = std::move(base_dir);
  frame->module_name = std::move(module_name);
  frame->path = std::move(path);
  return frame;
}

}  // namespace

std::vector<LocalModule> find_local_modules(std::string_view code, const std::string& base_dir,
                                            std::set<std::string>& _seen) {
  std::vector<LocalModule> result;
  std::vector<std::unique_ptr<Frame>> stack;
  stack.push_back(make_frame(code, base_dir, {}, {}));
  while (!stack.empty()) {
    Frame& top = *stack.back();
    if (top.next == top.names.size()) {
      if (!top.module_name.empty()) {
        result.push_back({std::move(top.module_name), std::move(top.path), std::move(top.text)});
      }
      stack.pop_back();
      continue;
    }
    const std::string& name = top.names[top.next++];
    if (_seen.count(name) != 0) continue;
    const std::string module_file = join_path(top.base_dir, name + ".py");
    if (is_regular_file(module_file)) {
      _seen.insert(name);
      std::string text = read_text_file(module_file);
      auto frame = make_frame(text, top.base_dir, name, module_file);
      frame->text = std::move(text);
      stack.push_back(std::move(frame));
      continue;
    }
    const std::string package_dir = join_path(top.base_dir, name);
    const std::string package_file = join_path(package_dir, "__init__.py");
    if (is_regular_file(package_file)) {
      _seen.insert(name);
      std::string text = read_text_file(package_file);
      auto frame = make_frame(text, package_dir, name, package_file);
      frame->text = std::move(text);
      stack.push_back(std::move(frame));
    }
  }
  return result;
}

ModuleMap module_map(const std::vector<LocalModule>& modules) {
  ModuleMap map;
  map.reserve(modules.size());
  for (const LocalModule& m : modules) map.emplace_back(m.name, m.source);
  return map;
}

ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir,
                                  std::set<std::string>& _seen) {
  std::vector<LocalModule> found = find_local_modules(code, base_dir, _seen);
  ModuleMap map;
  map.reserve(found.size());
  for (LocalModule& m : found) map.emplace_back(std::move(m.name), std::move(m.source));
  return map;
}

ModuleMap _discover_local_modules(std::string_view code, const std::string& base_dir) {
  std::set<std::string> seen;
  return _discover_local_modules(code, base_dir, seen);
}

}  // namespace pelmora
