// The job service end to end over loopback: the real client submits and follows jobs; raw
// requests cover what the client never sends.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <fstream>
#include <set>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/client/client.h"
#include "agent/platform/clock.h"
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

class ServiceTest : public ::testing::Test {
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

TEST_F(ServiceTest, ScriptWithLocalModulesRunsToCompletedWithExactOutput) {
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

TEST_F(ServiceTest, FailingScriptReportsExitCodeAndTracebackOnStderr) {
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

TEST_F(ServiceTest, CancelKillsTheWholeProcessGroup) {
  RunningService service(options());
  // The script ignores SIGTERM, so the group needs the SIGKILL after the grace period.
  std::string id = submit_raw(service.url(), service.key(),
                              "import os, signal, subprocess, time\n"
                              "signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
                              "child = subprocess.Popen(['sleep', '60'])\n"
                              "print(os.getpgid(0), child.pid)\n"
                              "time.sleep(60)\n");
  long pgid = 0;
  for (int i = 0; i < 500 && pgid == 0; ++i) {
    auto entries = all_entries(service.url(), service.key(), id);
    if (!entries.empty()) pgid = std::stol(entries[0]["content"].get<std::string>());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(pgid, 0);
  EXPECT_TRUE(testing::group_alive(pgid));
  auto res = raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(body_of(res)["status"], "cancelled");
  for (int i = 0; i < 300 && testing::group_alive(pgid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(testing::group_alive(pgid));
  std::ostringstream out;
  json done = poll_job(id, poll_options(service, out));
  EXPECT_EQ(done["status"], "cancelled");
  // Cancelling again: the job has ended.
  res = raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
  EXPECT_EQ(res->status, 409);
  EXPECT_EQ(body_of(res)["status"], "cancelled");
}

TEST_F(ServiceTest, QueuedJobCancelsWithoutRunning) {
  RunningService service(options(1));
  std::string blocker = submit_raw(service.url(), service.key(), "import time\ntime.sleep(30)\n");
  std::string waiting = submit_raw(service.url(), service.key(), "print('never')\n");
  auto res = raw_post(service.url(), "/v1/jobs/" + waiting + "/cancel", service.key(), "");
  EXPECT_EQ(res->status, 200);
  raw_post(service.url(), "/v1/jobs/" + blocker + "/cancel", service.key(), "");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), blocker)["status"], "cancelled");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto doc = wait_for_end(service.url(), service.key(), waiting);
  EXPECT_EQ(doc["status"], "cancelled");
  EXPECT_TRUE(doc["started_at"].is_null());
  EXPECT_TRUE(all_entries(service.url(), service.key(), waiting).empty());
}

TEST_F(ServiceTest, KeysSeeOnlyTheirOwnJobs) {
  RunningService service(options());
  std::string bob = add_key(keys_file(service.data_dir()), "bob", {});
  std::string id = submit_raw(service.url(), service.key(), "print('alice')\n");
  std::string unknown = new_job_id();
  for (const char* suffix : {"", "/output?offset=0"}) {
    auto theirs = raw_get(service.url(), "/v1/jobs/" + id + suffix, bob);
    auto none = raw_get(service.url(), "/v1/jobs/" + unknown + suffix, bob);
    ASSERT_TRUE(theirs && none);
    EXPECT_EQ(theirs->status, 404);
    EXPECT_EQ(none->status, 404);
    std::string masked = theirs->body;
    masked.replace(masked.find(id), id.size(), unknown);
    EXPECT_EQ(masked, none->body);
  }
  EXPECT_EQ(raw_post(service.url(), "/v1/jobs/" + id + "/cancel", bob, "")->status, 404);
  EXPECT_EQ(body_of(raw_get(service.url(), "/v1/jobs", bob))["jobs"].size(), 0u);

  std::string bobs = submit_raw(service.url(), bob, "print('bob')\n");
  auto mine = body_of(raw_get(service.url(), "/v1/jobs", service.key()))["jobs"];
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0]["job_id"], id);
  wait_for_end(service.url(), bob, bobs);
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs/" + bobs, service.key())->status, 404);
}

TEST_F(ServiceTest, RefusalsReachTheClientAsItsErrorKinds) {
  RunningService service(options());
  // 401: no key, a wrong key, another scheme.
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs", "")->status, 401);
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs", "pmk_wrong")->status, 401);
  httplib::Client raw(service.url());
  auto basic = raw.Get("/v1/jobs", {{"Authorization", "Basic " + service.key()}});
  EXPECT_EQ(basic->status, 401);
  EXPECT_TRUE(body_of(basic)["error"].is_string());
  auto wrong = submit_options(service);
  wrong.api_key = "pmk_wrong";
  EXPECT_THROW(submit_code("print(1)\n", wrong), InvalidAPIKeyError);

  // 402: a budget of 2 credits; a 2-CPU job costs 2.
  std::string poor = add_key(keys_file(service.data_dir()), "poor", {2.0, std::nullopt});
  auto poor_options = submit_options(service);
  poor_options.api_key = poor;
  submit_code("print(1)\n", poor_options);
  poor_options.cpu = 2;
  try {
    submit_code("print(1)\n", poor_options);
    ADD_FAILURE() << "no 402";
  } catch (const InsufficientCreditsError& e) {
    EXPECT_EQ(e.required, 2.0);
    EXPECT_EQ(e.available, 1.0);
  }

  // 429: two submissions a minute.
  std::string hasty = add_key(keys_file(service.data_dir()), "hasty", {std::nullopt, 2});
  auto hasty_options = submit_options(service);
  hasty_options.api_key = hasty;
  submit_code("print(1)\n", hasty_options);
  submit_code("print(1)\n", hasty_options);
  EXPECT_THROW(submit_code("print(1)\n", hasty_options), RateLimitError);
  auto limited = raw_post(service.url(), "/v1/jobs/submit/code", hasty, R"({"code": ""})");
  EXPECT_EQ(limited->status, 429);
  EXPECT_TRUE(limited->has_header("Retry-After"));
  // Refused submissions are not jobs.
  EXPECT_EQ(body_of(raw_get(service.url(), "/v1/jobs", hasty))["jobs"].size(), 2u);
}

TEST_F(ServiceTest, OversizedBodiesGet413BeforeBeingRead) {
  auto o = options();
  o.limits.max_body = 4096;
  RunningService service(o);
  try {
    submit_code(std::string(5000, '#'), submit_options(service));
    ADD_FAILURE() << "no 413";
  } catch (const ExecutionError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Submission failed (413)"));
  }
  // A client that announces 10 GB and sends nothing gets its answer at once.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(service.url().substr(service.url().rfind(':') + 1))));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string request = "POST /v1/jobs/submit/code HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                        service.key() + "\r\nContent-Length: 10000000000\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[512] = {};
  ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
  close(fd);
  ASSERT_GT(n, 0);
  EXPECT_THAT(std::string(buffer), HasSubstr("HTTP/1.1 413"));
}

TEST_F(ServiceTest, MalformedRequestsGet400AndNeverCrash) {
  RunningService service(options());
  std::vector<std::string> bodies = {
      "", "null", "[]", "{}", "{\"code\": 1}", "{\"code\": \"x\", \"fast\": \"yes\"}",
      "{\"code\": \"x\", \"resources\": []}", "{\"code\": \"x\", \"resources\": {\"cpu\": \"2\"}}",
      "{\"code\": \"x\", \"resources\": {\"memory\": \"lots\"}}", "{\"code\": \"x\", \"file_path\": 3}",
      "{\"code\": \"\xff\"}", "{\"code\": \"x\"", std::string(100000, '[') + std::string(100000, ']'),
      "{\"code\": \"x\", \"resources\": {\"cpu\": 1e400}}"};
  for (const auto& body : bodies) {
    auto res = raw_post(service.url(), "/v1/jobs/submit/code", service.key(), body);
    ASSERT_TRUE(res) << body.substr(0, 40);
    EXPECT_EQ(res->status, 400) << body.substr(0, 40);
    EXPECT_TRUE(body_of(res)["error"].is_string()) << body.substr(0, 40);
  }
  std::string id = submit_raw(service.url(), service.key(), "print(1)\n");
  for (const char* offset : {"abc", "-1", "1e3", "99999999999999999999", ""}) {
    auto res = raw_get(service.url(), "/v1/jobs/" + id + "/output?offset=" + offset, service.key());
    EXPECT_EQ(res->status, 400) << offset;
  }
  for (const char* path : {"/v1/jobs/nope", "/v1/jobs/job-%2e%2e", "/v1/jobs/" ,"/v2/x"}) {
    auto res = raw_get(service.url(), path, service.key());
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_TRUE(body_of(res)["error"].is_string()) << path;
  }
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs?limit=0", service.key())->status, 400);
  // Still serving.
  EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
}

TEST_F(ServiceTest, LargeLogsComeInPagesThatTheClientFollows) {
  auto o = options();
  o.limits.page_max_entries = 1000;
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(),
                              "import sys\nfor i in range(12000):\n"
                              "    (sys.stderr if i % 7 == 0 else sys.stdout).write(f'line {i}\\n')\n");
  wait_for_end(service.url(), service.key(), id);
  int pages = 0;
  auto entries = all_entries(service.url(), service.key(), id, &pages);
  ASSERT_EQ(entries.size(), 12000u);
  EXPECT_GE(pages, 12);
  std::multiset<std::string> lines;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(entries[i]["index"], i);
    lines.insert(entries[i]["content"].get<std::string>());
  }
  // Each stream's lines in order (the streams interleave as the pipes allow).
  int next_out = 0;
  for (const auto& e : entries) {
    if (e["stream"] == "stdout") {
      while (next_out % 7 == 0) ++next_out;
      ASSERT_EQ(e["content"], "line " + std::to_string(next_out) + "\n");
      ++next_out;
    }
  }
  EXPECT_EQ(lines.size(), 12000u);

  std::ostringstream out;
  poll_job(id, poll_options(service, out));
  std::string written = out.str();
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 12000);
}

