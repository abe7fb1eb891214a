#include "agent/platform/files.h"

#include <gtest/gtest.h>

namespace pelmora {
namespace {

TEST(DecodeUtf8Replace, MatchesPythonReplaceHandler) {
  // Each case was checked against bytes.decode("utf-8", "replace") in CPython.
  EXPECT_EQ(decode_utf8_replace("abc"), "abc");
  EXPECT_EQ(decode_utf8_replace("\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(decode_utf8_replace("\xFF"), "\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_replace("\xE2\x82"), "\xEF\xBF\xBD");            // truncated: one
  EXPECT_EQ(decode_utf8_replace("\xE2\x82" "a"), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(decode_utf8_replace("\xED\xA0\x80"),                          // surrogate: three
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_replace("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(decode_utf8_replace("\xF4\x90\x80\x80"),                      // above U+10FFFF
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_replace("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(decode_utf8_replace(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(NormalizeNewlines, CrLfAndLoneCrBecomeLf) {
  EXPECT_EQ(normalize_newlines("a\r\nb\rc\n\r\r\n"), "a\nb\nc\n\n\n");
  EXPECT_EQ(normalize_newlines("\r"), "\n");
}

TEST(Paths, LexicalNormalisation) {
  EXPECT_EQ(normalize_path("/srv//jobs/./x/../train.py"), "/srv/jobs/train.py");
  EXPECT_EQ(normalize_path("/../a"), "/a");
  EXPECT_EQ(normalize_path("a/../../b"), "../b");
  EXPECT_EQ(normalize_path(""), ".");
  EXPECT_EQ(absolute_path("x.py", "/tmp/w"), "/tmp/w/x.py");
  EXPECT_EQ(absolute_path("/abs/./x.py", "/tmp"), "/abs/x.py");
  EXPECT_EQ(parent_dir("/srv/jobs/train.py"), "/srv/jobs");
  EXPECT_EQ(parent_dir("/train.py"), "/");
}

TEST(ReadTextFile, MissingFileAndDirectoryFail) {
  EXPECT_THROW(read_text_file("/nonexistent/pelmora/x.py"), FileError);
  EXPECT_THROW(read_text_file("/tmp"), FileError);
  EXPECT_FALSE(is_regular_file("/tmp"));
  EXPECT_FALSE(is_regular_file(""));
}

}  // namespace
}  // namespace pelmora
