#pragma once
// The corpus of small projects under tests/data/projects: one per layout that a script
// offloaded with its local modules alone runs differently, each with the script and the
// arguments it runs with in place.

#include <filesystem>
#include <string>
#include <vector>

#include "tests/python/python_oracle.h"

namespace pelmora::testing {

struct CorpusProject {
  const char* name;    // its directory under tests/data/projects
  const char* script;  // relative to that directory, which is the working directory
  std::vector<std::string> args;
};

inline const std::vector<CorpusProject>& project_corpus() {
  static const std::vector<CorpusProject> corpus = {
      {"relative_imports", "train.py", {"34"}},
      {"dotted_submodules", "evaluate.py", {"--fast", "x"}},
      {"namespace_package", "run.py", {"tail"}},
      {"src_layout", "scripts/run.py", {"5"}},
      {"importlib_plugins", "main.py", {"reverse", "title"}},
      {"registry", "main.py", {}},
      {"package_resources", "app.py", {}},
      {"import_cycle", "main.py", {}},
      {"dataclass_pickle", "main.py", {}},
      {"file_beside_module", "main.py", {}},
      {"getsource", "main.py", {}},
      {"cwd_data", "train.py", {}},
      {"configurator", "train.py", {"--batch_size=8", "--out_dir=ckpt"}},
      {"arguments", "main.py", {"--epochs", "3", "--name", "demo run"}},
      {"flat_modules", "main.py", {}},
      {"exit_status", "check.py", {"strict"}},
  };
  return corpus;
}

// A copy of the project `name` in a fresh directory (so that no run writes into the
// source tree); returns its path inside `dir`.
inline std::string copy_project(const TempDir& dir, const std::string& name) {
  const std::filesystem::path from =
      std::filesystem::path(PELMORA_TEST_DATA_DIR) / "projects" / name;
  const std::filesystem::path to = std::filesystem::path(dir.path()) / name;
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
  return to.string();
}

// The Python 3 the corpus runs with: the system's, else the first on PATH.
inline std::string python3_command() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// "exit N\n" and the standard output of `python3 -B` running `script` with `args` in `cwd`.
inline std::string run_python3(const std::string& cwd, const std::string& script,
                               const std::vector<std::string>& args) {
  std::string command = "cd " + shell_quote(cwd) + " && " + python3_command() + " -B " + shell_quote(script);
  for (const std::string& a : args) command += " " + shell_quote(a);
  const CommandResult r = run_command(command + " 2>/dev/null");
  return "exit " + std::to_string(r.status) + "\n" + r.out;
}

inline bool have_python3() {
  return std::system((python3_command() + " -c pass >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace pelmora::testing
