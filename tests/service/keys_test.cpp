// API keys: the keys file, adding keys to a running key ring, limits.
#include "service/keys.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "agent/platform/files.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using testing::TempDir;

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Keys, OnlyDigestsKeptAndKeysAccepted) {
  TempDir dir;
  std::string path = dir.path() + "/keys.json";
  std::string local = dir.path() + "/local_key.json";
  EXPECT_TRUE(prepare_keys_file(path, local));
  EXPECT_FALSE(prepare_keys_file(path, local));
  for (const auto& file : {path, local}) {
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
  auto keys = read_keys(path);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].name, "default");
  std::string key = nlohmann::json::parse(file_text(local))["keys"][0]["key"];
  EXPECT_EQ(key.rfind("pmk_", 0), 0u);
  EXPECT_EQ(file_text(path).find("pmk_"), std::string::npos);

  KeyRing ring(path);
  auto caller = ring.authenticate(key);
  ASSERT_TRUE(caller);
  EXPECT_EQ(caller->name, "default");
  EXPECT_EQ(caller->owner.size(), 32u);
  EXPECT_EQ(caller->owner.find(key.substr(4, 8)), std::string::npos);
  EXPECT_FALSE(ring.authenticate(""));
  EXPECT_FALSE(ring.authenticate(key + "x"));
  EXPECT_FALSE(ring.authenticate(key.substr(0, key.size() - 1)));

  // A key added by another process is accepted at once, with its limits, and not stored.
  std::string added = add_key(path, "ci", KeyLimits{5.0, 10});
  EXPECT_EQ(file_text(path).find(added.substr(4)), std::string::npos);
  auto second = ring.authenticate(added);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "ci");
  EXPECT_EQ(second->limits.credits, 5.0);
  EXPECT_EQ(second->limits.submissions_per_minute, 10);
  EXPECT_NE(second->owner, caller->owner);
  EXPECT_TRUE(ring.authenticate(key));
}

TEST(Keys, PlainKeysFileConvertedWithTheSameOwners) {
  TempDir dir;
  std::string path = dir.path() + "/keys.json";
  std::string local = dir.path() + "/local_key.json";
  {
    std::ofstream(path) << R"({"keys": [{"name": "alice", "key": "pmk_alice", "credits": 3},
                                        {"name": "default", "key": "pmk_mine"}]})";
  }
  auto before = KeyRing(path).authenticate("pmk_alice");
  ASSERT_TRUE(before);
  EXPECT_FALSE(prepare_keys_file(path, local));
  EXPECT_EQ(file_text(path).find("pmk_"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(file_text(local))["keys"][0]["key"], "pmk_mine");
  KeyRing ring(path);
  auto after = ring.authenticate("pmk_alice");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->owner, before->owner);
  EXPECT_EQ(after->limits.credits, 3.0);
  EXPECT_TRUE(ring.authenticate("pmk_mine"));
}

TEST(Keys, DamagedFileKeepsTheLastGoodKeys) {
  TempDir dir;
  std::string path = dir.path() + "/keys.json";
  std::string key = add_key(path, "default", {});
  KeyRing ring(path);
  { std::ofstream(path) << "{\"keys\": [ broken"; }
  EXPECT_TRUE(ring.authenticate(key));
  EXPECT_THROW(read_keys(path), std::runtime_error);
  { std::ofstream(path) << R"({"keys": [{"key": "pmk_other", "credits": "lots"}]})"; }
  EXPECT_THROW(read_keys(path), std::runtime_error);
  { std::ofstream(path) << R"({"keys": [{"sha256": "ABC"}]})"; }
  EXPECT_THROW(read_keys(path), std::runtime_error);
  { std::ofstream(path) << R"({"keys": [{"key": "pmk_other"}]})"; }
  EXPECT_TRUE(ring.authenticate("pmk_other"));
  EXPECT_FALSE(ring.authenticate(key));
}

TEST(LocalService, ReadsUrlAndDefaultKey) {
  TempDir dir;
  EXPECT_FALSE(read_local_service(dir.path()));
  make_private_dirs(state_dir(dir.path()));
  prepare_keys_file(keys_file(dir.path()), local_key_file(dir.path()));
  add_key(keys_file(dir.path()), "other", {});
  auto found = read_local_service(dir.path());
  ASSERT_TRUE(found);
  EXPECT_EQ(KeyRing(keys_file(dir.path())).authenticate(found->api_key)->name, "default");
  EXPECT_EQ(found->url, "http://127.0.0.1:8765");
  { std::ofstream(service_info_file(dir.path())) << R"({"url": "http://127.0.0.1:9999", "pid": 1})"; }
  EXPECT_EQ(read_local_service(dir.path())->url, "http://127.0.0.1:9999");
}

}  // namespace
}  // namespace pelmora::service
