#include "agent/platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace pelmora {
namespace {

// Each step: well-formed sequences whole, ill-formed ones cut at their maximal subpart.
TEST(Utf8, DecodeStepsOverMaximalSubparts) {
  struct Case {
    std::string bytes;
    char32_t code_point;
    std::size_t length;
    bool well_formed;
  };
  const Case cases[] = {
      {"a", U'a', 1, true},
      {"\xc3\xa9", 0xE9, 2, true},
      {"\xe0\xa0\x80", 0x800, 3, true},
      {"\xf4\x8f\xbf\xbf", 0x10FFFF, 4, true},
      {"\xef\xbf\xbd", 0xFFFD, 3, true},
      {"\x80", 0xFFFD, 1, false},           // stray continuation byte
      {"\xc0\xaf", 0xFFFD, 1, false},       // overlong lead
      {"\xe0\x9f\x80", 0xFFFD, 1, false},   // overlong three-byte form
      {"\xed\xa0\x80", 0xFFFD, 1, false},   // surrogate
      {"\xf4\x90\x80\x80", 0xFFFD, 1, false},  // above U+10FFFF
      {"\xe2\x82", 0xFFFD, 2, false},       // cut short
      {"\xf0\x9f\x98x", 0xFFFD, 3, false},  // broken by the fourth byte
  };
  for (const Case& c : cases) {
    const Utf8Step step = decode_utf8(c.bytes, 0);
    EXPECT_EQ(step.code_point, c.code_point) << c.bytes;
    EXPECT_EQ(step.length, c.length) << c.bytes;
    EXPECT_EQ(step.well_formed, c.well_formed) << c.bytes;
  }
  // As b"\xe2\x82(\xf0\x9f\x98x\xff".decode("utf-8", "replace") gives it.
  EXPECT_EQ(decode_utf8_replace("\xe2\x82(\xf0\x9f\x98x\xff"),
            "\xef\xbf\xbd(\xef\xbf\xbdx\xef\xbf\xbd");
}

}  // namespace
}  // namespace pelmora
