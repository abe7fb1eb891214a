// Bundling a generated project: a script importing 200 local modules of about 100 lines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "agent/bundle/bundle.h"
#include "agent/platform/files.h"

namespace {

constexpr int kModules = 200;

std::string module_name(int i) {
  std::string digits = std::to_string(i);
  return "mod_" + std::string(3 - digits.size(), '0') + digits;
}

// About 100 lines: imports of two other local modules and of the standard library,
// functions, a class, strings with both quotes, a non-ASCII letter and escapes.
std::string module_source(int i) {
  std::string s = "\"\"\"Module " + std::to_string(i) + ": generated for the benchmark.\"\"\"\n";
  s += "import os\nimport sys\nimport " + module_name((i + 1) % kModules) + "\n";
  s += "from " + module_name((i + 7) % kModules) + " import value as other_value\n\n";
  for (int f = 0; f < 12; ++f) {
    s += "def func_" + std::to_string(f) + "(x, y=2):\n";
    s += "    \"\"\"Return a mix of x and y.\"\"\"\n";
    s += "    text = 'it\\'s \"quoted\"\\tcaf\xc3\xa9'\n";
    s += "    total = x * y + " + std::to_string(f) + "  # comment\n";
    s += "    if total > 10:\n        total -= 1\n";
    s += "    return total, text\n\n";
  }
  s += "class Thing:\n    def __init__(self):\n        self.items = [i for i in range(10)]\n\n";
  s += "    def size(self):\n        return len(self.items)\n\n";
  s += "def value():\n    return " + std::to_string(i) + "\n";
  return s;
}

class Project {
 public:
  Project() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    std::string main_code;
    for (int i = 0; i < kModules; ++i) {
      main_code += "import " + module_name(i) + "\n";
      std::ofstream(dir_ + "/" + module_name(i) + ".py", std::ios::binary) << module_source(i);
    }
    main_code += "print(sum(m.value() for m in []))\n";
    script_ = dir_ + "/main.py";
    std::ofstream(script_, std::ios::binary) << main_code;
    code_ = pelmora::read_text_file(script_);
  }
  ~Project() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;

  const std::string& script() const { return script_; }
  const std::string& code() const { return code_; }

 private:
  std::string dir_;
  std::string script_;
  std::string code_;
};

void BM_Bundle(benchmark::State& state) {
  Project project;
  {
    // The benchmark is meaningful only when every module is found.
    const std::string bundle = pelmora::_bundle_local_modules(project.code(), project.script());
    size_t found = 0;
    for (size_t at = bundle.find("\n__pm_sys.modules["); at != std::string::npos;
         at = bundle.find("\n__pm_sys.modules[", at + 1)) {
      ++found;
    }
    if (found != kModules) {
      state.SkipWithError("not every generated module is in the bundle");
      return;
    }
  }
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string bundle = pelmora::_bundle_local_modules(project.code(), project.script());
    bytes = bundle.size();
    benchmark::DoNotOptimize(bundle.data());
  }
  state.counters["bundle_bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Bundle)->Unit(benchmark::kMillisecond);

// Assembly alone, on modules already read: the preamble and the string literals.
void BM_AssembleBundle(benchmark::State& state) {
  pelmora::ModuleMap modules;
  for (int i = 0; i < kModules; ++i) modules.emplace_back(module_name(i), module_source(i));
  const std::string code = "import mod_000\n";
  for (auto _ : state) {
    const std::string bundle = pelmora::assemble_bundle(code, modules);
    benchmark::DoNotOptimize(bundle.data());
  }
}
BENCHMARK(BM_AssembleBundle)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
