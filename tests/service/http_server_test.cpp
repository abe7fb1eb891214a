// The job service's HTTP layer against hostile clients, over raw loopback sockets: slow and
// idle connections, bodies and headers beyond the limits whatever their framing, a POST
// without a body, and request lines that try to forge log lines.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "service/log.h"
#include "service_fixture.h"
#include "tests/fakes/fake_runner.h"

namespace pelmora::service {
namespace {

using testing::RunningService;
using testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

int port_of(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

// Sends what the peer takes of `data`; stops at the first refusal (the peer closed).
void send_some(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// What arrives until the peer closes, or 20 s pass.
std::string read_all(int fd) {
  std::string got;
  char buffer[4096];
  for (int i = 0; i < 400; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) == 0) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// One raw exchange on a fresh connection: `request` out, the answer until the peer closes.
std::string exchange(const std::string& url, const std::string& request) {
  int fd = connect_to(port_of(url));
  send_some(fd, request);
  std::string answer = read_all(fd);
  close(fd);
  return answer;
}

class HttpLayerTest : public ::testing::Test {
 protected:
  ServiceOptions options() {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = 1;
    o.limits.max_body = 4096;
    o.make_runner = [](RunnerEvents& events) {
      return std::make_unique<pelmora::testing::FakeRunner>(events);
    };
    return o;
  }
  TempDir dir;
};

TEST_F(HttpLayerTest, SlowAndIdleConnectionsDoNotBlockOthers) {
  RunningService service(options());
  std::vector<int> slow;
  for (int i = 0; i < 400; ++i) {
    slow.push_back(connect_to(port_of(service.url())));
    // Half send the start of a request and stop; half send nothing.
    if (i % 2 == 0) send_some(slow.back(), "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Slow: a");
  }
  for (int round = 0; round < 3; ++round) {
    auto res = testing::raw_get(service.url(), "/v1/health", service.key());
    ASSERT_TRUE(res) << "round " << round;
    EXPECT_EQ(res->status, 200);
    for (std::size_t i = 0; i < slow.size(); i += 2) send_some(slow[i], "a");
  }
  for (int fd : slow) close(fd);
}

TEST_F(HttpLayerTest, BodiesPastTheLimitGet413WhateverTheFraming) {
  RunningService service(options());
  const std::string head = "POST /v1/jobs/submit/code HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                           service.key() + "\r\nContent-Type: application/json\r\n";
  std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 8; ++i) chunked += "400\r\n" + std::string(1024, ' ') + "\r\n";
  std::string answer = exchange(service.url(), chunked);  // no last chunk: the answer comes first
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 413"));
  EXPECT_THAT(answer, HasSubstr("at most 4096 bytes"));
  // Without a key too.
  std::string anonymous = "POST /v1/jobs/submit/code HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  anonymous += "2000\r\n" + std::string(8192, '[') + "\r\n";
  EXPECT_THAT(exchange(service.url(), anonymous), StartsWith("HTTP/1.1 413"));
  // Within the limit, chunks make one body.
  std::string body = R"({"code": "print(1)\n"})";
  std::string small = head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + "5\r\n" +
                      body.substr(0, 5) + "\r\n" + "11\r\n" + body.substr(5) + "\r\n0\r\n\r\n";
  EXPECT_THAT(exchange(service.url(), small), StartsWith("HTTP/1.1 200"));
}

TEST_F(HttpLayerTest, HeadersBeyondTheCapAreRefusedWithoutBeingKept) {
  RunningService service(options());
  std::string request = "GET /v1/health HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 20000; ++i) request += "X-Flood: " + std::to_string(i) + "\r\n";
  request += "\r\n";
  EXPECT_THAT(exchange(service.url(), request), StartsWith("HTTP/1.1 431"));
  EXPECT_THAT(exchange(service.url(), "GET /v1/" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n"),
              StartsWith("HTTP/1.1 414"));
  EXPECT_EQ(testing::raw_get(service.url(), "/v1/health", service.key())->status, 200);
}

TEST_F(HttpLayerTest, PostWithoutABodyCancelsAtOnce) {
  RunningService service(options());
  std::string id = testing::submit_raw(service.url(), service.key(), "hold\n");
  std::string answer = exchange(service.url(), "POST /v1/jobs/" + id + "/cancel HTTP/1.1\r\nHost: x\r\n"
                                               "Authorization: Bearer " + service.key() +
                                               "\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(answer, StartsWith("HTTP/1.1 200"));
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), id)["status"], "cancelled");
}

TEST_F(HttpLayerTest, WhatAClientSendsCannotForgeLogLines) {
  std::ostringstream log;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
  service_logger()->sinks().push_back(sink);
  {
    RunningService service(options());
    exchange(service.url(), "GET /v1/x%0a2026-01-01%20forged%1b[2J HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    exchange(service.url(), "GET /v1/\x1b[31mred HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  }
  service_logger()->sinks().pop_back();
  std::string text = log.str();
  EXPECT_THAT(text, HasSubstr("GET /v1/x\\x0a2026-01-01 forged\\x1b[2J 404"));
  EXPECT_THAT(text, Not(HasSubstr("\n2026-01-01 forged")));
  EXPECT_THAT(text, Not(HasSubstr("\x1b")));
}

}  // namespace
}  // namespace pelmora::service
