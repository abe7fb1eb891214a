// submit_code against a scripted loopback server.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <spdlog/sinks/ostream_sink.h>

#include "agent/bundle/bundle.h"
#include "agent/client/client.h"
#include "agent/client/http.h"
#include "agent/platform/logger.h"
#include "agent/client/errors.h"
#include "tests/client/client_test_support.h"
#include "tests/fakes/test_http_server.h"

namespace pelmora {
namespace {

using nlohmann::json;
using testing::EnvGuard;
using testing::TestHttpServer;

class SubmitTest : public ::testing::Test {
 protected:
  SubmitOptions options(SubmitOptions o = {}) {
    if (!o.api_key) o.api_key = "sk-test";
    if (!o.api_url) o.api_url = server.url();
    return o;
  }
  // The one request made, with its body decoded.
  testing::RecordedRequest only_request() {
    auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? testing::RecordedRequest{} : requests[0];
  }

  EnvGuard env;
  TestHttpServer server;
};

TEST_F(SubmitTest, BodyMembersInOrderWithEmptyResources) {
  server.reply(200, R"({"job_id":"job-1","extra":[1,2]})");
  json answer = submit_code("print('hi')\n", options());
  EXPECT_EQ(answer, json::parse(R"({"job_id":"job-1","extra":[1,2]})"));

  auto request = only_request();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1/jobs/submit/code");
  EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.body,
            R"({"code":"print('hi')\n","file_path":null,"resources":{},"fast":false})");
}

TEST_F(SubmitTest, ResourcesOnlyUnderTheirConditions) {
  server.reply(200, "{}");
  server.reply(200, "{}");
  server.reply(200, "{}");
  submit_code("x", options({.fast = true, .gpu = "A100", .cpu = 4, .memory = "16Gi"}));
  submit_code("x", options({.gpu = "", .cpu = 0, .memory = ""}));
  submit_code("x", options({.cpu = -2, .priority = true, .flexible = false}));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].body,
            R"({"code":"x","file_path":null,"resources":{"gpu":"A100","cpu":4,"memory":"16Gi"},"fast":true})");
  EXPECT_EQ(requests[1].body, R"({"code":"x","file_path":null,"resources":{},"fast":false})");
  EXPECT_EQ(requests[2].body,
            R"({"code":"x","file_path":null,"resources":{"cpu":-2},"fast":false})");
}

TEST_F(SubmitTest, FilePathSentAsGivenAndEmptyPathSkipsBundling) {
  server.reply(200, "{}");
  server.reply(200, "{}");
  submit_code("x = 1\n", options({.file_path = ""}));
  const std::string path = std::string(PELMORA_TEST_DATA_DIR) + "/client/no_such_dir/job.py";
  submit_code("x = 1\n", options({.file_path = path}));
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(json::parse(requests[0].body)["file_path"], "");
  EXPECT_EQ(json::parse(requests[0].body)["code"], "x = 1\n");
  EXPECT_EQ(json::parse(requests[1].body)["file_path"], path);
}

TEST_F(SubmitTest, LocalModulesAreBundledIn) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("pelmora-submit-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "helper_mod.py") << "VALUE = 1\n";
  const std::string code = "import helper_mod\nprint(helper_mod.VALUE)\n";
  const std::string path = (dir / "job.py").string();
  server.reply(200, "{}");
  submit_code(code, options({.file_path = path}));
  std::filesystem::remove_all(dir);
  const json body = json::parse(only_request().body);
  EXPECT_NE(body["code"], code);
  EXPECT_NE(body["code"].get<std::string>().find("VALUE = 1"), std::string::npos);
  EXPECT_EQ(body["file_path"], path);
}

TEST_F(SubmitTest, BundlingFailureIsLoggedAndTheCodeGoesAlone) {
  // A relative script path cannot be resolved once the working directory is gone.
  const int cwd = ::open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(cwd, 0);
  char gone[] = "/tmp/pelmora-gone-XXXXXX";
  ASSERT_NE(::mkdtemp(gone), nullptr);
  ASSERT_EQ(::chdir(gone), 0);
  ::rmdir(gone);

  std::ostringstream log;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
  sink->set_pattern("%l %v");
  agent_logger()->sinks().push_back(sink);
  const std::string code = "import helper_mod\n";
  server.reply(200, "{}");
  EXPECT_NO_THROW(submit_code(code, options({.file_path = "job.py"})));
  agent_logger()->sinks().pop_back();
  EXPECT_EQ(::fchdir(cwd), 0);
  ::close(cwd);

  const json body = json::parse(only_request().body);
  EXPECT_EQ(body["code"], code);
  EXPECT_EQ(body["file_path"], "job.py");
  const std::string records = log.str();
  EXPECT_TRUE(records.starts_with("warning Failed to bundle local modules: ")) << records;
  EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 1);
}

