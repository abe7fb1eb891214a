#include "agent/platform/relative_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelmora {
namespace {

TEST(RelativePath, AcceptsOnlyPathsThatStayBelow) {
  const std::string long_part(kMaxPathComponent + 1, 'a');
  for (const std::string ok : {"a", "a/b/c.txt", "caf\xe9", "new\nline", "...", "a/.hidden", "-"}) {
    EXPECT_FALSE(relative_path_problem(ok)) << ok;
  }
  for (const std::string& bad : std::vector<std::string>{"", "/etc/passwd", "..", "a/../b", "./a", "a/.", "a//b", "a/",
                                std::string("a\0b", 3), long_part, std::string(kMaxRelativePath + 1, 'a')}) {
    EXPECT_TRUE(relative_path_problem(bad)) << bad;
  }
  EXPECT_EQ(path_components("a/b/c"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(RelativePath, Base64AsRfc4648) {
  // RFC 4648, section 10.
  const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},
                                                         {"fo", "Zm8="},   {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(base64_encode(bytes), text);
    EXPECT_EQ(base64_decode(text), bytes);
  }
  EXPECT_EQ(base64_decode("/w=="), std::string("\xff"));
  for (const char* bad : {"Zg", "Zg=a", "Z===", "Zm9v\n", "Zm9*"}) EXPECT_FALSE(base64_decode(bad)) << bad;
}

}  // namespace
}  // namespace pelmora
