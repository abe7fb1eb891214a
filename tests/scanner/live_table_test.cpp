// The live /proc reader against psutil (Debian's python3-psutil at /usr/bin/python3), and
// the scanner on a real Python process started in another directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent/platform/process_table.h"
#include "agent/scanner/process_scanner.h"

namespace pelmora {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPython = "/usr/bin/python3";

// Primes psutil's CPU samples, says "ready", waits a second, then prints one line per
// process: pid, name, cmdline, cpu_percent, memory_percent, username, create_time, rss.
// Text is given as the hex of its bytes; floats by repr, which reads back exactly.
constexpr const char* kPsutilScript = R"PY(
import os, sys, time, psutil
attrs = ['pid', 'name', 'cmdline', 'cpu_percent', 'memory_percent', 'username', 'create_time']
for p in psutil.process_iter():
    try:
        p.cpu_percent(None)
    except psutil.Error:
        pass
print('ready', flush=True)
time.sleep(1.0)
def h(s):
    return '-' if s is None else 'x' + os.fsencode(s).hex()
lines = []
for p in psutil.process_iter(attrs):
    i = p.info
    try:
        rss = p.memory_info().rss
    except psutil.Error:
        rss = -1
    cmd = '-' if i['cmdline'] is None else '%d:%s' % (
        len(i['cmdline']), ','.join(os.fsencode(a).hex() for a in i['cmdline']))
    lines.append('\t'.join([str(i['pid']), h(i['name']), cmd, repr(i['cpu_percent']),
                            repr(i['memory_percent']), h(i['username']),
                            repr(i['create_time']), str(rss)]))
print('\n'.join(lines))
print('end', flush=True)
)PY";

struct Seen {
  ProcessAttributes attrs;
  std::int64_t rss = -1;
};

std::string hex_text(const std::string& s) {
  std::string out = "x";
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const unsigned char c : s) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

std::string unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!s.empty() && s.back() == sep) parts.emplace_back();
  return parts;
}

Seen parse_psutil_line(const std::string& line) {
  const auto f = split(line, '\t');
  EXPECT_EQ(f.size(), 8u) << line;
  Seen s;
  if (f.size() != 8) return s;
  s.attrs.pid = std::stoi(f[0]);
  if (f[1] != "-") s.attrs.name = unhex(f[1].substr(1));
  if (f[2] != "-") {
    const std::size_t colon = f[2].find(':');
    const int count = std::stoi(f[2].substr(0, colon));
    std::vector<std::string> args;
    if (count > 0) {
      for (const auto& a : split(f[2].substr(colon + 1), ',')) args.push_back(unhex(a));
      args.resize(static_cast<std::size_t>(count));
    }
    s.attrs.cmdline = args;
  }
  if (f[3] != "None") s.attrs.cpu_percent = std::strtod(f[3].c_str(), nullptr);
  if (f[4] != "None") s.attrs.memory_percent = std::strtod(f[4].c_str(), nullptr);
  if (f[5] != "-") s.attrs.username = unhex(f[5].substr(1));
  if (f[6] != "None") s.attrs.create_time = std::strtod(f[6].c_str(), nullptr);
  s.rss = std::stoll(f[7]);
  return s;
}

std::map<int, Seen> read_all(ProcessTable& table) {
  std::map<int, Seen> seen;
  table.for_each_process([&](ProcessHandle& h) {
    try {
      Seen s;
      s.attrs = read_attributes(h);
      s.rss = static_cast<std::int64_t>(h.memory_rss());
      seen[h.pid()] = s;
    } catch (const ProcessGoneError&) {
    }
  });
  return seen;
}

bool same_except_cpu(ProcessAttributes a, ProcessAttributes b) {
  a.cpu_percent.reset();
  b.cpu_percent.reset();
  return a == b;
}

