// Jobs run as local processes (python3), end to end through the service over loopback: exact
// output, exit codes, cancellation of the whole process group, limits, a clean environment.
#include <fstream>
#include <set>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/client/client.h"
#include "agent/client/errors.h"
#include "agent/platform/files.h"
#include "service/util.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::TempDir;
using testing::RunningService;
using testing::all_entries;
using testing::body_of;
using testing::raw_get;
using testing::raw_post;
using testing::submit_raw;
using testing::wait_for_end;
using ::testing::HasSubstr;

class LocalRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  }
  ServiceOptions options(int max_jobs = 2) {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = max_jobs;
    o.cancel_grace = 0.5;
    return o;
  }
  SubmitOptions submit_options(const RunningService& s) {
    SubmitOptions o;
    o.api_key = s.key();
    o.api_url = s.url();
    return o;
  }
  PollOptions poll_options(const RunningService& s, std::ostream& out) {
    PollOptions o;
    o.api_key = s.key();
    o.api_url = s.url();
    o.poll_interval = 0.05;
    o.out = &out;
    return o;
  }
  TempDir dir;
};

TEST_F(LocalRunnerTest, ScriptWithLocalModulesRunsToCompletedWithExactOutput) {
  RunningService service(options());
  std::string project = dir.path() + "/project";
  std::filesystem::create_directories(project);
  std::ofstream(project + "/helper.py") << "def double(x):\n    return 2 * x\n";
  std::string script =
      "import sys\nimport helper\nprint('start')\nprint(helper.double(21))\n"
      "sys.stderr.write('warn\\n')\nsys.stdout.write('tail-no-newline')\n";
  std::ofstream(project + "/train.py") << script;

  auto options = submit_options(service);
  options.file_path = project + "/train.py";
  json answer = submit_code(script, options);
  ASSERT_TRUE(answer.is_object());
  std::string id = answer["job_id"];
  EXPECT_TRUE(is_job_id(id));
  EXPECT_EQ(answer["status"], "queued");
  EXPECT_EQ(answer["file_path"], project + "/train.py");
  EXPECT_EQ(answer["resources"], json::object());

  std::ostringstream out;
  json done = poll_job(id, poll_options(service, out));
  EXPECT_EQ(done["status"], "completed");
  EXPECT_EQ(done["exit_code"], 0);
  EXPECT_TRUE(done["error"].is_null());
  for (const char* member : {"created_at", "started_at", "finished_at"}) {
    EXPECT_TRUE(done[member].is_string()) << member;
  }
  EXPECT_EQ(out.str(), "start\n42\nwarn\ntail-no-newline");

  auto entries = all_entries(service.url(), service.key(), id);
  ASSERT_EQ(entries.size(), 4u);
  const char* streams[] = {"stdout", "stdout", "stderr", "stdout"};
  const char* contents[] = {"start\n", "42\n", "warn\n", "tail-no-newline"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i]["index"], i);
    EXPECT_EQ(entries[i]["stream"], streams[i]);
    EXPECT_EQ(entries[i]["content"], contents[i]);
  }
  // Asking from the end gives nothing new and the same offset.
  auto res = raw_get(service.url(), "/v1/jobs/" + id + "/output?offset=4", service.key());
  ASSERT_TRUE(res);
  EXPECT_EQ(body_of(res)["entries"].size(), 0u);
  EXPECT_EQ(body_of(res)["current_index"], 4);
  // A missing offset means 0.
  res = raw_get(service.url(), "/v1/jobs/" + id + "/output", service.key());
  EXPECT_EQ(body_of(res)["entries"].size(), 4u);
}

TEST_F(LocalRunnerTest, FailingScriptReportsExitCodeAndTracebackOnStderr) {
  RunningService service(options());
  json answer = submit_code("print('before')\ndef f():\n    raise ValueError('boom')\nf()\n",
                            submit_options(service));
  std::ostringstream out;
  json done = poll_job(answer["job_id"], poll_options(service, out));
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["exit_code"], 1);
  auto entries = all_entries(service.url(), service.key(), answer["job_id"]);
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0]["content"], "before\n");
  EXPECT_EQ(entries[0]["stream"], "stdout");
  EXPECT_EQ(entries[1]["content"], "Traceback (most recent call last):\n");
  EXPECT_EQ(entries[1]["stream"], "stderr");
  EXPECT_EQ(entries.back()["content"], "ValueError: boom\n");
  EXPECT_EQ(entries.back()["stream"], "stderr");

  // A script killed by a signal fails too, with the signal in its exit code and error.
  answer = submit_code("import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n",
                       submit_options(service));
  done = wait_for_end(service.url(), service.key(), answer["job_id"]);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["exit_code"], -9);
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("signal 9"));
}

