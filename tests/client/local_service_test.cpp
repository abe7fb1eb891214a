// read_local_service: the key and URL of a local service, from its data directory's files.
#include "agent/client/local_service.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

namespace pelmora {
namespace {

namespace fs = std::filesystem;

class ReadLocalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("pelmora-local-" + std::to_string(::getpid()));
    fs::create_directories(state_dir(dir));
  }
  void TearDown() override { fs::remove_all(dir); }
  void keys(const char* text) { std::ofstream(local_key_file(dir)) << text; }
  fs::path dir;
};

TEST_F(ReadLocalServiceTest, DefaultKeyElseFirstAndNothingForAFileWithoutKeys) {
  keys(R"({"keys": [{"key": "pmk_first"}, {"name": "default", "key": "pmk_default"}]})");
  EXPECT_EQ(read_local_service(dir)->api_key, "pmk_default");
  keys(R"({"keys": [{"key": "pmk_first"}, 7, {"name": ["x"], "key": "pmk_second"}]})");
  EXPECT_EQ(read_local_service(dir)->api_key, "pmk_first");
  for (const char* text : {R"({"keys": []})", R"({"keys": [{"name": "default"}]})", "[]", "{"}) {
    keys(text);
    EXPECT_FALSE(read_local_service(dir)) << text;
  }
}

}  // namespace
}  // namespace pelmora
