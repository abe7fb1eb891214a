// Starting programs: failures before exec reach the caller as such, output and deadlines.
#include "agent/platform/subprocess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pelmora {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

SpawnOptions sh(const std::string& script) {
  SpawnOptions options;
  options.argv = {"/bin/sh", "-c", script};
  return options;
}

TEST(Spawn, FailuresBeforeExecAreReportedNotGuessed) {
  SpawnOptions missing;
  missing.argv = {"/nonexistent/program"};
  try {
    spawn(missing);
    FAIL() << "no error";
  } catch (const SpawnError& e) {
    EXPECT_EQ(e.stage, SpawnStage::exec);
    EXPECT_EQ(e.error_code, ENOENT);
    EXPECT_STREQ(e.what(), "cannot run /nonexistent/program: No such file or directory");
  }
  auto nowhere = sh("exit 0");
  nowhere.cwd = "/nonexistent/dir";
  try {
    spawn(nowhere);
    FAIL() << "no error";
  } catch (const SpawnError& e) {
    EXPECT_EQ(e.stage, SpawnStage::chdir);
    EXPECT_THAT(e.what(), StartsWith("cannot enter the directory /nonexistent/dir: "));
  }
  // A control group that refuses the child (here a file that takes no byte).
  auto refused = sh("exit 0");
  refused.join_cgroups = {"/dev/null", "/dev/full"};
  try {
    spawn(refused);
    FAIL() << "no error";
  } catch (const SpawnError& e) {
    EXPECT_EQ(e.stage, SpawnStage::cgroup);
    EXPECT_EQ(e.error_code, ENOSPC);
    EXPECT_THAT(e.what(), StartsWith("cannot join the control group /dev/full: "));
  }
  // A program that runs and exits 127 is not a failure to start.
  Child child = spawn(sh("exit 127"));
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  EXPECT_EQ(WEXITSTATUS(status), 127);
}

TEST(Spawn, SetsUpTheChildAsAsked) {
  auto options = sh("pwd; echo \"$ONLY\"; env | wc -l; ps -o pgid= -p $$ | tr -d ' '; "
                    "cat; echo err >&2");
  options.env = std::vector<std::string>{"ONLY=this", "PATH=/usr/bin:/bin"};
  options.cwd = "/tmp";
  auto result = run_command(options, 10, 1 << 20);
  ASSERT_FALSE(result.timed_out);
  EXPECT_EQ(result.status, 0);
  // The group line is the child's own pid: a group of its own.
  std::istringstream lines(result.out);
  std::string pwd, only, count, pgid, rest;
  std::getline(lines, pwd);
  std::getline(lines, only);
  std::getline(lines, count);
  std::getline(lines, pgid);
  std::getline(lines, rest, '\0');
  EXPECT_EQ(pwd, "/tmp");
  EXPECT_EQ(only, "this");
  EXPECT_LE(std::stoi(count), 3);  // ONLY, PATH and what sh adds (PWD)
  EXPECT_NE(std::stol(pgid), static_cast<long>(getpgrp()));
  EXPECT_EQ(rest, "");  // standard input is /dev/null
  EXPECT_EQ(result.err, "err\n");
}

TEST(Spawn, DetachedChildWritesItsFileAndIsNobodysChild) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("pelmora-spawn-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "log").string();
  auto options = sh("echo out; echo err >&2; echo done > " + (dir / "done").string());
  options.group = ProcessGroup::new_session;
  options.detach = true;
  options.output = ChildOutput::file;
  options.output_file = log;
  EXPECT_EQ(spawn(options).pid, -1);
  for (int i = 0; i < 1000 && !std::filesystem::exists(dir / "done"); ++i) usleep(5000);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // no child left to wait for
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "out\nerr\n");
  std::filesystem::remove_all(dir);
}

TEST(RunCommand, DeadlineKillsTheWholeGroupAndOutputIsCapped) {
  const auto start = std::chrono::steady_clock::now();
  // The background sleeper keeps the pipes open: only killing the group ends the wait.
  auto result = run_command(sh("head -c 100000 /dev/zero; sleep 30 & sleep 30"), 0.3, 1000);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.out.size(), 1000u);
  EXPECT_LT(took, 5.0);

  auto signalled = run_command(sh("kill -TERM $$"), 10, 100);
  EXPECT_FALSE(signalled.timed_out);
  EXPECT_EQ(signalled.status, -SIGTERM);
  EXPECT_THROW(run_command(SpawnOptions{.argv = {"/nonexistent"}}, 1, 100), SpawnError);
}

TEST(FindProgram, LooksOnPathOnlyForBareNames) {
  EXPECT_EQ(find_program("/bin/sh"), "/bin/sh");
  EXPECT_FALSE(find_program("/nonexistent/sh"));
  EXPECT_FALSE(find_program(""));
  auto sh_path = find_program("sh");
  ASSERT_TRUE(sh_path);
  EXPECT_THAT(*sh_path, HasSubstr("/sh"));
  EXPECT_FALSE(find_program("pelmora-surely-not-a-program"));
}

}  // namespace
}  // namespace pelmora
