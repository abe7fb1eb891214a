// The pelmora scan command, run as a program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct CommandResult {
  int status = -1;
  std::string out;
};

CommandResult run_pelmora(const std::string& args) {
  CommandResult r;
  const std::string cmd = std::string(PELMORA_BINARY) + " " + args + " 2>&1 </dev/null";
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(ScanCommand, UsageErrors) {
  for (const char* bad : {"nan", "inf", "-inf", "abc", "12x", "''", "1e999"}) {
    const CommandResult r = run_pelmora(std::string("scan --threshold ") + bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.out.find("--threshold"), std::string::npos) << r.out;
  }
  EXPECT_EQ(run_pelmora("scan --bogus").status, 2);
  const CommandResult help = run_pelmora("scan --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--threshold"), std::string::npos);
}

TEST(ScanCommand, ListsABusyScriptWithItsLabelEscaped) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "/usr/bin/python3 is missing";
  const fs::path dir = fs::temp_directory_path() / ("pelmora-scancmd-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string script = "spin\x1b[2J.py";
  std::ofstream(dir / script) << "import time\nend = time.time() + 30\nwhile time.time() < end:\n    pass\n";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    ::execl("/usr/bin/python3", "python3", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  ::usleep(300000);
  const CommandResult r = run_pelmora("scan --threshold 20");
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  fs::remove_all(dir);

  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "raw escape byte printed";
  EXPECT_NE(r.out.find("PID"), std::string::npos) << r.out;
  const std::string row_start = std::to_string(pid) + "  ";
  const std::size_t row = r.out.find(row_start);
  ASSERT_NE(row, std::string::npos) << r.out;
  const std::string line = r.out.substr(row, r.out.find('\n', row) - row);
  EXPECT_NE(line.find("spin\\x1b[2J.py  " + dir.string() + "/spin\\x1b[2J.py"), std::string::npos)
      << line;
}

TEST(ScanCommand, NothingHeavy) {
  const CommandResult r = run_pelmora("scan --threshold 100000");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no heavy Python processes\n");
}

}  // namespace