TEST_F(ServiceTest, FiftyJobsWithTwoAtATimeAllFinishInOrder) {
  RunningService service(options(2));
  std::vector<std::string> ids;
  std::vector<std::thread> submitters;
  std::mutex mutex;
  for (int t = 0; t < 5; ++t) {
    submitters.emplace_back([&, t] {
      for (int k = 0; k < 10; ++k) {
        int n = t * 10 + k;
        std::string id = submit_raw(service.url(), service.key(),
                                    "for j in range(3):\n    print('job " + std::to_string(n) + " line', j)\n");
        std::lock_guard lock(mutex);
        ids.push_back(id + ":" + std::to_string(n));
      }
    });
  }
  for (auto& t : submitters) t.join();
  ASSERT_EQ(ids.size(), 50u);
  std::vector<std::pair<std::string, std::string>> spans;
  for (const auto& tagged : ids) {
    std::string id = tagged.substr(0, tagged.find(':'));
    std::string n = tagged.substr(tagged.find(':') + 1);
    json done = wait_for_end(service.url(), service.key(), id, 60);
    ASSERT_EQ(done["status"], "completed") << done.dump();
    auto entries = all_entries(service.url(), service.key(), id);
    ASSERT_EQ(entries.size(), 3u);
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(entries[static_cast<std::size_t>(j)]["content"], "job " + n + " line " + std::to_string(j) + "\n");
    }
    spans.emplace_back(done["started_at"], done["finished_at"]);
  }
  // Never more than two at once: no start falls strictly inside two other jobs' runs.
  for (const auto& [start, end] : spans) {
    int overlapping = 0;
    for (const auto& [s, e] : spans) {
      if (s < start && start < e) ++overlapping;
    }
    EXPECT_LE(overlapping, 1);
  }
}

