// poll_job, fetch_job_status and fetch_job_output against a scripted loopback job service.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <sstream>

#include <gtest/gtest.h>

#include "agent/client/client.h"
#include "agent/client/http.h"
#include "agent/client/errors.h"
#include "tests/client/client_test_support.h"
#include "tests/fakes/test_http_server.h"

namespace pelmora {
namespace {

using nlohmann::json;
using testing::EnvGuard;
using testing::RecordingClock;
using testing::TestHttpServer;

// Status and output answers scripted apart: requests for ".../output" take the next output
// answer (by default an empty page), every other request the next status answer.
class PollTest : public ::testing::Test {
 protected:
  PollTest() {
    server.fallback([this](const httplib::Request& req, httplib::Response& res) {
      TestHttpServer::Handler handler;
      {
        std::lock_guard lock(mutex_);
        auto& queue = req.path.ends_with("/output") ? outputs_ : statuses_;
        if (!queue.empty()) {
          handler = std::move(queue.front());
          queue.pop_front();
        }
      }
      if (handler) {
        handler(req, res);
      } else if (req.path.ends_with("/output")) {
        res.body = "{}";
      } else {
        res.status = 599;
        res.body = "unscripted";
      }
    });
  }

  static TestHttpServer::Handler answer(int status, std::string body) {
    return [status, body = std::move(body)](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.body = body;
    };
  }
  void status(int code, std::string body = "") {
    std::lock_guard lock(mutex_);
    statuses_.push_back(answer(code, std::move(body)));
  }
  void status(TestHttpServer::Handler handler) {
    std::lock_guard lock(mutex_);
    statuses_.push_back(std::move(handler));
  }
  void job(const std::string& state) { status(200, json{{"status", state}}.dump()); }
  void output(int code, std::string body) {
    std::lock_guard lock(mutex_);
    outputs_.push_back(answer(code, std::move(body)));
  }
  void output(TestHttpServer::Handler handler) {
    std::lock_guard lock(mutex_);
    outputs_.push_back(std::move(handler));
  }

  PollOptions options(PollOptions o = {}) {
    if (!o.api_key) o.api_key = "sk-poll";
    if (!o.api_url) o.api_url = server.url();
    if (!o.out) o.out = &out;
    if (!o.clock) o.clock = &clock;
    return o;
  }
  // Request targets in order, "S" for a status request and the target for an output request.
  std::vector<std::string> targets() {
    std::vector<std::string> result;
    for (const auto& r : server.requests()) result.push_back(r.target);
    return result;
  }

  EnvGuard env;
  std::ostringstream out;
  RecordingClock clock;
  std::mutex mutex_;
  std::deque<TestHttpServer::Handler> statuses_;
  std::deque<TestHttpServer::Handler> outputs_;
  TestHttpServer server;  // last: its handlers use the members above until it stops
};

TEST_F(PollTest, TerminalOnTheFirstCycleWritesItsLogAndReturnsAtOnce) {
  status(200, R"({"status":"completed","exit_code":0})");
  output(200, R"({"entries":[{"content":"line 1\n"},{"text":"line 2\n"},{},
                 {"content":"c","text":"t"}],"current_index":4})");
  json document = poll_job("job-1", options());
  EXPECT_EQ(document, json::parse(R"({"status":"completed","exit_code":0})"));
  EXPECT_EQ(out.str(), "line 1\nline 2\nc");
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_EQ(targets(), (std::vector<std::string>{"/v1/jobs/job-1", "/v1/jobs/job-1/output?offset=0"}));
  for (const auto& r : server.requests()) EXPECT_EQ(r.header("Authorization"), "Bearer sk-poll");
}

TEST_F(PollTest, OnlyExactTerminalWordsEndThePolling) {
  status(200, "{}");
  job("Completed");
  job("FAILED");
  status(200, R"({"status": 3})");
  job("running");
  job("failed");
  json document = poll_job("j", options({.follow_logs = false, .poll_interval = 0.5}));
  EXPECT_EQ(document["status"], "failed");
  EXPECT_EQ(clock.sleeps, (std::vector<double>{0.5, 0.5, 0.5, 0.5, 0.5}));
  EXPECT_EQ(server.request_count(), 6u);  // no output request without follow_logs
  EXPECT_EQ(out.str(), "");

  job("cancelled");
  EXPECT_EQ(poll_job("j", options({.follow_logs = false}))["status"], "cancelled");
}

TEST_F(PollTest, NotFoundIsRetriedOnAGrowingScheduleThatRestarts) {
  for (int i = 0; i < 5; ++i) status(404, "no such job");
  job("queued");
  status(404);
  job("completed");
  poll_job("j", options({.follow_logs = false, .poll_interval = 1.0}));
  EXPECT_EQ(clock.sleeps, (std::vector<double>{2, 4, 6, 8, 10, 1.0, 2}));
}

