#include "agent/scanner/process_scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "agent/platform/files.h"
#include "tests/fakes/fake_process_table.h"

namespace pelmora {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using testing::FakeProcess;
using testing::FakeProcessTable;

// A heavy Python process with every attribute readable.
FakeProcess python_proc(int pid, double cpu = 90.0, double mem = 1.0) {
  FakeProcess p;
  p.pid = pid;
  p.name = "python3";
  p.cmdline = Args{"python3", "-c", "pass"};
  p.cpu_percent = cpu;
  p.memory_percent = mem;
  p.username = "alice";
  p.create_time = 1700000123.5;
  p.cwd = "/nonexistent";
  p.rss = 3 * 1048576 + 524288;
  return p;
}

std::vector<int> pids_of(const std::vector<ProcessInfo>& infos) {
  std::vector<int> pids;
  for (const auto& i : infos) pids.push_back(i.pid);
  return pids;
}

// A directory with script files in it, removed at the end.
class ScriptDir {
 public:
  ScriptDir() {
    path_ = fs::temp_directory_path() / ("pelmora-scan-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(counter_++));
    fs::create_directories(path_ / "sub");
  }
  ~ScriptDir() { fs::remove_all(path_); }
  std::string add(const std::string& rel) {
    std::ofstream(path_ / rel) << "print(1)\n";
    return (path_ / rel).string();
  }
  std::string str() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

TEST(ProcessScanner, ThresholdsAndFixedValues) {
  FakeProcessTable table;
  table.own = 4242;
  ProcessScanner scanner(50, 60.5, table);
  EXPECT_EQ(scanner.cpu_threshold, 50.0);
  EXPECT_EQ(scanner.mem_threshold, 60.5);
  EXPECT_EQ(scanner._own_pid, 4242);
  ProcessScanner defaults(85.0, 85.0, table);
  EXPECT_EQ(defaults.cpu_threshold, 85.0);
  EXPECT_THROW(ProcessScanner(std::nan(""), 85.0, table), std::invalid_argument);
}

TEST(ProcessScanner, SkipsPidZeroOneAndOwn) {
  FakeProcessTable table({python_proc(0), python_proc(1), python_proc(4242), python_proc(7)});
  table.own = 4242;
  ProcessScanner scanner(85.0, 85.0, table);
  EXPECT_EQ(pids_of(scanner.scan()), std::vector<int>{7});
}

TEST(ProcessScanner, ValuesAtTheThresholdAreHeavy) {
  FakeProcessTable table({
      python_proc(10, 85.0, 0.0),   // CPU equal to its threshold
      python_proc(11, 84.9, 84.9),  // both just under
      python_proc(12, 0.0, 85.0),   // memory equal to its threshold
      python_proc(13, 200.0, 0.0),  // several cores
  });
  ProcessScanner scanner(85.0, 85.0, table);
  EXPECT_EQ(pids_of(scanner.scan()), (std::vector<int>{10, 12, 13}));
}

TEST(ProcessScanner, AbsentAttributesTakeTheirDefaults) {
  FakeProcess no_cpu = python_proc(20);
  no_cpu.cpu_percent.reset();
  no_cpu.memory_percent = 90.0;
  no_cpu.username.reset();
  no_cpu.create_time.reset();
  no_cpu.cmdline.reset();
  no_cpu.rss.reset();  // ended before its memory was read
  FakeProcess only_pid;
  only_pid.pid = 21;
  FakeProcess no_name = python_proc(22);
  no_name.name.reset();
  no_name.cmdline = Args{"/usr/bin/python3.12", "x"};
  FakeProcessTable table({no_cpu, only_pid, no_name});
  ProcessScanner scanner(85.0, 85.0, table);
  const auto heavy = scanner.scan();
  ASSERT_EQ(pids_of(heavy), (std::vector<int>{20, 22}));

  ProcessInfo expected;
  expected.pid = 20;
  expected.name = "python3";
  expected.cpu_percent = 0.0;
  expected.memory_percent = 90.0;
  EXPECT_EQ(heavy[0], expected);
  EXPECT_EQ(heavy[1].name, std::nullopt);
  EXPECT_EQ(heavy[1].memory_mb, 3.5);
  EXPECT_EQ(heavy[1].username, "alice");
  EXPECT_EQ(heavy[1].create_time, 1700000123.5);
}

TEST(ProcessScanner, OrderAndProcessesThatFail) {
  FakeProcess gone = python_proc(300);
  gone.gone = true;
  FakeProcessTable table({python_proc(4100), python_proc(230), gone, python_proc(231, 1.0, 1.0)});
  ProcessScanner scanner(85.0, 85.0, table);
  EXPECT_EQ(pids_of(scanner.scan()), (std::vector<int>{230, 4100}));
  table.processes.clear();
  EXPECT_TRUE(scanner.scan().empty());
  table.unreadable = true;
  EXPECT_THROW(scanner.scan(), FileError);
}

TEST(ProcessScanner, ReadsCostlyAttributesOnlyForHeavyProcesses) {
  FakeProcess light = python_proc(50, 1.0, 1.0);
  FakeProcess heavy_named = python_proc(51);
  FakeProcess heavy_other = python_proc(52);
  heavy_other.name = "node";
  heavy_other.cmdline = Args{"node", "python.js"};
  FakeProcessTable table({light, heavy_named, heavy_other});
  ProcessScanner scanner(85.0, 85.0, table);
  EXPECT_EQ(pids_of(scanner.scan()), std::vector<int>{51});
  // Thresholds for all three; the name for the two heavy ones; the command line only to
  // decide for "node" and to report the Python one.
  EXPECT_EQ(table.reads["cpu_percent"], 3);
  EXPECT_EQ(table.reads["name"], 2);
  EXPECT_EQ(table.reads["cmdline"], 2);
  EXPECT_EQ(table.reads["username"], 1);
  EXPECT_EQ(table.reads["cwd"], 0);  // no argument could be a relative script
  EXPECT_EQ(table.reads["memory_rss"], 1);
}

TEST(ProcessScanner, IsPythonProcess) {
  auto info = [](std::optional<std::string> name, std::optional<Args> cmdline) {
    ProcessAttributes a;
    a.pid = 5;
    a.name = std::move(name);
    a.cmdline = std::move(cmdline);
    return a;
  };
  EXPECT_TRUE(ProcessScanner::_is_python_process(info("ipython", std::nullopt)));
  EXPECT_TRUE(ProcessScanner::_is_python_process(info("PythonW.exe", Args{})));
  EXPECT_TRUE(ProcessScanner::_is_python_process(info("python3.12", Args{})));
  EXPECT_FALSE(ProcessScanner::_is_python_process(info("bash", Args{"bash", "run_python.sh"})));
  EXPECT_TRUE(ProcessScanner::_is_python_process(
      info("node", Args{"/opt/Python/bin/node", "x.js"})));
  EXPECT_FALSE(ProcessScanner::_is_python_process(info("node", Args{"", "python"})));
  EXPECT_FALSE(ProcessScanner::_is_python_process(info(std::nullopt, std::nullopt)));
  EXPECT_FALSE(ProcessScanner::_is_python_process(info("", Args{})));
  EXPECT_FALSE(ProcessScanner::_is_python_process(info("pyth\xffon", Args{"\xff"})));
}

TEST(ResolveScript, RelativeArgumentsAgainstTheProcessDirectory) {
  ScriptDir dir;
  const std::string train = dir.add("train.py");
  dir.add("sub/real.py");
  dir.add("notes.PY");
  const auto& cwd = std::optional<std::string>(dir.str());
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "-u", "train.py"}, cwd), train);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "./sub/../train.py"}, cwd), train);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "missing.py", "sub/real.py"}, cwd),
            dir.str() + "/sub/real.py");
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "notes.PY"}, cwd), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "-m", "pkg.main"}, cwd), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "-c", "import x; x.py"}, cwd), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "-", "-train.py"}, cwd), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "", "sub"}, cwd), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({}, cwd), std::nullopt);
  // A directory named like a script is not a script.
  fs::create_directories(dir.str() + "/pkg.py");
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "pkg.py", "train.py"}, cwd), train);
  // Unknown working directory: only absolute arguments qualify, and they are normalised.
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", "train.py"}, std::nullopt), std::nullopt);
  EXPECT_EQ(ProcessScanner::_resolve_script({"python", dir.str() + "//sub/./../train.py"},
                                            std::nullopt),
            train);
}

