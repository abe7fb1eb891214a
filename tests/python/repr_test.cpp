#include "python/repr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

using testing::utf8;

// Code points that Unicode 15.1 assigned after 15.0: the ICU linked in has them
// unassigned (escaped by python_repr) while CPython 3.13 writes them plainly.
bool new_in_unicode_15_1(char32_t cp) {
  return (cp >= 0x2EBF0 && cp <= 0x2EE5D) || (cp >= 0x2FFC && cp <= 0x2FFF) || cp == 0x31EF;
}
constexpr size_t kNewIn15_1 = 627;

// CPython's repr() of a text, as python_repr writes it for the 15.1 additions.
std::string with_15_1_escaped(const std::string& cpython_repr) {
  std::string out;
  size_t i = 0;
  while (i < cpython_repr.size()) {
    const auto b = static_cast<unsigned char>(cpython_repr[i]);
    const size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    const std::string piece = cpython_repr.substr(i, len);
    char32_t cp = 0;
    if (len == 3) cp = ((b & 0x0Fu) << 12) | ((piece[1] & 0x3Fu) << 6) | (piece[2] & 0x3Fu);
    if (len == 4) {
      cp = ((b & 0x07u) << 18) | ((piece[1] & 0x3Fu) << 12) | ((piece[2] & 0x3Fu) << 6) |
           (piece[3] & 0x3Fu);
    }
    if (new_in_unicode_15_1(cp)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, cp > 0xFFFF ? "\\U%08x" : "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out += piece;
    }
    i += len;
  }
  return out;
}

std::string from_hex_code_points(const std::string& field) {
  std::istringstream in(field);
  std::string out;
  std::string hex;
  while (in >> hex) out += utf8(static_cast<char32_t>(std::stoul(hex, nullptr, 16)));
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

TEST(PythonRepr, QuoteChoice) {
  EXPECT_EQ(python_repr(""), "''");
  EXPECT_EQ(python_repr("abc"), "'abc'");
  EXPECT_EQ(python_repr("it's"), "\"it's\"");
  EXPECT_EQ(python_repr("say \"hi\""), "'say \"hi\"'");
  // Both quotes: apostrophes delimit and every apostrophe inside is escaped.
  EXPECT_EQ(python_repr("a'b\"c'"), "'a\\'b\"c\\''");
}

TEST(PythonRepr, Escapes) {
  EXPECT_EQ(python_repr("a\\b"), "'a\\\\b'");
  EXPECT_EQ(python_repr("\t\n\r"), "'\\t\\n\\r'");
  EXPECT_EQ(python_repr(std::string("\0\x0b\x0c\x1b\x1f\x7f", 6)), "'\\x00\\x0b\\x0c\\x1b\\x1f\\x7f'");
  EXPECT_EQ(python_repr("\xc2\x80\xc2\x9f"), "'\\x80\\x9f'");      // C1 controls
  EXPECT_EQ(python_repr("\xc2\xa0\xc2\xad"), "'\\xa0\\xad'");      // NBSP, soft hyphen
  EXPECT_EQ(python_repr("\xe2\x80\x8b"), "'\\u200b'");             // zero-width space
  EXPECT_EQ(python_repr("\xe2\x80\xa8\xe2\x80\xa9"), "'\\u2028\\u2029'");
  EXPECT_EQ(python_repr("\xef\xbb\xbf"), "'\\ufeff'");
  EXPECT_EQ(python_repr("\xf3\xa0\x80\x81"), "'\\U000e0001'");     // tag (Cf)
  EXPECT_EQ(python_repr("\xf4\x8f\xbf\xbf"), "'\\U0010ffff'");     // unassigned
  EXPECT_EQ(python_repr("\xee\x80\x80"), "'\\ue000'");             // private use
  // Printable from U+0080 up: written as they are.
  EXPECT_EQ(python_repr("caf\xc3\xa9 \xef\xbf\xbd \xf0\x9f\x98\x80"),
            "'caf\xc3\xa9 \xef\xbf\xbd \xf0\x9f\x98\x80'");
}

TEST(PythonRepr, NeverHoldsALineBreak) {
  const std::string r = python_repr("a\nb\rc\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\x0b\x0c\x1c\x1d\x1e");
  EXPECT_EQ(r.find('\n'), std::string::npos);
  EXPECT_EQ(r.find('\r'), std::string::npos);
  EXPECT_EQ(r, "'a\\nb\\rc\\x85\\u2028\\u2029\\x0b\\x0c\\x1c\\x1d\\x1e'");
}

// Ill-formed UTF-8 stands for what Python's decoder with errors="replace" makes of it.
TEST(PythonRepr, IllFormedUtf8IsTakenAsReplacementCharacters) {
  EXPECT_EQ(python_repr("\xff"), "'\xef\xbf\xbd'");
  EXPECT_EQ(python_repr("a\xc3"), "'a\xef\xbf\xbd'");
  EXPECT_EQ(python_repr("\xed\xa0\x80x"), "'\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdx'");  // surrogate
  EXPECT_EQ(python_repr("\xe2\x80'"), "\"\xef\xbf\xbd'\"");  // truncated, then a quote
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 12);
  const char pool[] = {'\'', '"', '\\', '\n', 'a', '\x80', '\xbf', '\xc2', '\xe0', '\xed',
                       '\xf0', '\xf4', '\xf5', '\xff'};
  for (int n = 0; n < 20000; ++n) {
    std::string bytes;
    const int len = length(rng);
    for (int k = 0; k < len; ++k) {
      const int r = byte(rng);
      bytes += r < 128 ? pool[static_cast<size_t>(r) % sizeof pool] : static_cast<char>(byte(rng));
    }
    ASSERT_EQ(python_repr(bytes), python_repr(decode_utf8_replace(bytes))) << ::testing::PrintToString(bytes);
  }
}