TEST_F(PollTest, SixthNotFoundInARowFails) {
  for (int i = 0; i < 6; ++i) status(404);
  job("completed");
  try {
    poll_job("j", options());
    FAIL() << "no error";
  } catch (const ExecutionError& e) {
    EXPECT_STREQ(e.what(), "Job not found after retries \u2014 server may have restarted.");
  }
  EXPECT_EQ(clock.sleeps, (std::vector<double>{2, 4, 6, 8, 10}));
  EXPECT_EQ(server.request_count(), 6u);
}

TEST_F(PollTest, OtherStatusesAndBadDocumentsEndTheCall) {
  status(401, R"({"detail":"bad key"})");
  try {
    poll_job("j", options());
    FAIL() << "no error";
  } catch (const ExecutionError& e) {
    EXPECT_STREQ(e.what(), R"(Failed to check job (401): {"detail":"bad key"})");
  }
  status(500);
  EXPECT_THROW(poll_job("j", options()), ExecutionError);
  status(200, "not json");
  EXPECT_THROW(poll_job("j", options()), json::parse_error);
  status(200, "[]");
  EXPECT_THROW(poll_job("j", options()), json::type_error);
  status(302, "");
  EXPECT_THROW(poll_job("j", options()), ExecutionError);
}

TEST_F(PollTest, FailingLogStepIsSilentAndKeepsTheOffset) {
  job("running");
  output(200, R"({"entries":[{"content":"a"}],"current_index":1})");
  job("running");
  output(500, R"({"entries":[{"content":"never"}],"current_index":9})");
  job("running");
  output(200, "not json");
  job("running");
  output(200, R"({"entries":[{"content":"b"}, "not an object"],"current_index":7})");
  job("running");
  output(200, R"({"entries":[{"text":"c"}]})");  // no current_index: offset stays
  job("completed");
  output(200, R"({"entries":[{"content":"d"}],"current_index":2})");
  poll_job("j", options({.poll_interval = 0}));
  // "b" was written before the bad entry stopped the step; the offset did not move, so it
  // is asked for again.
  EXPECT_EQ(out.str(), "abcd");
  std::vector<std::string> outputs;
  for (const auto& t : targets()) {
    if (t.find("/output") != std::string::npos) outputs.push_back(t.substr(t.find('?')));
  }
  EXPECT_EQ(outputs, (std::vector<std::string>{"?offset=0", "?offset=1", "?offset=1",
                                                "?offset=1", "?offset=1", "?offset=1"}));
}

TEST_F(PollTest, OutputTimeOutIsSwallowed) {
  job("running");
  output(server.hang());
  job("completed");
  output(200, R"({"entries":[{"content":"done"}],"current_index":1})");
  // Output time-out 10 s scaled down to 0.3 s; status requests 15 s to 0.45 s.
  json document = poll_job("j", options({.transport = {.timeout_scale = 0.03}}));
  EXPECT_EQ(document["status"], "completed");
  EXPECT_EQ(out.str(), "done");
}

TEST_F(PollTest, StatusRequestTimeOutEndsTheCall) {
  status(server.hang());
  EXPECT_THROW(poll_job("j", options({.transport = {.timeout_scale = 0.02}})), TransportError);
}

TEST_F(PollTest, MorePagesAreReadAtOnceWithinTheCycle) {
  job("completed");
  output(200, R"({"entries":[{"content":"p1 "}],"current_index":2,"more":true})");
  output(200, R"({"entries":[{"content":"p2 "}],"current_index":4,"more":true})");
  output(200, R"({"entries":[{"content":"p3"}],"current_index":5})");
  poll_job("j", options());
  EXPECT_EQ(out.str(), "p1 p2 p3");
  EXPECT_EQ(targets(), (std::vector<std::string>{"/v1/jobs/j", "/v1/jobs/j/output?offset=0",
                                                 "/v1/jobs/j/output?offset=2",
                                                 "/v1/jobs/j/output?offset=4"}));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(PollTest, MoreWithoutProgressDoesNotLoop) {
  job("completed");
  output(200, R"({"entries":[{"content":"x"}],"more":true})");
  output(200, R"({"entries":[{"content":"y"}],"current_index":0,"more":true})");
  poll_job("j", options());
  EXPECT_EQ(out.str(), "x");
  EXPECT_EQ(server.request_count(), 2u);
}

TEST_F(PollTest, PagesThatSayMoreButBringNothingOrGoBackEndTheRead) {
  job("completed");
  // An empty page with a rising index, then an index that falls.
  output(200, R"({"entries":[],"current_index":7,"more":true})");
  poll_job("j", options());
  EXPECT_EQ(server.request_count(), 2u);
  job("completed");
  output(200, R"({"entries":[{"content":"a"}],"current_index":5,"more":true})");
  output(200, R"({"entries":[{"content":"b"}],"current_index":3,"more":true})");
  poll_job("j", options());
  EXPECT_EQ(out.str(), "ab");
  EXPECT_EQ(server.request_count(), 5u);
}

TEST_F(PollTest, JobIdIsEncodedSoItAddressesOnlyItsOwnJob) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"job-7f3a_x.y~Z", "/v1/jobs/job-7f3a_x.y~Z"},
      {"a/b?c#d e%f", "/v1/jobs/a%2Fb%3Fc%23d%20e%25f"},
      {"..", "/v1/jobs/%2E%2E"},
      {".", "/v1/jobs/%2E"},
      {"x\r\nHost: evil", "/v1/jobs/x%0D%0AHost%3A%20evil"},
  };
  for (const auto& [id, path] : cases) {
    job("completed");
    poll_job(id, options());
    auto requests = server.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[requests.size() - 2].target, path) << id;
    EXPECT_EQ(requests.back().target, path + "/output?offset=0") << id;
  }
}