bool psutil_available() {
  return ::access(kPython, X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import psutil' >/dev/null 2>&1") == 0;
}

constexpr const char* kBusyScript =
    "import time\nend = time.time() + 60\nwhile time.time() < end:\n    pass\n";

// A busy "python3 busy.py" running in a directory of its own; killed on destruction.
class BusyPython {
 public:
  explicit BusyPython(const char* code = kBusyScript) {
    dir_ = fs::temp_directory_path() / ("pelmora-live-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "busy.py") << code;
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir_.c_str()) != 0) ::_exit(127);
      ::execl(kPython, "python3", "busy.py", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~BusyPython() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }
  pid_t pid() const { return pid_; }
  std::string script() const { return (dir_ / "busy.py").string(); }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

TEST(ProcLive, SameValuesAsPsutil) {
  if (!psutil_available()) GTEST_SKIP() << "psutil for /usr/bin/python3 is not installed";
  BusyPython busy;
  ASSERT_GT(busy.pid(), 0);
  ::usleep(300000);  // let it exec and start spinning

  const std::string cmd = std::string(kPython) + " -c \"$PELMORA_PSUTIL_SCRIPT\"";
  ::setenv("PELMORA_PSUTIL_SCRIPT", kPsutilScript, 1);
  FILE* pipe = ::popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buf[1 << 16];
  ASSERT_NE(std::fgets(buf, sizeof buf, pipe), nullptr);
  ASSERT_STREQ(buf, "ready\n");

  auto table = make_linux_process_table();
  const auto before = read_all(*table);  // also the priming pass
  ::usleep(1000000);
  const auto during = read_all(*table);
  std::map<int, Seen> theirs;
  bool ended = false;
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line == "end") {
      ended = true;
      break;
    }
    const Seen s = parse_psutil_line(line);
    theirs[s.attrs.pid] = s;
  }
  ::pclose(pipe);
  ASSERT_TRUE(ended);
  const auto after = read_all(*table);

  // Compare the processes that all four reads saw unchanged (apart from CPU).
  int compared = 0;
  for (const auto& [pid, ours] : during) {
    const auto t = theirs.find(pid);
    const auto b = before.find(pid);
    const auto a = after.find(pid);
    if (t == theirs.end() || b == before.end() || a == after.end()) continue;
    if (!same_except_cpu(b->second.attrs, ours.attrs) ||
        !same_except_cpu(a->second.attrs, ours.attrs) || b->second.rss != ours.rss ||
        a->second.rss != ours.rss) {
      continue;
    }
    // A kernel worker's name follows the work it runs at the moment.
    if (ours.attrs.name && ours.attrs.name->rfind("kworker/", 0) == 0) continue;
    ++compared;
    SCOPED_TRACE("pid " + std::to_string(pid) + " " +
                 hex_text(ours.attrs.name.value_or("?")));
    EXPECT_TRUE(same_except_cpu(ours.attrs, t->second.attrs));
    EXPECT_EQ(ours.attrs.name, t->second.attrs.name);
    EXPECT_EQ(ours.attrs.cmdline, t->second.attrs.cmdline);
    EXPECT_EQ(ours.attrs.memory_percent, t->second.attrs.memory_percent);
    EXPECT_EQ(ours.attrs.username, t->second.attrs.username);
    EXPECT_EQ(ours.attrs.create_time, t->second.attrs.create_time);
    EXPECT_EQ(ours.rss, t->second.rss);
    ASSERT_TRUE(ours.attrs.cpu_percent && t->second.attrs.cpu_percent);
    // The two samples cover nearly the same second.
    EXPECT_NEAR(*ours.attrs.cpu_percent, *t->second.attrs.cpu_percent, 25.0);
  }
  EXPECT_GE(compared, 3);
  ASSERT_TRUE(during.count(busy.pid()));
  EXPECT_GT(*during.at(busy.pid()).attrs.cpu_percent, 20.0);
  EXPECT_GT(*theirs.at(busy.pid()).attrs.cpu_percent, 20.0);
}

TEST(ProcLive, ScannerFindsABusyScriptInItsOwnDirectory) {
  BusyPython busy;
  ASSERT_GT(busy.pid(), 0);
  auto table = make_linux_process_table();
  ProcessScanner scanner(20.0, 20.0, *table);
  table->prime();
  // Each scan measures the CPU used since the one before. On a loaded machine the busy
  // script may get too little of a core in one interval: scan again, for up to 10 s.
  std::vector<ProcessInfo> heavy;
  const ProcessInfo* found = nullptr;
  for (int attempt = 0; attempt < 20 && found == nullptr; ++attempt) {
    ::usleep(500000);
    heavy = scanner.scan();
    for (const auto& p : heavy) {
      if (p.pid == busy.pid()) found = &p;
    }
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->cmdline, (std::vector<std::string>{"python3", "busy.py"}));
  EXPECT_EQ(found->script_path, busy.script());  // not the agent's working directory
  EXPECT_EQ(found->short_cmd(), "busy.py");
  EXPECT_GT(found->memory_mb, 1.0);
  EXPECT_GT(found->create_time, 1.0e9);
  EXPECT_FALSE(found->username.empty());
  for (const auto& p : heavy) EXPECT_NE(p.pid, ::getpid());
}

// The table skips the stat line of a one-thread process whose runtime has not moved; a
// process that starts a busy thread and then only waits for it must still be seen.
TEST(ProcLive, ScannerSeesTheBusyThreadOfAWaitingProcess) {
  BusyPython waiting(
      "import threading, time\n"
      "time.sleep(1.5)\n"
      "def spin():\n"
      "    end = time.time() + 60\n"
      "    while time.time() < end:\n"
      "        pass\n"
      "t = threading.Thread(target=spin)\n"
      "t.start()\n"
      "t.join()\n");
  ASSERT_GT(waiting.pid(), 0);
  auto table = make_linux_process_table();
  ProcessScanner scanner(20.0, 20.0, *table);
  for (int i = 0; i < 3; ++i) {  // listed, then its runtime read, while it has one thread
    table->prime();
    ::usleep(300000);
  }
  ::usleep(1500000);
  table->prime();  // the listing that sees the runtime moved by starting the thread
  bool found = false;
  for (int attempt = 0; attempt < 20 && !found; ++attempt) {
    ::usleep(500000);
    for (const auto& p : scanner.scan()) found = found || p.pid == waiting.pid();
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace pelmora
