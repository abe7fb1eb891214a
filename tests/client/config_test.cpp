#include "agent/client/config.h"

#include <gtest/gtest.h>

#include "tests/client/client_test_support.h"

namespace pelmora {
namespace {

using testing::EnvGuard;

TEST(ResolveApiKey, ArgumentThenPelmoraThenGatewayVariable) {
  EnvGuard env;
  EXPECT_EQ(resolve_api_key(std::nullopt), std::nullopt);

  env.set("GATEWAY_API_KEY", "");
  EXPECT_EQ(resolve_api_key(std::nullopt), std::optional<std::string>(""));
  EXPECT_THROW(require_api_key(std::nullopt), std::runtime_error);

  env.set("GATEWAY_API_KEY", "gw");
  env.set("PELMORA_API_KEY", "");
  EXPECT_EQ(resolve_api_key(std::nullopt), "gw");

  env.set("PELMORA_API_KEY", "pk");
  EXPECT_EQ(resolve_api_key(std::nullopt), "pk");
  EXPECT_EQ(resolve_api_key(""), "pk");
  EXPECT_EQ(resolve_api_key(" arg "), " arg ");  // never trimmed
}

TEST(ResolveApiKey, MissingKeyMessage) {
  EnvGuard env;
  try {
    require_api_key(std::nullopt);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No API key.  Pass api_key= or set PELMORA_API_KEY env var.");
  }
}

TEST(ResolveApiUrl, ArgumentThenVariableEvenEmptyThenDefault) {
  EnvGuard env;
  EXPECT_EQ(resolve_api_url(std::nullopt), _DEFAULT_API_URL);
  EXPECT_EQ(resolve_api_url(""), _DEFAULT_API_URL);
  env.set("PELMORA_API_URL", "");
  EXPECT_EQ(resolve_api_url(std::nullopt), "");
  env.set("PELMORA_API_URL", "http://h:1/base/");
  EXPECT_EQ(resolve_api_url(""), "http://h:1/base/");
  EXPECT_EQ(resolve_api_url("http://arg/"), "http://arg/");
}

}  // namespace
}  // namespace pelmora
