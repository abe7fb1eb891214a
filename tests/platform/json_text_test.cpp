#include "agent/platform/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace pelmora {
namespace {

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonText, DepthCountsBracketsOutsideStringsOnly) {
  EXPECT_TRUE(json_depth_within(nested(64)));
  EXPECT_FALSE(json_depth_within(nested(65)));
  EXPECT_TRUE(json_depth_within("{\"a\": [1, {\"b\": []}]}", 4));
  EXPECT_FALSE(json_depth_within("{\"a\": [1, {\"b\": []}]}", 3));
  // Brackets in strings, escaped quotes included, are text.
  EXPECT_TRUE(json_depth_within("[\"" + std::string(100, '[') + "\\\"" + std::string(100, '{') + "\"]", 1));
  EXPECT_FALSE(json_depth_within("[\"\\\\\"" + nested(2) + "]", 2));
}

TEST(JsonText, DeepDocumentsAreRefusedNotParsed) {
  EXPECT_EQ(parse_json("{\"a\": [1]}")["a"][0], 1);
  EXPECT_THROW(parse_json(nested(200000)), nlohmann::json::parse_error);
  EXPECT_THROW(parse_json("{"), nlohmann::json::parse_error);
  EXPECT_TRUE(parse_json_or_discarded(nested(200000)).is_discarded());
  EXPECT_TRUE(parse_json_or_discarded("nope").is_discarded());
  EXPECT_EQ(parse_json_or_discarded(nested(64)).size(), 1u);
}

}  // namespace
}  // namespace pelmora
