// The small pure pieces of the job service: digests, identifiers, resource amounts, the
// job environment, loopback addresses.
#include <gtest/gtest.h>

#include "service/job_environment.h"
#include "service/resources.h"
#include "service/server.h"
#include "service/sha256.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(to_hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(to_hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits the first padding block.
  EXPECT_EQ(to_hex(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(to_hex(sha256(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_TRUE(digests_equal(sha256("k"), sha256("k")));
  EXPECT_FALSE(digests_equal(sha256("k"), sha256("K")));
}

TEST(JobIds, RandomLowerCaseAndRecognised) {
  std::string a = new_job_id();
  std::string b = new_job_id();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), 36u);
  EXPECT_EQ(a.rfind("job-", 0), 0u);
  EXPECT_TRUE(is_job_id(a));
  EXPECT_FALSE(is_job_id("job-" + std::string(31, 'a')));
  EXPECT_FALSE(is_job_id("job-" + std::string(31, 'a') + "A"));
  EXPECT_FALSE(is_job_id("-ob-" + std::string(32, 'a')));
  EXPECT_FALSE(is_job_id("job-../../../../etc/passwd0000000000"));
}

struct MemoryCase {
  const char* text;
  std::optional<std::uint64_t> bytes;
};

class ParseMemory : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(ParseMemory, Amounts) { EXPECT_EQ(parse_memory(GetParam().text), GetParam().bytes); }

INSTANTIATE_TEST_SUITE_P(
    Table, ParseMemory,
    ::testing::Values(MemoryCase{"4Gi", 4ull << 30}, MemoryCase{"512M", 512000000ull},
                      MemoryCase{"512Mi", 512ull << 20}, MemoryCase{"1.5G", 1500000000ull},
                      MemoryCase{"2048", 2048ull}, MemoryCase{"4gb", 4000000000ull},
                      MemoryCase{"1KiB", 1024ull}, MemoryCase{"", std::nullopt},
                      MemoryCase{"G", std::nullopt}, MemoryCase{"0", std::nullopt},
                      MemoryCase{"-1G", std::nullopt}, MemoryCase{"4 Gi", std::nullopt},
                      MemoryCase{"4Xi", std::nullopt}, MemoryCase{"4Gx", std::nullopt},
                      MemoryCase{"99999999999999999999999Ti", std::nullopt}));

TEST(Resources, ShapeIsChecked) {
  using nlohmann::json;
  EXPECT_FALSE(check_resources(json::object()));
  EXPECT_FALSE(check_resources(json{{"gpu", "A100"}, {"cpu", 2}, {"memory", "4Gi"}}));
  EXPECT_TRUE(check_resources(json{{"gpu", "A100"}, {"other", 1}}));
  EXPECT_TRUE(check_resources(json{{"gpu", std::string(65, 'a')}}));
  EXPECT_TRUE(check_resources(json::array()));
  EXPECT_TRUE(check_resources(json{{"gpu", 1}}));
  EXPECT_TRUE(check_resources(json{{"cpu", "2"}}));
  EXPECT_TRUE(check_resources(json{{"cpu", 2.5}}));
  EXPECT_TRUE(check_resources(json{{"cpu", -1}}));
  EXPECT_TRUE(check_resources(json{{"memory", "lots"}}));
  EXPECT_EQ(job_cost(json::object()), 1.0);
  EXPECT_EQ(job_cost(json{{"cpu", 0}}), 1.0);
  EXPECT_EQ(job_cost(json{{"cpu", 4}}), 4.0);
}

TEST(JobEnvironment, OnlyTheAllowListAndPassedNames) {
  std::vector<std::string> given = {"PATH=/usr/bin", "HOME=/root", "PELMORA_API_KEY=pmk_x",
                                    "GATEWAY_API_KEY=g", "AWS_SECRET_ACCESS_KEY=s",
                                    "DATABASE_URL=postgres://u:pw@db/x", "PGPASS=p",
                                    "MYAPP_AUTH=a", "PYTHONUNBUFFERED=0", "LC_ALL=C",
                                    "PELMORA_API_URL=http://x", "LANG=C.UTF-8", "TZ=UTC",
                                    "NOEQUALS", "PATHX=1"};
  std::vector<char*> env;
  for (auto& e : given) env.push_back(e.data());
  env.push_back(nullptr);
  EXPECT_EQ(job_environment(env.data()),
            (std::vector<std::string>{"PATH=/usr/bin", "HOME=/root", "LC_ALL=C", "LANG=C.UTF-8",
                                      "TZ=UTC", "PYTHONUNBUFFERED=1"}));
  // Passed by name; the service's own variables never.
  EXPECT_EQ(job_environment(env.data(), {"MYAPP_AUTH", "PELMORA_API_KEY", "PYTHONUNBUFFERED"}),
            (std::vector<std::string>{"PATH=/usr/bin", "HOME=/root", "MYAPP_AUTH=a", "LC_ALL=C",
                                      "LANG=C.UTF-8", "TZ=UTC", "PYTHONUNBUFFERED=1"}));
  for (const char* bad : {"", "1X", "A-B", "A=B", "pelmora_api_key", "GATEWAY_X", "PYTHONUNBUFFERED"}) {
    EXPECT_FALSE(passable_env_name(bad)) << bad;
  }
  EXPECT_TRUE(passable_env_name("MYAPP_AUTH"));
}

TEST(Addresses, LoopbackOnly) {
  EXPECT_TRUE(is_loopback_host("127.0.0.1"));
  EXPECT_TRUE(is_loopback_host("127.1.2.3"));
  EXPECT_TRUE(is_loopback_host("::1"));
  EXPECT_TRUE(is_loopback_host("localhost"));
  EXPECT_FALSE(is_loopback_host("0.0.0.0"));
  EXPECT_FALSE(is_loopback_host("::"));
  EXPECT_FALSE(is_loopback_host("192.168.1.4"));
  EXPECT_FALSE(is_loopback_host("example.com"));
}

TEST(IsoTime, Milliseconds) {
  EXPECT_EQ(iso_time(0.0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(iso_time(1796954407.1234), "2026-12-11T02:00:07.123Z");
  EXPECT_EQ(iso_time(59.9996), "1970-01-01T00:01:00.000Z");
}

}  // namespace
}  // namespace pelmora::service
