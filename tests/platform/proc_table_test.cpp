// The /proc reader over a copy of the fixture tree in tests/data/proc.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "agent/platform/proc_parse.h"
#include "agent/platform/process_table.h"

namespace pelmora {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

class ManualClock : public Clock {
 public:
  double now = 1000.0;
  double monotonic() override { return now; }
  double wall() override { return now; }
  void sleep(double seconds) override { now += seconds; }
};

class ProcTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("pelmora-proc-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::copy(fs::path(PELMORA_TEST_DATA_DIR) / "proc", root_,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    table_ = make_linux_process_table(root_.string(), clock_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Rewrites field `field` (1-based, as proc(5) counts) of PID/stat.
  void set_stat_field(int pid, int field, std::uint64_t value) {
    const fs::path path = root_ / std::to_string(pid) / "stat";
    std::string text = read_file_bytes(path.string());
    const std::size_t close = text.rfind(')');
    std::string head = text.substr(0, close + 1);
    std::vector<std::string> fields;
    std::string rest = text.substr(close + 2);
    std::size_t pos = 0;
    while (pos < rest.size()) {
      std::size_t end = rest.find_first_of(" \n", pos);
      fields.push_back(rest.substr(pos, end - pos));
      pos = end + 1;
    }
    fields[static_cast<std::size_t>(field - 3)] = std::to_string(value);
    std::string out = head;
    for (const auto& f : fields) out += " " + f;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << out << "\n";
  }

  // pid -> cpu_percent of one full enumeration.
  std::map<int, double> cpu_by_pid() {
    std::map<int, double> cpu;
    table_->for_each_process([&](ProcessHandle& h) { cpu[h.pid()] = h.cpu_percent().value(); });
    return cpu;
  }

  fs::path root_;
  ManualClock clock_;
  std::unique_ptr<ProcessTable> table_;
};

double ticks() { return static_cast<double>(::sysconf(_SC_CLK_TCK)); }
std::uint64_t page() { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

std::string user_of(uid_t uid) {
  const passwd* pw = ::getpwuid(uid);
  return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

TEST_F(ProcTableTest, ListsProcessesByPidWithTheirAttributes) {
  std::vector<int> pids;
  std::map<int, ProcessAttributes> seen;
  table_->for_each_process([&](ProcessHandle& h) {
    pids.push_back(h.pid());
    if (h.pid() != 400) seen[h.pid()] = read_attributes(h);
  });
  EXPECT_EQ(pids, (std::vector<int>{1, 42, 77, 100, 300, 301, 302, 303, 400}));

  const ProcessAttributes& odd = seen.at(42);
  EXPECT_EQ(odd.name, "my (odd) ) name");
  EXPECT_EQ(odd.cmdline, (Args{"python3", "-u", "train.py"}));
  EXPECT_EQ(odd.cpu_percent, 0.0);  // first sample
  EXPECT_EQ(odd.memory_percent,
            (static_cast<double>(25600 * page()) / (2048000.0 * 1024)) * 100.0);
  EXPECT_EQ(odd.username, user_of(0));
  EXPECT_EQ(odd.create_time, 12000.0 / ticks() + 1700000000.0);

  EXPECT_EQ(seen.at(77).name, "python3");  // zombie
  EXPECT_EQ(seen.at(77).cmdline, Args{});
  EXPECT_EQ(seen.at(77).memory_percent, 0.0);
  EXPECT_EQ(seen.at(77).username, user_of(65534));
  EXPECT_EQ(seen.at(100).name, "kworker/0:1-events");
  EXPECT_EQ(seen.at(100).cmdline, Args{});
  EXPECT_EQ(seen.at(300).name, "python3-long-name-tool");
  EXPECT_EQ(seen.at(301).cmdline, (Args{"python3", "serve.py", "--port", "80"}));
  EXPECT_EQ(seen.at(302).cmdline, (Args{"python3", "caf\xe9 \xff.py"}));
}

TEST_F(ProcTableTest, LazyReadsFreshMemoryAndVanishedProcesses) {
  bool checked = false;
  table_->for_each_process([&](ProcessHandle& h) {
    if (h.pid() == 42) {
      EXPECT_EQ(h.cwd(), "/srv/jobs");
      EXPECT_EQ(h.memory_rss(), 25600 * page());
      // memory_rss reads afresh; the other attributes are kept once read.
      std::ofstream(root_ / "42" / "statm", std::ios::trunc) << "90000 100 1 1 0 1 0\n";
      EXPECT_EQ(h.memory_rss(), 100 * page());
      checked = true;
    }
    if (h.pid() == 1) {
      EXPECT_EQ(h.cwd(), std::nullopt);  // no cwd link
    }
    if (h.pid() == 400) {
      // Only its stat was read before it went: the rest finds it gone.
      EXPECT_EQ(h.cpu_percent(), 0.0);
      EXPECT_THROW(h.cmdline(), ProcessGoneError);
      EXPECT_THROW(h.memory_rss(), ProcessGoneError);
    }
  });
  EXPECT_TRUE(checked);
}

TEST_F(ProcTableTest, MemoryPercentIsExactAndTheStatEstimateOnlyRulesOut) {
  // statm holds the exact resident count; the stat line's count may lag behind it.
  std::ofstream(root_ / "42" / "statm", std::ios::trunc) << "3000000 1024000 1 1 0 1 0\n";
  table_->for_each_process([&](ProcessHandle& h) {
    if (h.pid() != 42) return;
    // stat says 5 %: far from 50 even with its largest error, so statm is not needed.
    EXPECT_FALSE(h.memory_percent_reaches(50.0));
    // Near 5 % the exact count decides: 1024000 pages.
    EXPECT_TRUE(h.memory_percent_reaches(5.0));
    EXPECT_EQ(h.memory_percent(),
              (static_cast<double>(1024000 * page()) / (2048000.0 * 1024)) * 100.0);
    EXPECT_TRUE(h.memory_percent_reaches(50.0));
  });
}

TEST_F(ProcTableTest, ReusedPidBetweenListingAndReadIsGone) {
  table_->for_each_process([&](ProcessHandle& h) {
    if (h.pid() != 42) return;
    set_stat_field(42, 22, 99999);  // another process now has pid 42
    EXPECT_THROW(h.cmdline(), ProcessGoneError);
  });
  table_->for_each_process([&](ProcessHandle& h) {
    if (h.pid() != 301) return;
    fs::remove_all(root_ / "301");
    EXPECT_THROW(h.username(), ProcessGoneError);
  });
}

TEST_F(ProcTableTest, CpuSamplesAreKeptPerProcessAndStartTime) {
  EXPECT_EQ(cpu_by_pid().at(42), 0.0);
  // One second of CPU (user 0.5 + system 0.5) over two seconds: 50 percent.
  set_stat_field(42, 14, 1000 + static_cast<std::uint64_t>(ticks() / 2));
  set_stat_field(42, 15, 500 + static_cast<std::uint64_t>(ticks() / 2));
  clock_.now += 2.0;
  auto cpu = cpu_by_pid();
  EXPECT_EQ(cpu.at(42), 50.0);
  EXPECT_EQ(cpu.at(1), 0.0);
  // No time passes: 0.0, not a division by zero.
  EXPECT_EQ(cpu_by_pid().at(42), 0.0);

  // The pid is reused by a process with another start time: a fresh baseline.
  set_stat_field(42, 22, 50000);
  set_stat_field(42, 14, 5000);
  clock_.now += 1.0;
  EXPECT_EQ(cpu_by_pid().at(42), 0.0);
}

// A process with one thread is read again only once its runtime (schedstat) has moved; one
// with more threads, whose other threads the runtime does not count, at every listing.
TEST_F(ProcTableTest, StatIsReadAgainOnlyAfterTheRuntimeMoved) {
  const fs::path stat = root_ / "42" / "stat";
  const auto set_runtime = [&](std::uint64_t ns) {
    std::ofstream(root_ / "42" / "schedstat", std::ios::trunc) << ns << " 0 0\n";
  };
  const auto rename = [&](const std::string& from, const std::string& to) {
    std::string text = read_file_bytes(stat.string());
    text.replace(text.find(from), from.size(), to);
    std::ofstream(stat, std::ios::binary | std::ios::trunc) << text;
  };
  const auto name_and_cpu = [&] {
    std::pair<std::string, double> seen;
    table_->for_each_process([&](ProcessHandle& h) {
      if (h.pid() == 42) seen = {h.name().value(), h.cpu_percent().value()};
    });
    return seen;
  };
  set_runtime(1);
  cpu_by_pid();
  cpu_by_pid();  // the runtime's first reading
  rename("odd", "new");
  EXPECT_EQ(name_and_cpu().first, "my (odd) ) name") << "same runtime: the stat line stands";

  set_runtime(2);
  set_stat_field(42, 14, 1000 + static_cast<std::uint64_t>(ticks()));
  clock_.now += 1.0;
  EXPECT_EQ(name_and_cpu(), std::make_pair(std::string("my (new) ) name"), 100.0));

  set_stat_field(42, 20, 2);  // a second thread
  set_runtime(3);
  name_and_cpu();
  set_stat_field(42, 14, 1000 + 2 * static_cast<std::uint64_t>(ticks()));
  clock_.now += 1.0;
  EXPECT_EQ(name_and_cpu().second, 100.0) << "two threads: read whatever the runtime says";
}

TEST_F(ProcTableTest, PrimingSharesTheSampleMemory) {
  table_->prime();
  set_stat_field(301, 14, static_cast<std::uint64_t>(ticks()));
  clock_.now += 1.0;
  EXPECT_EQ(cpu_by_pid().at(301), 100.0);
}

TEST_F(ProcTableTest, EndedProcessesAreForgotten) {
  cpu_by_pid();
  const fs::path saved = root_.parent_path() / (root_.filename().string() + "-300");
  fs::rename(root_ / "300", saved);
  EXPECT_EQ(cpu_by_pid().count(300), 0u);
  fs::rename(saved, root_ / "300");
  // Same pid and start time as before, but its sample was swept while it was not listed.
  set_stat_field(300, 14, static_cast<std::uint64_t>(ticks()));
  clock_.now += 1.0;
  EXPECT_EQ(cpu_by_pid().at(300), 0.0);
}

TEST_F(ProcTableTest, InterruptedEnumerationKeepsTheSamplesNotReached) {
  cpu_by_pid();
  EXPECT_THROW(table_->for_each_process([](ProcessHandle& h) {
                 if (h.pid() == 42) throw std::runtime_error("stop");
               }),
               std::runtime_error);
  set_stat_field(300, 14, static_cast<std::uint64_t>(ticks()));
  set_stat_field(42, 14, 1000 + static_cast<std::uint64_t>(ticks()));
  clock_.now += 1.0;
  const auto cpu = cpu_by_pid();
  EXPECT_EQ(cpu.at(300), 100.0);
  EXPECT_EQ(cpu.at(42), 100.0);
}

std::string unhex(std::string_view h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out += static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16));
  }
  return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = s.find(sep, start)) != std::string::npos; start = at + 1) {
    parts.push_back(s.substr(start, at - start));
  }
  parts.push_back(s.substr(start));
  return parts;
}

