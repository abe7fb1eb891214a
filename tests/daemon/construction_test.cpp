// AgentDaemon construction: key and URL resolution, options kept as given, the scanner's
// thresholds, and the OffloadRecord defaults.
#include <cmath>

#include <gtest/gtest.h>

#include "agent/client/config.h"
#include "tests/daemon/daemon_harness.h"

namespace pelmora::testing {
namespace {

struct Env {
  std::optional<std::string> pelmora_key;
  std::optional<std::string> gateway_key;
  std::optional<std::string> url;
};

class ConstructionTest : public ::testing::Test {
 protected:
  // Builds a daemon under exactly this environment.
  std::unique_ptr<AgentDaemon> make(const Env& env, AgentOptions options = {}) {
    ScopedEnv a("PELMORA_API_KEY", env.pelmora_key);
    ScopedEnv b("GATEWAY_API_KEY", env.gateway_key);
    ScopedEnv c("PELMORA_API_URL", env.url);
    return std::make_unique<AgentDaemon>(std::move(options), AgentPlatform{.process_table = &table});
  }
  FakeProcessTable table;
};

TEST_F(ConstructionTest, ApiKeyFromArgumentThenEnvironment) {
  EXPECT_EQ(make({"env-key", "gw-key", {}}, {.api_key = "arg-key"})->api_key, "arg-key");
  // An empty argument counts as absent.
  EXPECT_EQ(make({"env-key", "gw-key", {}}, {.api_key = ""})->api_key, "env-key");
  EXPECT_EQ(make({"env-key", "gw-key", {}})->api_key, "env-key");
  // An empty PELMORA_API_KEY passes the choice on to GATEWAY_API_KEY.
  EXPECT_EQ(make({"", "gw-key", {}})->api_key, "gw-key");
  EXPECT_EQ(make({{}, {}, {}})->api_key, std::nullopt);
  EXPECT_EQ(make({{}, "", {}})->api_key, "");
}

TEST_F(ConstructionTest, ApiUrlFromArgumentThenEnvironmentThenDefault) {
  EXPECT_EQ(make({{}, {}, "http://env"}, {.api_url = "http://arg/path/"})->api_url,
            "http://arg/path/");
  EXPECT_EQ(make({{}, {}, "http://env"}, {.api_url = ""})->api_url, "http://env");
  // Set but empty is used as it is.
  EXPECT_EQ(make({{}, {}, ""})->api_url, "");
  EXPECT_EQ(make({{}, {}, {}})->api_url, std::string(_DEFAULT_API_URL));
}

TEST_F(ConstructionTest, CredentialsResolvedByTheCallerAreKeptAsGiven) {
  const AgentOptions resolved{.api_key = std::nullopt, .api_url = "http://host",
                              .credentials_resolved = true};
  auto daemon = make({"env-key", "gw-key", "http://env"}, resolved);
  EXPECT_EQ(daemon->api_key, std::nullopt);
  EXPECT_EQ(daemon->api_url, "http://host");
}

TEST_F(ConstructionTest, DefaultsAndScannerThresholds) {
  auto daemon = make({});
  EXPECT_EQ(daemon->threshold, 85.0);
  EXPECT_EQ(daemon->interval, 2.0);
  EXPECT_FALSE(daemon->fast);
  EXPECT_FALSE(daemon->auto_offload);
  EXPECT_EQ(daemon->gpu, std::nullopt);
  EXPECT_EQ(daemon->cpu, std::nullopt);
  EXPECT_EQ(daemon->memory, std::nullopt);
  EXPECT_EQ(daemon->scanner.cpu_threshold, 85.0);
  EXPECT_EQ(daemon->scanner.mem_threshold, 85.0);
  EXPECT_FALSE(daemon->_running.load());
  EXPECT_TRUE(daemon->_offloaded.empty());
  EXPECT_TRUE(daemon->_ignored_pids.empty());
  // Nothing happened on the platform.
  EXPECT_EQ(table.primes, 0);
  EXPECT_EQ(table.enumerations, 0);

  auto fifty = make({}, {.threshold = 50, .interval = -1, .cpu = -4});
  EXPECT_EQ(fifty->scanner.cpu_threshold, 50.0);
  EXPECT_EQ(fifty->scanner.mem_threshold, 50.0);
  EXPECT_EQ(fifty->interval, -1.0);  // no range check
  EXPECT_EQ(fifty->cpu, -4);
}

TEST(AgentDaemonPositional, TakesTheNineArgumentsInOrder) {
  ScopedEnv a("PELMORA_API_KEY", std::nullopt);
  ScopedEnv b("GATEWAY_API_KEY", std::nullopt);
  AgentDaemon daemon("k", "http://u", true, 120.0, 0.5, true, "A100", 8, "16Gi");
  EXPECT_EQ(daemon.api_key, "k");
  EXPECT_EQ(daemon.api_url, "http://u");
  EXPECT_TRUE(daemon.fast);
  EXPECT_EQ(daemon.threshold, 120.0);
  EXPECT_EQ(daemon.scanner.mem_threshold, 120.0);
  EXPECT_EQ(daemon.interval, 0.5);
  EXPECT_TRUE(daemon.auto_offload);
  EXPECT_EQ(daemon.gpu, "A100");
  EXPECT_EQ(daemon.cpu, 8);
  EXPECT_EQ(daemon.memory, "16Gi");
}

TEST(OffloadRecordTest, DefaultsToSubmittedNow) {
  const double before = wall_clock_now();
  OffloadRecord record{.pid = 812, .script_path = "/srv/jobs/train.py", .job_id = "job-7f3a"};
  EXPECT_EQ(record.status, "submitted");
  EXPECT_GE(record.submitted_at, std::floor(before));
  EXPECT_LT(record.submitted_at, before + 1.0);
}

}  // namespace
}  // namespace pelmora::testing
