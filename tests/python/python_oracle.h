#pragma once
// Test helpers: CPython 3.13 as the oracle, temporary directories, UTF-8 building.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "agent/platform/utf8.h"

namespace pelmora::testing {

// The shell command that runs CPython 3.13, or nullopt when it is not installed.
inline const std::optional<std::string>& python313() {
  static const std::optional<std::string> cmd = []() -> std::optional<std::string> {
    const std::string candidate = "PYENV_VERSION=3.13.0 python3.13";
    const std::string probe =
        candidate + " -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1";
    if (std::system(probe.c_str()) == 0) return candidate;
    return std::nullopt;
  }();
  return cmd;
}

inline constexpr const char* kNoPython =
    "CPython 3.13 (PYENV_VERSION=3.13.0 python3.13) not found; the live comparison needs it";

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out;
};

// Runs `command` with /bin/sh, standard output captured.
inline CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[1 << 16];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
  const int raw = ::pclose(pipe);
  if (raw != -1 && WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  return result;
}

// The directory of CPython 3.13's standard library as the interpreter reports it, asked
// once; nullopt when CPython 3.13 is missing or its library has no os.py.
inline const std::optional<std::string>& cpython_stdlib() {
  static const std::optional<std::string> dir = []() -> std::optional<std::string> {
    if (!python313()) return std::nullopt;
    CommandResult r = run_command(
        *python313() + " -c 'import sysconfig; print(sysconfig.get_path(\"stdlib\"))' 2>/dev/null");
    while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == '\r')) r.out.pop_back();
    if (r.status != 0 || r.out.empty()) return std::nullopt;
    if (!std::filesystem::is_regular_file(std::filesystem::path(r.out) / "os.py")) return std::nullopt;
    return r.out;
  }();
  return dir;
}

inline constexpr const char* kNoStdlib =
    "CPython 3.13's standard library not found (PYENV_VERSION=3.13.0 python3.13 -c 'import "
    "sysconfig; print(sysconfig.get_path(\"stdlib\"))' gave no directory with os.py)";

// Single-quoted for /bin/sh.
inline std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes `bytes` to the relative path `name`, creating directories on the way; returns
  // the file's path.
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path p = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    f << bytes;
    return p.string();
  }

 private:
  std::string path_;
};

inline std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline std::string utf8(char32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

}  // namespace pelmora::testing