// Against tests/data/proc/psutil_golden.txt, written by tests/oracle/psutil_proc_golden.py.
TEST_F(ProcTableTest, SameValuesAsPsutilOnTheFixtureTree) {
  if (ticks() != 100.0 || page() != 4096) {
    GTEST_SKIP() << "the golden file was made with CLK_TCK 100 and 4096-byte pages";
  }
  std::map<int, std::pair<ProcessAttributes, std::uint64_t>> ours;
  table_->for_each_process([&](ProcessHandle& h) {
    try {
      ours[h.pid()] = {read_attributes(h), h.memory_rss()};
    } catch (const ProcessGoneError&) {
    }
  });
  std::istringstream golden(read_file_bytes(root_.string() + "/psutil_golden.txt"));
  std::string line;
  std::size_t lines = 0;
  while (std::getline(golden, line)) {
    ++lines;
    const auto f = split(line, '\t');
    ASSERT_EQ(f.size(), 7u) << line;
    const int pid = std::stoi(f[0]);
    SCOPED_TRACE("pid " + f[0]);
    ASSERT_TRUE(ours.count(pid));
    const auto& [a, rss] = ours.at(pid);
    EXPECT_EQ(a.name, unhex(f[1].substr(1)));
    const std::size_t colon = f[2].find(':');
    Args args;
    if (std::stoi(f[2].substr(0, colon)) > 0) {
      for (const auto& arg : split(f[2].substr(colon + 1), ',')) args.push_back(unhex(arg));
    }
    EXPECT_EQ(a.cmdline, args);
    EXPECT_EQ(a.memory_percent, std::strtod(f[3].c_str(), nullptr));
    if (user_of(0) == "root" && user_of(65534) == "nobody") {
      EXPECT_EQ(a.username, unhex(f[4].substr(1)));
    }
    EXPECT_EQ(a.create_time, std::strtod(f[5].c_str(), nullptr));
    EXPECT_EQ(rss, std::stoull(f[6]));
  }
  // psutil, like the table, finds pid 400 gone (its files went while it was read).
  EXPECT_EQ(lines, ours.size());
  EXPECT_EQ(ours.count(400), 0u);
}

TEST(ProcTable, MissingRootIsAnError) {
  auto table = make_linux_process_table("/nonexistent/proc");
  EXPECT_THROW(table->for_each_process([](ProcessHandle&) {}), FileError);
  EXPECT_THROW(table->prime(), FileError);
  EXPECT_EQ(table->own_pid(), ::getpid());
}

}  // namespace
}  // namespace pelmora
