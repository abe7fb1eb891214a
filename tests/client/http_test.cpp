#include "agent/client/http.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/fakes/test_http_server.h"

namespace pelmora {
namespace {

using testing::TestHttpServer;

TEST(PercentEncode, KeepsUnreservedAndEscapesEveryOtherByte) {
  EXPECT_EQ(percent_encode("Az09-._~"), "Az09-._~");
  EXPECT_EQ(percent_encode("a b/c?d#e%f&g=h+"), "a%20b%2Fc%3Fd%23e%25f%26g%3Dh%2B");
  EXPECT_EQ(percent_encode(std::string("\n\0\x7F", 3)), "%0A%00%7F");
  EXPECT_EQ(percent_encode("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(percent_encode(""), "");
}

TEST(EncodePathSegment, DotSegmentsCannotClimb) {
  EXPECT_EQ(encode_path_segment("."), "%2E");
  EXPECT_EQ(encode_path_segment(".."), "%2E%2E");
  EXPECT_EQ(encode_path_segment("..."), "...");
  EXPECT_EQ(encode_path_segment("job-7f3a_x.y~Z"), "job-7f3a_x.y~Z");
  EXPECT_EQ(encode_path_segment("../x"), "..%2Fx");
}

TEST(HttpRequest, SendsMethodHeadersAndBodyAndReturnsAnyStatus) {
  TestHttpServer server;
  server.reply(418, "teapot", {{"Retry-After", "7"}});
  server.reply(204, "");
  HttpResponse response = http_request({.method = "POST",
                                        .url = server.url() + "/p?q=1",
                                        .headers = {{"Authorization", "Bearer k"},
                                                    {"Content-Type", "application/json"}},
                                        .body = std::string(5000, 'x'),
                                        .timeout_seconds = 10});
  EXPECT_EQ(response.status, 418);
  EXPECT_EQ(response.body, "teapot");
  EXPECT_EQ(response.header("retry-after"), "7");
  EXPECT_EQ(response.header("X-None"), std::nullopt);

  HttpResponse deleted = http_request({.method = "DELETE", .url = server.url() + "/d"});
  EXPECT_EQ(deleted.status, 204);

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/p?q=1");
  EXPECT_EQ(requests[0].body, std::string(5000, 'x'));
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer k");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_FALSE(requests[0].has_header("Expect"));
  EXPECT_EQ(requests[1].method, "DELETE");
}

TEST(HttpRequest, AnswersBeyondTheCapAreTransportErrors) {
  TestHttpServer server;
  server.reply(200, std::string(5000, 'x'));
  server.reply(200, std::string(5000, 'x'));
  EXPECT_EQ(http_request({.url = server.url() + "/a", .max_answer_bytes = 5000}).body.size(), 5000u);
  try {
    http_request({.url = server.url() + "/b", .max_answer_bytes = 4999});
    ADD_FAILURE() << "no error";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("larger than 4999 bytes"), std::string::npos) << e.what();
  }
}

TEST(HttpRequest, RedirectIsReturnedNotFollowed) {
  TestHttpServer server;
  server.reply(302, "moved", {{"Location", "/elsewhere"}});
  HttpResponse response = http_request({.url = server.url() + "/a"});
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(server.request_count(), 1u);
}

TEST(HttpRequest, ServerThatNeverAnswersTimesOut) {
  TestHttpServer server;
  server.reply(server.hang());
  auto start = std::chrono::steady_clock::now();
  try {
    http_request({.url = server.url() + "/slow", .timeout_seconds = 0.3});
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.curl_code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_NE(std::string(e.what()).find("imed out"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HttpRequest, WhileWaitingRunsDuringASlowAnswerAndMayThrow) {
  TestHttpServer server;
  auto slow = [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    res.status = 200;
    res.set_content("late", "text/plain");
  };
  server.reply(slow);
  server.reply(slow);
  int calls = 0;
  HttpResponse response = http_request(
      {.url = server.url() + "/slow", .timeout_seconds = 10, .while_waiting = [&] { ++calls; }});
  EXPECT_EQ(response.body, "late");
  EXPECT_GE(calls, 1);

  // A hook that throws does not unwind through libcurl: the answer still comes.
  int thrown = 0;
  HttpResponse again = http_request({.url = server.url() + "/slow",
                                     .timeout_seconds = 10,
                                     .while_waiting = [&] {
                                       ++thrown;
                                       throw std::runtime_error("hook");
                                     }});
  EXPECT_EQ(again.status, 200);
  EXPECT_GE(thrown, 1);
}

// A loopback port on which nobody listens.
int _closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(HttpRequest, TransportFailuresCarryCurlText) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(_closed_port()) + "/x";
  try {
    http_request({.url = refused, .timeout_seconds = 5});
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.curl_code, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  // No scheme and host: libcurl leaves its error buffer empty; its text for the code is used.
  try {
    http_request({.url = "/v1/jobs/submit/code"});
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.curl_code, CURLE_URL_MALFORMAT);
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  // Only http and https.
  EXPECT_THROW(http_request({.url = "file:///etc/passwd"}), TransportError);
  EXPECT_THROW(http_request({.url = "ftp://127.0.0.1/"}), TransportError);
}

// A self-signed certificate for 127.0.0.1, made with the openssl command.
class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pelmora-tls-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    cert_ = (dir_ / "cert.pem").string();
    key_ = (dir_ / "key.pem").string();
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key_ + "' -out '" + cert_ +
        "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !std::filesystem::exists(cert_)) {
      GTEST_SKIP() << "the openssl command is missing or failed; cannot make a certificate";
    }
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
  std::string cert_;
  std::string key_;
};

TEST_F(TlsTest, VerifiedThroughGivenCaFileAndRefusedWithout) {
  TestHttpServer server(std::make_unique<httplib::SSLServer>(cert_.c_str(), key_.c_str()),
                        "https");
  server.fallback([](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  HttpResponse response =
      http_request({.url = server.url() + "/v1/jobs/x", .timeout_seconds = 10, .ca_file = cert_});
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "{}");

  try {
    http_request({.url = server.url() + "/v1/jobs/x", .timeout_seconds = 10});
    FAIL() << "an unknown certificate was accepted";
  } catch (const TransportError& e) {
    EXPECT_EQ(e.curl_code, CURLE_PEER_FAILED_VERIFICATION) << e.what();
  }
  EXPECT_EQ(server.request_count(), 1u);
}

}  // namespace
}  // namespace pelmora