TEST_F(PollTest, OffsetKeepsTheTextFormOfWhatTheServiceSent) {
  job("running");
  output(200, R"({"entries":[],"current_index":"cursor/7"})");
  job("completed");
  poll_job("j", options({.poll_interval = 0}));
  EXPECT_EQ(server.requests().back().target, "/v1/jobs/j/output?offset=cursor%2F7");
}

TEST_F(PollTest, NoKeyFailsBeforeAnyRequest) {
  env.set("GATEWAY_API_KEY", "");
  EXPECT_THROW(poll_job("j", {.api_url = server.url(), .out = &out, .clock = &clock}),
               std::runtime_error);
  EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(PollTest, LongPollSavesThePauseOnlyWhenTheServiceWaitedOrBroughtOutput) {
  job("running");
  output(200, R"({"entries":[{"content":"a"}],"current_index":1,"wait":30})");
  job("running");
  output(200, R"({"entries":[],"current_index":1})");  // a service without long polls
  job("running");
  output(200, R"({"entries":[],"current_index":1,"wait":30})");  // back at once, empty
  job("running");
  output(200, R"({"entries":[{"content":"b"}],"current_index":2,"more":true,"wait":30})");
  output(200, R"({"entries":[{"content":"c"}],"current_index":3})");
  job("completed");
  poll_job("j", options({.poll_interval = 1.5, .long_poll = 30}));
  EXPECT_EQ(out.str(), "abc");
  EXPECT_EQ(clock.sleeps, (std::vector<double>{1.5, 1.5}));
  std::vector<std::string> outputs;
  for (const auto& t : targets()) {
    if (t.find("/output") != std::string::npos) outputs.push_back(t.substr(t.find('?')));
  }
  // Only the first page of a read waits.
  EXPECT_EQ(outputs, (std::vector<std::string>{"?offset=0&wait=30", "?offset=1&wait=30",
                                                "?offset=1&wait=30", "?offset=1&wait=30",
                                                "?offset=2", "?offset=3&wait=30"}));
}

TEST_F(PollTest, AServiceAwayIsTriedAgainForAWhileAndTheLogGoesOnWhereItWas) {
  job("running");
  output(200, R"({"entries":[{"content":"a"}],"current_index":1})");
  status(503, "restarting");
  status(502, "bad gateway");
  job("running");
  output(200, R"({"entries":[{"content":"b"}],"current_index":2})");
  status(504, "");
  job("completed");
  output(200, R"({"entries":[{"content":"c"}],"current_index":3})");
  EXPECT_EQ(poll_job("j", options({.poll_interval = 1, .reconnect_for = 60}))["status"], "completed");
  EXPECT_EQ(out.str(), "abc");
  // The back-off starts afresh once the service answers.
  EXPECT_EQ(clock.sleeps, (std::vector<double>{1, 0.25, 0.5, 1, 0.25}));

  // Past the time allowed, the failure is the one of a single request.
  clock.sleeps.clear();
  for (int i = 0; i < 4; ++i) status(503, "restarting");
  EXPECT_THROW(poll_job("j", options({.reconnect_for = 1})), ExecutionError);
  EXPECT_EQ(clock.sleeps, (std::vector<double>{0.25, 0.5, 0.25}));
  status(503, "restarting");
  EXPECT_THROW(poll_job("j", options()), ExecutionError);  // not asked: no retry

  // No service at all: a refused connection is tried again as long.
  clock.sleeps.clear();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), size), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  const std::string closed = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  EXPECT_THROW(poll_job("j", options({.api_url = closed, .reconnect_for = 1})), TransportError);
  close(fd);
  EXPECT_EQ(clock.sleeps, (std::vector<double>{0.25, 0.5, 0.25}));
}

TEST_F(PollTest, SingleRequestsForTheHost) {
  Endpoint endpoint{.api_url = server.url(), .api_key = "k"};
  status(200, R"({"status":"running","progress":0.5})");
  EXPECT_EQ(fetch_job_status(endpoint, "j")["progress"], 0.5);
  status(404, "gone");
  EXPECT_THROW(fetch_job_status(endpoint, "j"), ExecutionError);
  EXPECT_EQ(server.request_count(), 2u);  // no retry

  output(200, R"({"entries":[{"content":"a"}],"current_index":1,"more":true})");
  output(200, R"({"entries":[{"content":"b"}],"current_index":2})");
  EXPECT_EQ(fetch_job_output(endpoint, "j", 0, out), json(2));
  EXPECT_EQ(out.str(), "ab");
  output(403, "no");
  EXPECT_THROW(fetch_job_output(endpoint, "j", 0, out), ExecutionError);
}

}  // namespace
}  // namespace pelmora