TEST_F(LocalRunnerTest, CancelKillsTheWholeProcessGroup) {
  RunningService service(options());
  // The script ignores SIGTERM, so its processes need the SIGKILL after the grace period.
  const std::string marker = "pelmora-cancel-" + std::to_string(getpid());
  std::string id = submit_raw(service.url(), service.key(),
                              testing::marked_child_code(marker) +
                                  "import signal, time\n"
                                  "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                                  "print('up', flush=True)\n"
                                  "time.sleep(60)\n");
  for (int i = 0; i < 500 && all_entries(service.url(), service.key(), id).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::count_processes(marker), 1);
  auto res = raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  // Shown cancelled once its processes are gone.
  EXPECT_EQ(body_of(res)["status"], "cancelled");
  EXPECT_EQ(testing::count_processes(marker), 0);
  std::ostringstream out;
  json done = poll_job(id, poll_options(service, out));
  EXPECT_EQ(done["status"], "cancelled");
  // Cancelling again: the job has ended.
  res = raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
  EXPECT_EQ(res->status, 409);
  EXPECT_EQ(body_of(res)["status"], "cancelled");
}

TEST_F(LocalRunnerTest, JobsRunWithLimitsAndWithoutSecrets) {
  auto o = options();
  o.has_gpu = false;
  o.pass_env = {"MYAPP_AUTH"};
  o.use_cgroups = false;  // the per-process limit below; job_limits_test has the whole job's
  RunningService service(o);
  ::setenv("PELMORA_API_KEY", "pmk_secret_of_the_service", 1);
  ::setenv("DATABASE_URL", "postgres://u:pw@db/x", 1);
  ::setenv("MYAPP_AUTH", "passed", 1);
  std::string id = submit_raw(service.url(), service.key(),
                              "import os, sys\n"
                              "print(os.environ.get('PELMORA_API_KEY'))\n"
                              "print(os.environ.get('DATABASE_URL'), os.environ.get('MYAPP_AUTH'))\n"
                              "print(os.environ.get('PYTHONUNBUFFERED'))\n"
                              "try:\n    input()\nexcept EOFError:\n    print('EOF')\n"
                              "print(os.path.basename(os.getcwd()), os.path.exists('main.py'))\n"
                              "print(len(os.sched_getaffinity(0)))\n",
                              false, json{{"cpu", 1}});
  ::unsetenv("PELMORA_API_KEY");
  ::unsetenv("DATABASE_URL");
  ::unsetenv("MYAPP_AUTH");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
  std::string text;
  for (const auto& e : all_entries(service.url(), service.key(), id)) text += e["content"].get<std::string>();
  EXPECT_EQ(text, "None\nNone passed\n1\nEOF\n" + id + " True\n1\n");

  // Memory without a control group: an address-space limit that a large allocation runs into.
  id = submit_raw(service.url(), service.key(), "x = bytearray(600 * 1024 * 1024)\nprint('no limit')\n",
                  false, json{{"memory", "300Mi"}});
  json done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["resources"]["memory"], "300Mi");
  auto entries = all_entries(service.url(), service.key(), id);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back()["content"], "MemoryError\n");

  // A GPU this machine does not have.
  id = submit_raw(service.url(), service.key(), "print(1)\n", false, json{{"gpu", "A100"}});
  done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_TRUE(done["exit_code"].is_null());
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("A100"));
}

TEST_F(LocalRunnerTest, OutputThatIsNotUtf8IsReplacedNotFatal) {
  RunningService service(options());
  std::string id = submit_raw(service.url(), service.key(),
                              "import sys\nsys.stdout.buffer.write(b'\\xff\\xfeok\\r\\n')\n");
  wait_for_end(service.url(), service.key(), id);
  auto entries = all_entries(service.url(), service.key(), id);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["content"], "\xEF\xBF\xBD\xEF\xBF\xBDok\r\n");
}

TEST_F(LocalRunnerTest, UnknownInterpreterFailsTheJobClearly) {
  auto o = options();
  o.python = "/nonexistent/python3";
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(), "print(1)\n");
  json done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("/nonexistent/python3"));
}

}  // namespace
}  // namespace pelmora::service

namespace pelmora::service {
namespace {

// A data directory on a 4 MiB file system that the job's output overflows: the job does not
// end "completed" with part of its output silently gone.
TEST(OutputLoss, AFullDiskFailsTheJobSayingOutputWasLost) {
  if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  TempDir dir;
  const std::string small = dir.path() + "/small";
  make_private_dirs(small);
  if (std::system(("mount -t tmpfs -o size=4m tmpfs '" + small + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  }
  {
    ServiceOptions o;
    o.data_dir = small + "/data";
    RunningService service(o);
    std::string id = submit_raw(service.url(), service.key(),
                                "for i in range(8001):\n    print(i, 'x' * 1000)\n");
    json done = wait_for_end(service.url(), service.key(), id, 120);
    EXPECT_EQ(done["status"], "failed");
    EXPECT_EQ(done["exit_code"], 0);
    EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("output lost"));
    EXPECT_LT(all_entries(service.url(), service.key(), id).size(), 8001u);
  }
  EXPECT_EQ(std::system(("umount '" + small + "'").c_str()), 0);
}

}  // namespace
}  // namespace pelmora::service
