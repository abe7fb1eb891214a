// API keys: the keys file, adding keys to a running key ring, limits.
#include "service/keys.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "service_fixture.h"

namespace pelmora::service {
namespace {

using testing::TempDir;

TEST(Keys, FileCreatedPrivateOnceAndKeysAccepted) {
  TempDir dir;
  std::string path = dir.path() + "/keys.json";
  EXPECT_TRUE(ensure_keys_file(path));
  EXPECT_FALSE(ensure_keys_file(path));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto keys = read_keys(path);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].name, "default");
  EXPECT_EQ(keys[0].key.rfind("pmk_", 0), 0u);

  KeyRing ring(path);
  auto caller = ring.authenticate(keys[0].key);
  ASSERT_TRUE(caller);
  EXPECT_EQ(caller->name, "default");
  EXPECT_EQ(caller->owner.size(), 32u);
  EXPECT_EQ(caller->owner.find(keys[0].key.substr(4, 8)), std::string::npos);
  EXPECT_FALSE(ring.authenticate(""));
  EXPECT_FALSE(ring.authenticate(keys[0].key + "x"));
  EXPECT_FALSE(ring.authenticate(keys[0].key.substr(0, keys[0].key.size() - 1)));

  // A key added by another process is accepted at once, with its limits.
  std::string added = add_key(path, "ci", KeyLimits{5.0, 10});
  auto second = ring.authenticate(added);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "ci");
  EXPECT_EQ(second->limits.credits, 5.0);
  EXPECT_EQ(second->limits.submissions_per_minute, 10);
  EXPECT_NE(second->owner, caller->owner);
  EXPECT_TRUE(ring.authenticate(keys[0].key));
}

TEST(Keys, DamagedFileKeepsTheLastGoodKeys) {
  TempDir dir;
  std::string path = dir.path() + "/keys.json";
  ensure_keys_file(path);
  std::string key = read_keys(path)[0].key;
  KeyRing ring(path);
  { std::ofstream(path) << "{\"keys\": [ broken"; }
  EXPECT_TRUE(ring.authenticate(key));
  EXPECT_THROW(read_keys(path), std::runtime_error);
  { std::ofstream(path) << R"({"keys": [{"key": "pmk_other", "credits": "lots"}]})"; }
  EXPECT_THROW(read_keys(path), std::runtime_error);
  { std::ofstream(path) << R"({"keys": [{"key": "pmk_other"}]})"; }
  EXPECT_TRUE(ring.authenticate("pmk_other"));
  EXPECT_FALSE(ring.authenticate(key));
}

TEST(LocalService, ReadsUrlAndDefaultKey) {
  TempDir dir;
  EXPECT_FALSE(read_local_service(dir.path()));
  add_key(keys_file(dir.path()), "other", {});
  std::string key = add_key(keys_file(dir.path()), "default", {});
  auto found = read_local_service(dir.path());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->api_key, key);
  EXPECT_EQ(found->url, "http://127.0.0.1:8765");
  { std::ofstream(service_info_file(dir.path())) << R"({"url": "http://127.0.0.1:9999", "pid": 1})"; }
  EXPECT_EQ(read_local_service(dir.path())->url, "http://127.0.0.1:9999");
}

}  // namespace
}  // namespace pelmora::service
