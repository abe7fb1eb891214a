// pelmora serve: run by the pelmora-service program beside pelmora; --stop stops the service
// of a data directory, and only a pelmora service.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct CommandResult {
  int exit_code = -1;
  std::string out;
};

CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
  const int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(ServeStop, StopsTheRunningServiceAndNothingElse) {
  const fs::path dir = fs::temp_directory_path() / ("pelmora-stop-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);

  // Nothing runs yet: a note, exit 0.
  auto idle = run(std::string(PELMORA_BINARY) + " serve --stop --data-dir " + dir.string());
  EXPECT_EQ(idle.exit_code, 0);
  EXPECT_NE(idle.out.find("No local job service is running"), std::string::npos) << idle.out;

  // A service.json naming a process that is not a pelmora service is left alone.
  pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  {
    std::ofstream(dir / "service.json") << R"({"pid": )" << sleeper << R"(, "url": "http://127.0.0.1:1"})";
  }
  auto other = run(std::string(PELMORA_BINARY) + " serve --stop --data-dir " + dir.string());
  EXPECT_EQ(other.exit_code, 0);
  EXPECT_EQ(::kill(sleeper, 0), 0) << "an unrelated process was signalled";
  ::kill(sleeper, SIGKILL);
  ::waitpid(sleeper, nullptr, 0);
  fs::remove(dir / "service.json");

  pid_t service = ::fork();
  if (service == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execl(PELMORA_BINARY, PELMORA_BINARY, "serve", "--port", "0", "--data-dir",
            dir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 200 && !fs::exists(dir / "service.json"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(dir / "service.json"));

  auto stopped = run(std::string(PELMORA_BINARY) + " serve --stop --data-dir " + dir.string());
  EXPECT_EQ(stopped.exit_code, 0) << stopped.out;
  EXPECT_NE(stopped.out.find("Stopped the local job service"), std::string::npos) << stopped.out;
  int status = 0;
  pid_t reaped = 0;
  for (int i = 0; i < 200 && reaped == 0; ++i) {
    reaped = ::waitpid(service, &status, WNOHANG);
    if (reaped == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (reaped == 0) {
    ::kill(service, SIGKILL);
    ::waitpid(service, &status, 0);
    FAIL() << "the service did not stop";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  fs::remove_all(dir);
}

TEST(ServeProgram, ServeRunsThePelmoraServiceProgramBesideIt) {
  auto help = run(std::string(PELMORA_BINARY) + " serve --help");
  EXPECT_EQ(help.exit_code, 0) << help.out;
  EXPECT_NE(help.out.find("--max-jobs"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("pelmora serve"), std::string::npos) << help.out;

  auto all = run(std::string(PELMORA_BINARY) + " --help");
  EXPECT_EQ(all.exit_code, 0);
  EXPECT_NE(all.out.find("serve"), std::string::npos) << all.out;

  auto usage = run(std::string(PELMORA_BINARY) + " serve --no-such-option");
  EXPECT_EQ(usage.exit_code, 2) << usage.out;

  // A pelmora without its service program says so.
  const fs::path dir = fs::temp_directory_path() / ("pelmora-alone-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(PELMORA_BINARY, dir / "pelmora");
  auto alone = run((dir / "pelmora").string() + " serve --help");
  EXPECT_EQ(alone.exit_code, 1) << alone.out;
  EXPECT_NE(alone.out.find("cannot run the job service program " + (dir / "pelmora-service").string()),
            std::string::npos)
      << alone.out;
  fs::remove_all(dir);
}

}  // namespace
