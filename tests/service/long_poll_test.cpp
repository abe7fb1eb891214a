// The output request's long poll (&wait=S): it waits for output or the job's end without a
// thread of the server, and a request without "wait" is answered as before.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include <gtest/gtest.h>

#include "agent/platform/data_dir.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::TempDir;
using testing::body_of;
using testing::raw_get;
using testing::raw_post;
using testing::submit_raw;

class LongPollTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
    service = std::make_unique<testing::RunningService>(
        ServiceOptions{.data_dir = dir.path() + "/data", .max_jobs = 2});
  }

  json health() { return body_of(raw_get(service->url(), "/v1/health", service->key())); }

  // Waits until `count` output requests wait at the service.
  void await_waiting(std::size_t count) {
    for (int i = 0; i < 3000 && health()["output_waiting"] != count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(health()["output_waiting"], count);
  }

  std::string output_path(const std::string& id, const std::string& query) {
    return "/v1/jobs/" + id + "/output?" + query;
  }

  TempDir dir;
  std::unique_ptr<testing::RunningService> service;
};

// A job that prints "first", then "second" once the file "go" exists in its directory, then
// ends.
constexpr const char* kTriggeredJob =
    "import os, time\nprint('first', flush=True)\n"
    "while not os.path.exists('go'):\n    time.sleep(0.01)\n"
    "print('second', flush=True)\n";

TEST_F(LongPollTest, WaitsForOutputThenForTheEndAndLeavesOtherRequestsAlone) {
  const std::string url = service->url(), key = service->key();
  const std::string id = submit_raw(url, key, kTriggeredJob);
  const std::string trigger = jobs_dir(service->data_dir()) + "/" + id + "/go";
  // The first line, asked for with a wait: answered as soon as it is stored.
  json first = body_of(raw_get(url, output_path(id, "offset=0&wait=30"), key));
  ASSERT_EQ(first["entries"].size(), 1u);
  EXPECT_EQ(first["entries"][0]["content"], "first\n");
  EXPECT_EQ(first["wait"], 30.0);

  // Without "wait", today's answer: at once, the same members, no "wait".
  json plain = body_of(raw_get(url, output_path(id, "offset=1"), key));
  EXPECT_EQ(plain, (json{{"entries", json::array()}, {"current_index", 1}, {"more", false},
                         {"status", "running"}}));
  // wait=0 answers at once too, and says it may wait.
  EXPECT_EQ(body_of(raw_get(url, output_path(id, "offset=1&wait=0"), key))["wait"], 0.0);

  // A wait past the cap is cut to it; the request waits, and the rest of the service answers.
  auto waiting = std::async(std::launch::async, [&] {
    return raw_get(url, output_path(id, "offset=1&wait=100000"), key);
  });
  await_waiting(1);
  EXPECT_EQ(raw_get(url, "/v1/jobs/" + id, key)->status, 200);
  std::ofstream(trigger).put('x');
  auto second = waiting.get();
  ASSERT_TRUE(second);
  json page = body_of(second);
  ASSERT_EQ(page["entries"].size(), 1u);
  EXPECT_EQ(page["entries"][0]["content"], "second\n");
  EXPECT_EQ(page["wait"], 60.0);

  // Past the last line of a job that ended: answered at once with its end.
  testing::wait_for_end(url, key, id);
  json end = body_of(raw_get(url, output_path(id, "offset=2&wait=60"), key));
  EXPECT_EQ(end["entries"], json::array());
  EXPECT_EQ(end["status"], "completed");
  EXPECT_EQ(health()["output_waiting"], 0);
}

TEST_F(LongPollTest, BadWaitsAndOtherKeysAreRefusedAsTheOutputRequestIs) {
  const std::string url = service->url(), key = service->key();
  const std::string id = submit_raw(url, key, "print('x')\n");
  for (const char* wait : {"", "-1", "abc", "1e3", ".5", "5.", "1.2.3", "nan", "0x10",
                           "1234567890123456789"}) {
    auto res = raw_get(url, output_path(id, std::string("offset=0&wait=") + wait), key);
    EXPECT_EQ(res->status, 400) << wait;
    EXPECT_TRUE(body_of(res).contains("error")) << wait;
  }
  EXPECT_EQ(raw_get(url, output_path(id, "wait=0.25"), key)->status, 200);
  EXPECT_EQ(raw_get(url, output_path(id, "wait=5"), "")->status, 401);
  EXPECT_EQ(raw_get(url, output_path("job-00000000000000000000000000000000", "wait=5"), key)->status,
            404);
}

// Sends a long poll on a raw socket and returns the socket.
int send_long_poll(int port, const std::string& path, const std::string& key) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                        key + "\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything the peer sends until it closes.
std::string read_all(int fd) {
  std::string text;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 30000) > 0) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

TEST_F(LongPollTest, AThousandWaitingFollowersHoldNoThreadAndAllHearTheEnd) {
  const std::string url = service->url(), key = service->key();
  const int port = testing::port_of(url);
  const std::string id = submit_raw(url, key, "import time\ntime.sleep(600)\n");
  constexpr int kFollowers = 1000;
  std::vector<int> fds;
  for (int i = 0; i < kFollowers; ++i) {
    int fd = send_long_poll(port, "/v1/jobs/" + id + "/output?offset=0&wait=60", key);
    ASSERT_GE(fd, 0) << "follower " << i << ": " << std::strerror(errno);
    fds.push_back(fd);
  }
  await_waiting(kFollowers);
  // The server's four threads are free: other requests, and a submission, are answered.
  EXPECT_EQ(raw_get(url, "/v1/jobs", key)->status, 200);
  const std::string other = submit_raw(url, key, "print('meanwhile')\n");
  EXPECT_EQ(testing::wait_for_end(url, key, other)["status"], "completed");

  // A cancel ends the job, and every follower gets its answer.
  EXPECT_EQ(raw_post(url, "/v1/jobs/" + id + "/cancel", key, "{}")->status, 200);
  int answered = 0;
  for (int fd : fds) {
    std::string answer = read_all(fd);
    close(fd);
    if (answer.starts_with("HTTP/1.1 200") && answer.find("\"cancelled\"") != std::string::npos) {
      ++answered;
    }
  }
  EXPECT_EQ(answered, kFollowers);
  EXPECT_EQ(health()["output_waiting"], 0);
}

TEST_F(LongPollTest, AStoppingServiceAnswersItsWaitingRequests) {
  const std::string url = service->url(), key = service->key();
  const int port = testing::port_of(url);
  const std::string id = submit_raw(url, key, "import time\ntime.sleep(600)\n");
  int fd = send_long_poll(port, "/v1/jobs/" + id + "/output?offset=0&wait=60", key);
  ASSERT_GE(fd, 0);
  await_waiting(1);
  service->stop();
  std::string answer = read_all(fd);
  close(fd);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
  EXPECT_NE(answer.find("\"entries\":[]"), std::string::npos) << answer;
}

}  // namespace
}  // namespace pelmora::service