TEST_F(SubmitTest, TheProjectFormSendsTheProjectAndTheModuleBundleSaysWhatItCannotCarry) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("pelmora-submit-project-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "pkg");
  std::ofstream(dir / "pkg" / "__init__.py") << "from .core import VALUE\n";
  std::ofstream(dir / "pkg" / "core.py") << "VALUE = 1\n";
  const std::string code = "import pkg\nprint(pkg.VALUE)\n";
  const std::string path = (dir / "job.py").string();
  std::ofstream(path) << code;

  std::ostringstream log;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log);
  sink->set_pattern("%l %v");
  agent_logger()->sinks().push_back(sink);
  server.reply(200, "{}");
  server.reply(200, "{}");
  submit_code(code, options({.file_path = path}));
  submit_code(code, options({.file_path = path,
                             .project = ProjectForm{.cwd = dir.string(), .args = {"-n", "2"}}}));
  agent_logger()->sinks().pop_back();
  // A project that cannot be built sends nothing.
  std::ofstream(dir / ".gitignore") << "core.py\n";
  EXPECT_THROW(submit_code(code, options({.file_path = path, .project = ProjectForm{.cwd = dir.string()}})),
               ProjectError);
  std::filesystem::remove_all(dir);

  EXPECT_EQ(log.str(),
            "warning the module bundle cannot carry this script as it runs in place (package 'pkg' "
            "uses relative imports); use --project to ship the project's files\n");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const json body = json::parse(requests[1].body);
  EXPECT_TRUE(body["code"].get<std::string>().starts_with("# pelmora project bundle"));
  EXPECT_TRUE(body["code"].get<std::string>().ends_with(
      "_pelmora_run(b'" + dir.filename().string() + "', b'job.py', [b'-n', b'2'])\n"));
  EXPECT_EQ(body["file_path"], path);
}

TEST_F(SubmitTest, BaseUrlJoinedAsPlainText) {
  server.reply(200, "{}");
  submit_code("x", options({.api_url = server.url() + "/"}));
  EXPECT_EQ(only_request().target, "//v1/jobs/submit/code");

  // An empty base URL leaves the bare path, which cannot be sent.
  env.set("PELMORA_API_URL", "");
  EXPECT_THROW(submit_code("x", {.api_key = "k"}), TransportError);
  EXPECT_EQ(server.request_count(), 1u);
}

TEST_F(SubmitTest, KeyAndUrlFromTheEnvironment) {
  server.reply(200, "{}");
  env.set("PELMORA_API_KEY", "from-env");
  env.set("PELMORA_API_URL", server.url());
  submit_code("x", {.api_key = ""});
  EXPECT_EQ(only_request().header("Authorization"), "Bearer from-env");
}

TEST_F(SubmitTest, NoKeyFailsBeforeAnyRequest) {
  env.set("GATEWAY_API_KEY", "");
  try {
    submit_code("x", {.api_url = server.url()});
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No API key.  Pass api_key= or set PELMORA_API_KEY env var.");
  }
  EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(SubmitTest, RefusalsBecomeServiceErrors) {
  server.reply(401, R"({"detail":"bad key"})");
  EXPECT_THROW(
      {
        try {
          submit_code("x", options());
        } catch (const InvalidAPIKeyError& e) {
          EXPECT_STREQ(e.what(), "Invalid API key.");
          throw;
        }
      },
      InvalidAPIKeyError);

  server.reply(402, R"({"required": 12.5})");
  try {
    submit_code("x", options());
    FAIL() << "no error";
  } catch (const InsufficientCreditsError& e) {
    EXPECT_EQ(e.required, json(12.5));
    EXPECT_EQ(e.available, json(0));
    EXPECT_STREQ(e.what(), "Insufficient credits (required 12.5, available 0)");
  }

  server.reply(402, R"({"required": "lots", "available": null})");
  try {
    submit_code("x", options());
    FAIL() << "no error";
  } catch (const InsufficientCreditsError& e) {
    EXPECT_EQ(e.required, json("lots"));
    EXPECT_EQ(e.available, json(nullptr));
  }

  server.reply(429, "slow down", {{"Retry-After", "30"}});
  try {
    submit_code("x", options());
    FAIL() << "no error";
  } catch (const RateLimitError& e) {
    EXPECT_EQ(e.retry_after, std::nullopt);
    EXPECT_STREQ(e.what(), "Rate limited");
  }
}

TEST_F(SubmitTest, OtherStatusesCarryTheBodyWhole) {
  auto message = [&](int status, std::string body, httplib::Headers headers = {}) {
    server.reply(status, std::move(body), std::move(headers));
    try {
      submit_code("x", options());
    } catch (const ExecutionError& e) {
      return std::string(e.what());
    }
    return std::string("no ExecutionError");
  };
  EXPECT_EQ(message(201, R"({"job_id":"j"})"), R"(Submission failed (201): {"job_id":"j"})");
  EXPECT_EQ(message(500, ""), "Submission failed (500): ");
  EXPECT_EQ(message(302, "  moved \n", {{"Location", "/v1/jobs/submit/elsewhere"}}),
            "Submission failed (302):   moved \n");
  EXPECT_EQ(server.request_count(), 3u);  // the redirect was not followed
}

TEST_F(SubmitTest, AnswersThatAreNotAnObject) {
  server.reply(402, "[1, 2]");
  EXPECT_THROW(submit_code("x", options()), json::type_error);
  server.reply(402, "not json");
  EXPECT_THROW(submit_code("x", options()), json::parse_error);
  server.reply(200, "{oops");
  EXPECT_THROW(submit_code("x", options()), json::parse_error);
  server.reply(200, "[\"job\"]");
  EXPECT_THROW(submit_code("x", options()), json::type_error);
  server.reply(200, "null");
  EXPECT_TRUE(submit_code("x", options()).is_null());
}

TEST_F(SubmitTest, TextThatIsNotUtf8IsSentWithReplacementCharacters) {
  server.reply(200, "{}");
  submit_code("s = '\xFF'\n", options());
  EXPECT_EQ(json::parse(only_request().body)["code"], "s = '\xEF\xBF\xBD'\n");
}

TEST_F(SubmitTest, TimeOutAndRefusedConnectionAreTransportErrors) {
  server.reply(server.hang());
  EXPECT_THROW(submit_code("x", options({.transport = {.timeout_scale = 0.005}})), TransportError);

  std::string refused;
  {
    TestHttpServer gone;
    refused = gone.url();
  }
  EXPECT_THROW(submit_code("x", options({.api_url = refused})), TransportError);
}

}  // namespace
}  // namespace pelmora