TEST(PythonReprGolden, CasesFromCPython) {
  const std::string data = testing::read_all(PELMORA_TEST_DATA_DIR "/repr/cases.txt");
  const auto lines = lines_of(data);
  ASSERT_GT(lines.size(), 400u);
  for (const auto& line : lines) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string text = from_hex_code_points(line.substr(0, tab));
    EXPECT_EQ(python_repr(text), with_15_1_escaped(line.substr(tab + 1))) << line.substr(0, tab);
  }
}

// Every code point from U+0080 up against the set that CPython 3.13 escapes; the only
// disagreements are the Unicode 15.1 additions.
TEST(PythonReprGolden, NonPrintableSetMatchesCPythonButForUnicode15_1) {
  const auto lines = lines_of(testing::read_all(PELMORA_TEST_DATA_DIR "/repr/nonprintable.txt"));
  ASSERT_FALSE(lines.empty());
  std::vector<bool> cpython_printable(0x110000, true);
  for (const auto& line : lines) {
    unsigned first = 0;
    unsigned last = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%x %x", &first, &last), 2) << line;
    for (unsigned c = first; c <= last; ++c) cpython_printable[c] = false;
  }
  std::set<char32_t> differences;
  for (char32_t cp = 0x80; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (is_repr_printable(cp) != cpython_printable[cp]) differences.insert(cp);
  }
  EXPECT_EQ(differences.size(), kNewIn15_1);
  for (char32_t cp : differences) {
    EXPECT_TRUE(new_in_unicode_15_1(cp)) << std::hex << static_cast<unsigned>(cp);
    EXPECT_TRUE(cpython_printable[cp]);
  }
}

TEST(PythonReprLive, RandomTextsFromEveryPlane) {
  if (!testing::python313()) GTEST_SKIP() << testing::kNoPython;
  std::mt19937 rng(std::random_device{}());
  const auto seed = static_cast<unsigned>(rng());
  rng.seed(seed);
  std::cout << "random texts seed " << seed << "\n";
  const std::vector<char32_t> specials = {'\'', '"', '\\', '\t', '\n', '\r', 0x0B, 0x0C, 0,
                                          0x1F, 0x7F, 0x80, 0x85, 0x9F, 0xA0, 0xAD, 0x200B,
                                          0x2028, 0x2029, 0xFEFF, 0xFFFD, 0x1F600, 0xE0001};
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<unsigned> any(0, 0x10FFFF);
  std::uniform_int_distribution<unsigned> bmp(0x80, 0xFFFF);
  std::uniform_int_distribution<unsigned> ascii(0x20, 0x7E);
  std::uniform_int_distribution<size_t> pick(0, specials.size() - 1);
  std::uniform_int_distribution<int> length(0, 30);

  std::vector<std::string> texts;
  std::string request;
  for (int n = 0; n < 5000; ++n) {
    std::string text;
    std::string hex;
    const int len = length(rng);
    for (int k = 0; k < len; ++k) {
      char32_t cp = 0;
      switch (kind(rng)) {
        case 0: case 1: cp = specials[pick(rng)]; break;
        case 2: case 3: case 4: cp = ascii(rng); break;
        case 5: case 6: cp = bmp(rng); break;
        default: cp = any(rng); break;
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      text += utf8(cp);
      char buf[16];
      std::snprintf(buf, sizeof buf, "%x ", static_cast<unsigned>(cp));
      hex += buf;
    }
    texts.push_back(text);
    request += hex + "\n";
  }
  testing::TempDir dir;
  const std::string in = dir.write("in.txt", request);
  const auto result = testing::run_command(*testing::python313() + " " + PELMORA_SOURCE_DIR +
                                           "/tests/oracle/gen_repr_golden.py repr < " + in);
  ASSERT_EQ(result.status, 0);
  const auto answers = lines_of(result.out);
  ASSERT_EQ(answers.size(), texts.size());
  for (size_t n = 0; n < texts.size(); ++n) {
    ASSERT_EQ(python_repr(texts[n]), with_15_1_escaped(answers[n])) << "seed " << seed << ", text " << n;
  }
}

TEST(PythonReprLive, EveryCodePointOnce) {
  if (!testing::python313()) GTEST_SKIP() << testing::kNoPython;
  const auto result = testing::run_command(*testing::python313() + " " + PELMORA_SOURCE_DIR +
                                           "/tests/oracle/gen_repr_golden.py all");
  ASSERT_EQ(result.status, 0);
  const auto answers = lines_of(result.out);
  ASSERT_EQ(answers.size(), 0x110000u - 0x800u);
  size_t n = 0;
  std::set<char32_t> differences;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string& cpython = answers[n++];
    const std::string ours = python_repr(utf8(cp));
    if (ours != cpython) {
      differences.insert(cp);
      EXPECT_EQ(ours, with_15_1_escaped(cpython));
    }
  }
  EXPECT_EQ(differences.size(), kNewIn15_1);
  for (char32_t cp : differences) EXPECT_TRUE(new_in_unicode_15_1(cp)) << std::hex << static_cast<unsigned>(cp);
}

}  // namespace
}  // namespace pelmora
