#include "agent/platform/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace pelmora {
namespace {

TEST(EscapeForTerminal, ControlCharactersShownAsHex) {
  EXPECT_EQ(escape_for_terminal("train.py"), "train.py");
  EXPECT_EQ(escape_for_terminal("\x1b[31mred"), "\\x1b[31mred");
  EXPECT_EQ(escape_for_terminal(std::string("a\0b", 3)), "a\\x00b");
  EXPECT_EQ(escape_for_terminal("tab\there\nnl\r\x7f"), "tab\\x09here\\x0anl\\x0d\\x7f");
  // C1 controls are shown by code point, not by their two UTF-8 bytes.
  EXPECT_EQ(escape_for_terminal("\xc2\x85x\xc2\x9b"), "\\x85x\\x9b");
  EXPECT_EQ(escape_for_terminal("\xc2\xa0"), "\xc2\xa0");  // U+00A0 is not a control
  // A backslash is printable and stays.
  EXPECT_EQ(escape_for_terminal("a\\x41"), "a\\x41");
}

TEST(EscapeForTerminal, LettersKeptBadBytesEscaped) {
  EXPECT_EQ(escape_for_terminal("caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x90\x8d"),
            "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x90\x8d");
  EXPECT_EQ(escape_for_terminal("caf\xe9.py"), "caf\\xe9.py");
  EXPECT_EQ(escape_for_terminal("\xc0\xaf"), "\\xc0\\xaf");              // overlong
  EXPECT_EQ(escape_for_terminal("\xed\xa0\x80"), "\\xed\\xa0\\x80");     // surrogate
  EXPECT_EQ(escape_for_terminal("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // > U+10FFFF
  EXPECT_EQ(escape_for_terminal("x\xe6\x97"), "x\\xe6\\x97");            // cut short
  EXPECT_EQ(escape_for_terminal("\x80" "a"), "\\x80a");                 // stray continuation
}

TEST(Utf8SequenceLength, WellFormedOnly) {
  EXPECT_EQ(utf8_sequence_length("a", 0), 1u);
  EXPECT_EQ(utf8_sequence_length("\xc3\xa9", 0), 2u);
  EXPECT_EQ(utf8_sequence_length("\xe0\xa0\x80", 0), 3u);
  EXPECT_EQ(utf8_sequence_length("\xe0\x9f\x80", 0), 0u);
  EXPECT_EQ(utf8_sequence_length("\xef\xbf\xbf", 0), 3u);
  EXPECT_EQ(utf8_sequence_length("\xf4\x8f\xbf\xbf", 0), 4u);
  EXPECT_EQ(utf8_sequence_length("\xf5\x80\x80\x80", 0), 0u);
  EXPECT_EQ(utf8_sequence_length("a\xc3", 1), 0u);
}

}  // namespace
}  // namespace pelmora
