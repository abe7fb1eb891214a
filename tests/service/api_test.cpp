// The job service's API end to end over loopback, on an in-memory runner (FakeRunner: a
// job's main.py holds its directives): the real client submits and follows jobs; raw
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
#include "tests/fakes/fake_runner.h"

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
  ServiceOptions options(int max_jobs = 2) {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = max_jobs;
    o.cancel_grace = 0.5;
    o.make_runner = [](RunnerEvents& events) {
      return std::make_unique<pelmora::testing::FakeRunner>(events);
    };
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

// 12000 lines, every seventh on standard error: "line 0" ... "line 11999".
std::string large_log_script() {
  std::string code;
  for (int i = 0; i < 12000; ++i) code += (i % 7 == 0 ? "err line " : "out line ") + std::to_string(i) + "\n";
  return code;
}

// "PREFIX 0", "PREFIX 1", "PREFIX 2" on standard output.
std::string three_lines(const std::string& prefix) {
  std::string code;
  for (int j = 0; j < 3; ++j) code += "out " + prefix + " " + std::to_string(j) + "\n";
  return code;
}

TEST_F(ServiceTest, QueuedJobCancelsWithoutRunning) {
  RunningService service(options(1));
  std::string blocker = submit_raw(service.url(), service.key(), "hold\n");
  std::string waiting = submit_raw(service.url(), service.key(), "out never\n");
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
  std::string id = submit_raw(service.url(), service.key(), "out alice\n");
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

  std::string bobs = submit_raw(service.url(), bob, "out bob\n");
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

TEST_F(ServiceTest, QueuedJobsOfOneKeyAreBounded) {
  auto o = options(1);
  o.limits.max_queued_per_key = 2;
  RunningService service(o);
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(submit_raw(service.url(), service.key(), "hold\n"));
  auto refused = raw_post(service.url(), "/v1/jobs/submit/code", service.key(), R"({"code": "hold"})");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  EXPECT_THAT(body_of(refused)["error"].get<std::string>(), HasSubstr("queued"));
  // Another key has its own queue; a cancelled job frees a place.
  std::string other = add_key(keys_file(service.data_dir()), "other", {});
  EXPECT_FALSE(submit_raw(service.url(), other, "hold\n").empty());
  EXPECT_EQ(raw_post(service.url(), "/v1/jobs/" + ids[2] + "/cancel", service.key(), "")->status, 200);
  EXPECT_FALSE(submit_raw(service.url(), service.key(), "hold\n").empty());
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
      "{\"code\": \"x\", \"resources\": {\"cpu\": 1e400}}",
      // Deep nesting, unknown resources and oversized fields.
      "{\"code\": \"x\", \"resources\": {\"gpu\": \"a\", \"x\": " + std::string(60000, '[') +
          std::string(60000, ']') + "}}",
      "{\"code\": \"x\", \"resources\": {\"disk\": \"1G\"}}",
      "{\"code\": \"x\", \"resources\": {\"gpu\": \"" + std::string(65, 'a') + "\"}}",
      "{\"code\": \"x\", \"file_path\": \"" + std::string(4097, 'a') + "\"}"};
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

TEST_F(ServiceTest, JobListsStayAboutAPageInSize) {
  auto o = options();
  o.limits.page_max_bytes = 10000;
  RunningService service(o);
  for (int i = 0; i < 5; ++i) {
    json payload = {{"code", "print(1)\n"}, {"file_path", std::string(4000, static_cast<char>('a' + i))}};
    ASSERT_EQ(raw_post(service.url(), "/v1/jobs/submit/code", service.key(), payload.dump())->status, 200);
  }
  auto list = body_of(raw_get(service.url(), "/v1/jobs", service.key()));
  EXPECT_EQ(list["jobs"].size(), 2u);
  EXPECT_EQ(list["more"], true);
  EXPECT_EQ(list["jobs"][0]["file_path"], std::string(4000, 'e'));  // newest first
  EXPECT_FALSE(body_of(raw_get(service.url(), "/v1/jobs?limit=2", service.key())).contains("more"));
}

TEST_F(ServiceTest, JobListsPageByCursorAndFilterByState) {
  RunningService service(options(1));
  std::vector<std::string> ids;  // oldest first; the first holds the only slot
  ids.push_back(submit_raw(service.url(), service.key(), "hold\n"));
  for (int i = 0; i < 4; ++i) ids.push_back(submit_raw(service.url(), service.key(), "out x\n"));
  std::string bob = add_key(keys_file(service.data_dir()), "bob", {});
  std::string bobs = submit_raw(service.url(), bob, "out bob\n");

  std::vector<std::string> seen;
  std::string path = "/v1/jobs?limit=2";
  for (int page = 0; page < 5; ++page) {
    auto list = body_of(raw_get(service.url(), path, service.key()));
    for (const auto& job : list["jobs"]) seen.push_back(job["job_id"]);
    if (!list.contains("next")) break;
    path = "/v1/jobs?limit=2&before=" + list["next"].get<std::string>();
  }
  EXPECT_EQ(seen, std::vector<std::string>(ids.rbegin(), ids.rend()));

  auto waiting = body_of(raw_get(service.url(), "/v1/jobs?status=queued", service.key()))["jobs"];
  EXPECT_EQ(waiting.size(), 4u);
  for (const char* bad : {"/v1/jobs?status=done", "/v1/jobs?before=job-0",
                          "/v1/jobs?before="}) {
    EXPECT_EQ(raw_get(service.url(), bad, service.key())->status, 400) << bad;
  }
  // Another key's job is no place in this key's list.
  EXPECT_EQ(raw_get(service.url(), "/v1/jobs?before=" + bobs, service.key())->status, 400);
  raw_post(service.url(), "/v1/jobs/" + ids[0] + "/cancel", service.key(), "");
}

TEST_F(ServiceTest, LargeLogsComeInPagesThatTheClientFollows) {
  auto o = options();
  o.limits.page_max_entries = 1000;
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(),
                              large_log_script());
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
                                    "sleep 0.01\n" + three_lines("job " + std::to_string(n) + " line"));
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
  std::string blocker = submit_raw(service.url(), service.key(), "sleep 0.5\n");
  std::string slow1 = submit_raw(service.url(), service.key(), "sleep 0.01\n");
  std::string slow2 = submit_raw(service.url(), service.key(), "sleep 0.01\n");
  std::string fast = submit_raw(service.url(), service.key(), "sleep 0.01\n", true);
  auto started = [&](const std::string& id) {
    return wait_for_end(service.url(), service.key(), id)["started_at"].get<std::string>();
  };
  EXPECT_LT(started(blocker), started(fast));
  EXPECT_LT(started(fast), started(slow1));
  EXPECT_LT(started(slow1), started(slow2));
}

TEST_F(ServiceTest, ManyJobsThatCannotStartDrainTheQueue) {
  auto o = options(1);
  o.has_gpu = false;
  RunningService service(o);
  // A blocker holds the one slot while the others queue up; each then fails at launch.
  std::string blocker = submit_raw(service.url(), service.key(), "sleep 0.3\n");
  std::vector<std::string> ids;
  for (int i = 0; i < 300; ++i) {
    ids.push_back(submit_raw(service.url(), service.key(), "", false, json{{"gpu", "H100"}}));
  }
  std::string last = submit_raw(service.url(), service.key(), "out still running jobs\n");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), last)["status"], "completed");
  for (const auto& id : {ids.front(), ids.back()}) {
    EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "failed");
  }
}

}  // namespace
}  // namespace pelmora::service