TEST_F(ServiceTest, FastJobsLeaveTheQueueFirst) {
  RunningService service(options(1));
  std::string blocker = submit_raw(service.url(), service.key(), "import time\ntime.sleep(0.5)\n");
  std::string slow1 = submit_raw(service.url(), service.key(), "pass\n");
  std::string slow2 = submit_raw(service.url(), service.key(), "pass\n");
  std::string fast = submit_raw(service.url(), service.key(), "pass\n", true);
  auto started = [&](const std::string& id) {
    return wait_for_end(service.url(), service.key(), id)["started_at"].get<std::string>();
  };
  EXPECT_LT(started(blocker), started(fast));
  EXPECT_LT(started(fast), started(slow1));
  EXPECT_LT(started(slow1), started(slow2));
}

TEST_F(ServiceTest, JobsRunWithLimitsAndWithoutSecrets) {
  auto o = options();
  o.has_gpu = false;
  RunningService service(o);
  ::setenv("PELMORA_API_KEY", "pmk_secret_of_the_service", 1);
  std::string id = submit_raw(service.url(), service.key(),
                              "import os, sys\n"
                              "print(os.environ.get('PELMORA_API_KEY'))\n"
                              "print(os.environ.get('PYTHONUNBUFFERED'))\n"
                              "try:\n    input()\nexcept EOFError:\n    print('EOF')\n"
                              "print(os.path.basename(os.getcwd()), os.path.exists('main.py'))\n"
                              "print(len(os.sched_getaffinity(0)))\n"
                              "print(os.getsid(0) == os.getpid(), os.getpgid(0) == os.getpid())\n",
                              false, json{{"cpu", 1}});
  ::unsetenv("PELMORA_API_KEY");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
  std::string text;
  for (const auto& e : all_entries(service.url(), service.key(), id)) text += e["content"].get<std::string>();
  EXPECT_EQ(text, "None\n1\nEOF\n" + id + " True\n1\nTrue True\n");

  // Memory: an address-space limit that a large allocation runs into.
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

TEST_F(ServiceTest, OutputThatIsNotUtf8IsReplacedNotFatal) {
  RunningService service(options());
  std::string id = submit_raw(service.url(), service.key(),
                              "import sys\nsys.stdout.buffer.write(b'\\xff\\xfeok\\r\\n')\n");
  wait_for_end(service.url(), service.key(), id);
  auto entries = all_entries(service.url(), service.key(), id);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["content"], "\xEF\xBF\xBD\xEF\xBF\xBDok\r\n");
}

TEST_F(ServiceTest, UnknownInterpreterFailsTheJobClearly) {
  auto o = options();
  o.python = "/nonexistent/python3";
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(), "print(1)\n");
  json done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("/nonexistent/python3"));
}

TEST_F(ServiceTest, ManyJobsThatCannotStartDrainTheQueue) {
  auto o = options(1);
  o.has_gpu = false;
  RunningService service(o);
  // A blocker holds the one slot while the others queue up; each then fails at launch.
  std::string blocker = submit_raw(service.url(), service.key(), "import time\ntime.sleep(0.3)\n");
  std::vector<std::string> ids;
  for (int i = 0; i < 300; ++i) {
    ids.push_back(submit_raw(service.url(), service.key(), "", false, json{{"gpu", "H100"}}));
  }
  std::string last = submit_raw(service.url(), service.key(), "print('still running jobs')\n");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), last)["status"], "completed");
  for (const auto& id : {ids.front(), ids.back()}) {
    EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "failed");
  }
}

}  // namespace
}  // namespace pelmora::service
