// The built `pelmora serve` as a separate process: kill -9 and restart, stopping on SIGTERM,
// the command's own refusals, ensure_local_service, and the cancel and jobs commands.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::TempDir;
using testing::all_entries;
using testing::await_service;
using testing::body_of;
using testing::raw_get;
using testing::raw_post;
using testing::start_serve;
using testing::submit_raw;
using testing::wait_exit;
using testing::wait_for_end;
using ::testing::HasSubstr;

struct CommandResult {
  int exit_code;
  std::string out;
};

CommandResult run_command(const std::string& args) {
  std::string command = std::string(PELMORA_BINARY) + " " + args + " 2>&1";
  CommandResult result{0, ""};
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class ServeProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  }
  TempDir dir;
};

TEST_F(ServeProcess, KilledServiceRestartsAndAnswersForEveryJob) {
  std::string data = dir.path() + "/data";
  pid_t pid = start_serve(data, {"--max-jobs", "1"});
  LocalService s = await_service(data, pid);
  std::string done = submit_raw(s.url, s.api_key, "print('kept')\n");
  EXPECT_EQ(wait_for_end(s.url, s.api_key, done)["status"], "completed");
  const std::string marker = "pelmora-restart-" + std::to_string(getpid());
  std::string running = submit_raw(s.url, s.api_key,
                                   testing::marked_child_code(marker) +
                                       "import time\nprint('up', flush=True)\ntime.sleep(60)\n");
  std::string queued = submit_raw(s.url, s.api_key, "print('ran after the restart')\n");
  for (int i = 0; i < 500 && all_entries(s.url, s.api_key, running).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::count_processes(marker), 1);
  EXPECT_EQ(body_of(raw_get(s.url, "/v1/jobs/" + queued, s.api_key))["status"], "queued");

  kill(pid, SIGKILL);
  EXPECT_EQ(wait_exit(pid), 128 + SIGKILL);
  pid = start_serve(data, {"--max-jobs", "1"});
  s = await_service(data, pid);

  json doc = wait_for_end(s.url, s.api_key, running);
  EXPECT_EQ(doc["status"], "failed");
  EXPECT_THAT(doc["error"].get<std::string>(), HasSubstr("restarted"));
  for (int i = 0; i < 300 && testing::count_processes(marker) > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::count_processes(marker), 0);
  auto kept = all_entries(s.url, s.api_key, done);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0]["content"], "kept\n");
  EXPECT_EQ(wait_for_end(s.url, s.api_key, queued)["status"], "completed");
  EXPECT_EQ(all_entries(s.url, s.api_key, queued)[0]["content"], "ran after the restart\n");

  // SIGTERM: a clean stop, exit status 0; a job still running is recorded as failed.
  std::string cut = submit_raw(s.url, s.api_key, "import time\nprint('x')\ntime.sleep(60)\n");
  for (int i = 0; i < 500 && all_entries(s.url, s.api_key, cut).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
  pid = start_serve(data);
  s = await_service(data, pid);
  doc = wait_for_end(s.url, s.api_key, cut);
  EXPECT_EQ(doc["status"], "failed");
  EXPECT_THAT(doc["error"].get<std::string>(), HasSubstr("stopped"));

  // The host commands against it.
  std::string creds = " --api-url " + s.url + " --api-key " + s.api_key;
  auto listed = run_command("jobs" + creds);
  EXPECT_EQ(listed.exit_code, 0) << listed.out;
  EXPECT_THAT(listed.out, HasSubstr(done));
  EXPECT_THAT(listed.out, HasSubstr("completed"));
  EXPECT_EQ(listed.out.find(s.api_key), std::string::npos);
  std::string sleeper = submit_raw(s.url, s.api_key, "import time\ntime.sleep(60)\n");
  auto cancelled = run_command("cancel " + sleeper + creds);
  EXPECT_EQ(cancelled.exit_code, 0) << cancelled.out;
  EXPECT_EQ(wait_for_end(s.url, s.api_key, sleeper)["status"], "cancelled");
  auto again = run_command("cancel " + sleeper + creds);
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_THAT(again.out, HasSubstr("already ended"));
  auto unknown = run_command("cancel job-0000" + creds);
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_THAT(unknown.out, HasSubstr("no such job"));

  // A second service on the same data directory refuses to start.
  auto second = run_command("serve --port 0 --data-dir " + data);
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_THAT(second.out, HasSubstr("already running"));

  kill(pid, SIGINT);
  EXPECT_EQ(wait_exit(pid), 0);
  // The request log never holds the key.
  std::ifstream log(data + ".log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_THAT(text, HasSubstr("POST /v1/jobs/submit/code 200"));
  EXPECT_EQ(text.find(s.api_key), std::string::npos);
}

// Followers through a restart on the same port and data directory (SIGTERM, then a new
// service): one follows a job that the stop ends, one a job that waits in the queue and runs
// after the restart. Each prints every line once and exits with its job's status.
TEST_F(ServeProcess, FollowersGoOnAfterARestartWithEveryLineOnce) {
  std::string data = dir.path() + "/data";
  pid_t pid = start_serve(data, {"--max-jobs", "1"});
  LocalService s = await_service(data, pid);
  const int port = testing::port_of(s.url);
  const std::string lines = "for i in range(5):\n    print(f'line {i}', flush=True)\n";
  std::string running = submit_raw(s.url, s.api_key, lines + "import time\ntime.sleep(600)\n");
  std::string queued = submit_raw(s.url, s.api_key, lines);
  auto follow = [&](const std::string& id) {
    std::string command = "PELMORA_API_KEY=" + s.api_key + " timeout 150 " + PELMORA_BINARY +
                          " logs " + id + " --follow --api-url " + s.url + " 2>" + dir.path() +
                          "/" + id + ".err";
    return std::async(std::launch::async, [command] {
      CommandResult result{0, ""};
      FILE* pipe = popen(command.c_str(), "r");
      char buffer[4096];
      size_t n;
      while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
      int status = pclose(pipe);
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    });
  };
  auto first = follow(running);
  auto second = follow(queued);
  for (int i = 0; i < 1000 && all_entries(s.url, s.api_key, running).size() < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(all_entries(s.url, s.api_key, running).size(), 5u);

  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
  pid = start_serve(data, {"--max-jobs", "1"}, "", port);
  s = await_service(data, pid);

  const std::string expected = "line 0\nline 1\nline 2\nline 3\nline 4\n";
  CommandResult ended = first.get();
  EXPECT_EQ(ended.out, expected);
  EXPECT_EQ(ended.exit_code, 3);  // failed: the service stopped while it ran
  std::ifstream err(dir.path() + "/" + running + ".err");
  std::string why((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_THAT(why, HasSubstr("the service stopped while the job was running"));
  CommandResult after = second.get();
  EXPECT_EQ(after.out, expected);
  EXPECT_EQ(after.exit_code, 0);
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(pid), 0);
}

TEST_F(ServeProcess, CommandLineRefusals) {
  auto help = run_command("serve --help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("--allow-remote"));
  EXPECT_THAT(help.out, HasSubstr("--keep-days"));
  EXPECT_EQ(run_command("serve --keep-days 0 --data-dir " + dir.path() + "/d").exit_code, 2);
  for (const char* bad : {"--keep-days nan", "--keep-days inf", "--cancel-grace nan", "--slurm-poll nan",
                          "--add-key --credits nan"}) {
    EXPECT_EQ(run_command(std::string("serve ") + bad + " --data-dir " + dir.path() + "/d").exit_code, 2)
        << bad;
  }
  auto remote = run_command("serve --host 0.0.0.0 --data-dir " + dir.path() + "/d");
  EXPECT_EQ(remote.exit_code, 1);
  EXPECT_THAT(remote.out, HasSubstr("--allow-remote"));
  EXPECT_EQ(run_command("serve --port 70000").exit_code, 2);
  EXPECT_EQ(run_command("serve --max-body lots --data-dir " + dir.path() + "/d").exit_code, 1);
  EXPECT_EQ(run_command("cancel").exit_code, 2);
  EXPECT_EQ(run_command("jobs --help").exit_code, 0);
  auto added = run_command("serve --add-key --key-name ci --data-dir " + dir.path() + "/d");
  EXPECT_EQ(added.exit_code, 0);
  EXPECT_THAT(added.out, HasSubstr("pmk_"));
  EXPECT_EQ(read_keys(keys_file(dir.path() + "/d")).back().name, "ci");
}

TEST_F(ServeProcess, EnsureLocalServiceStartsOneAndReusesIt) {
  EnsureOptions options;
  options.data_dir = dir.path() + "/auto";
  options.pelmora_binary = PELMORA_BINARY;
  options.port = 0;
  options.python = testing::test_python();
  LocalService first = ensure_local_service(options);
  EXPECT_TRUE(local_service_answers(first.url, first.api_key));
  LocalService second = ensure_local_service(options);
  EXPECT_EQ(second.url, first.url);
  EXPECT_EQ(second.api_key, first.api_key);
  std::ifstream info(service_info_file(options.data_dir));
  json doc = json::parse(info);
  pid_t pid = static_cast<pid_t>(doc["pid"].get<long>());
  ASSERT_GT(pid, 0);
  kill(pid, SIGTERM);
  for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(kill(pid, 0), 0);
}

}  // namespace
}  // namespace pelmora::service