TEST(ResolveScript, AgentDirectoryByDefault) {
  ScriptDir dir;
  const std::string script = dir.add("here.py");
  const std::string before = current_dir();
  ASSERT_EQ(::chdir(dir.str().c_str()), 0);
  const auto found = ProcessScanner::_resolve_script({"python3", "here.py"});
  ASSERT_EQ(::chdir(before.c_str()), 0);
  EXPECT_EQ(found, script);
}

TEST(ProcessScanner, ScriptResolvedInTheWatchedProcessDirectory) {
  ScriptDir dir;
  const std::string script = dir.add("job.py");
  FakeProcess p = python_proc(60);
  p.cmdline = Args{"python3", "job.py"};
  p.cwd = dir.str();
  FakeProcess unknown_cwd = p;
  unknown_cwd.pid = 61;
  unknown_cwd.cwd.reset();
  FakeProcessTable table({p, unknown_cwd});
  ProcessScanner scanner(85.0, 85.0, table);
  const auto heavy = scanner.scan();
  ASSERT_EQ(heavy.size(), 2u);
  EXPECT_EQ(heavy[0].script_path, script);
  EXPECT_EQ(heavy[0].short_cmd(), "job.py");
  EXPECT_EQ(heavy[1].script_path, std::nullopt);
  EXPECT_EQ(heavy[1].short_cmd(), "python3 job.py");
  // Two scans of an unchanged process give equal records.
  EXPECT_EQ(scanner.scan(), heavy);
}

}  // namespace
}  // namespace pelmora
