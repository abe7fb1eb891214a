// JobClient's status mapping, and cancel, list and health against a loopback server.
#include "agent/client/job_client.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "agent/client/errors.h"
#include "agent/client/http.h"
#include "tests/fakes/test_http_server.h"

namespace pelmora {
namespace {

using nlohmann::json;
using testing::TestHttpServer;

struct KindCase {
  long status;
  ServiceErrorKind kind;
};

class ServiceErrorKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ServiceErrorKindTest, MapsTheStatus) {
  EXPECT_EQ(service_error_kind(GetParam().status), GetParam().kind) << GetParam().status;
  const JobServiceError error("Failed to list jobs", GetParam().status, "b\nody");
  EXPECT_EQ(error.kind(), GetParam().kind);
  EXPECT_EQ(std::string(error.what()),
            "Failed to list jobs (" + std::to_string(GetParam().status) + "): b\nody");
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ServiceErrorKindTest,
    ::testing::Values(KindCase{200, ServiceErrorKind::ok},
                      KindCase{401, ServiceErrorKind::invalid_api_key},
                      KindCase{402, ServiceErrorKind::insufficient_credits},
                      KindCase{404, ServiceErrorKind::not_found},
                      KindCase{429, ServiceErrorKind::rate_limited},
                      KindCase{400, ServiceErrorKind::rejected},
                      KindCase{403, ServiceErrorKind::rejected},
                      KindCase{499, ServiceErrorKind::rejected},
                      KindCase{201, ServiceErrorKind::failed},
                      KindCase{302, ServiceErrorKind::failed},
                      KindCase{500, ServiceErrorKind::failed},
                      KindCase{503, ServiceErrorKind::unavailable},
                      KindCase{502, ServiceErrorKind::unavailable},
                      KindCase{0, ServiceErrorKind::failed}),
    [](const ::testing::TestParamInfo<KindCase>& param_info) {
      return "Status" + std::to_string(param_info.param.status);
    });

class JobClientTest : public ::testing::Test {
 protected:
  TestHttpServer server;
  JobClient client{{.api_url = server.url(), .api_key = "sk-test", .transport = {}}};
};

TEST_F(JobClientTest, CancelPostsToTheJobAndMapsRefusals) {
  server.reply(200, R"({"job_id":"a/b","status":"cancelled"})");
  client.cancel("a/b");
  const auto request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1/jobs/a%2Fb/cancel");
  EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
  EXPECT_EQ(request.body, "{}");

  server.reply(404, R"({"error":"no such job"})");
  try {
    client.cancel("gone");
    ADD_FAILURE() << "no error";
  } catch (const JobServiceError& e) {
    EXPECT_EQ(e.kind(), ServiceErrorKind::not_found);
    EXPECT_EQ(e.status, 404);
    EXPECT_EQ(e.body, R"({"error":"no such job"})");
  }
}

TEST_F(JobClientTest, AnswersThatAreNotWhatTheyClaimAreRefused) {
  // A 200 to a cancel that is not the job's status document.
  for (const char* body : {"garbage", "{}", R"({"status": 1})", R"({"job_id":"other","status":"cancelled"})"}) {
    server.reply(200, body);
    EXPECT_THROW(client.cancel("mine"), std::runtime_error) << body;
  }
  server.reply(200, R"({"job_id":"mine","status":"running"})");
  EXPECT_EQ(client.cancel("mine")["status"], "running");
  // Nesting deep enough to exhaust a stack is a parse error, not a crash.
  server.reply(200, std::string(200000, '[') + std::string(200000, ']'));
  EXPECT_THROW(client.status("j"), json::parse_error);
}

TEST_F(JobClientTest, ListReturnsTheServicesAnswerOrRefusesWhatIsNotAList) {
  server.reply(200, R"({"jobs":[{"job_id":"j1"}]})");
  EXPECT_EQ(client.list(5), json::parse(R"({"jobs":[{"job_id":"j1"}]})"));
  EXPECT_EQ(server.requests().at(0).target, "/v1/jobs?limit=5");

  for (const char* body : {"[]", R"({"jobs":{}})", "not json"}) {
    server.reply(200, body);
    EXPECT_THROW(client.list(5), std::runtime_error) << body;
  }
  server.reply(401, "no");
  try {
    client.list(5);
    ADD_FAILURE() << "no error";
  } catch (const JobServiceError& e) {
    EXPECT_EQ(e.kind(), ServiceErrorKind::invalid_api_key);
  }
}

TEST_F(JobClientTest, HealthIsTrueOnlyFor200AndTransportErrorsStayApart) {
  server.reply(200, "{}");
  EXPECT_TRUE(client.health());
  EXPECT_EQ(server.requests().at(0).target, "/v1/health");
  server.reply(401, "");
  EXPECT_FALSE(client.health());
  server.reply(503, "");
  EXPECT_FALSE(client.health());

  std::string refused;
  {
    TestHttpServer gone;
    refused = gone.url();
  }
  const JobClient nowhere({.api_url = refused, .api_key = "k", .transport = {}});
  EXPECT_THROW(nowhere.health(1.0), TransportError);
}

}  // namespace
}  // namespace pelmora
