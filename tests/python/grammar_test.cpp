// The grammar recognizer against CPython 3.13's verdicts: golden cases by grammar area
// (tests/data/grammar, written by tests/oracle/grammar_goldens.py), the literal checks, and
// a live comparison with ast.parse when CPython 3.13 is installed.
#include "python/source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "python/string_literals.h"
#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

using nlohmann::json;

struct Golden {
  std::string code;
  bool valid = false;
  std::string message;
};

std::vector<Golden> load_goldens(const std::string& area) {
  const std::string path = std::string(PELMORA_TEST_DATA_DIR) + "/grammar/" + area + ".jsonl";
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << "missing golden file " << path;
  std::vector<Golden> out;
  std::string line;
  while (std::getline(f, line)) {
    const json row = json::parse(line);
    Golden g;
    if (row.contains("parts")) {
      for (const auto& part : row["parts"]) {
        const std::string text = part[0].get<std::string>();
        const int repeat = part[1].get<int>();
        for (int i = 0; i < repeat; ++i) g.code += text;
      }
    } else {
      g.code = row["code"].get<std::string>();
    }
    g.valid = row["valid"].get<bool>();
    g.message = row.value("msg", "");
    out.push_back(std::move(g));
  }
  return out;
}

std::string shorten(const std::string& code) {
  return code.size() <= 300 ? code : code.substr(0, 300) + "... (" + std::to_string(code.size()) + " bytes)";
}

class GrammarGoldenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(GrammarGoldenTest, VerdictsAgreeWithCPython) {
  const auto goldens = load_goldens(GetParam());
  ASSERT_FALSE(goldens.empty());
  size_t invalid = 0;
  for (const Golden& g : goldens) {
    const SourceCheck v = check_source(g.code);
    EXPECT_EQ(v.valid, g.valid) << "code: " << shorten(g.code) << "\nCPython: "
                                << (g.valid ? "accepts" : g.message) << "\nrecognizer: "
                                << (v.valid ? "accepts" : v.error.message);
    if (!v.valid) {
      ++invalid;
      EXPECT_FALSE(v.error.message.empty());
      EXPECT_LE(v.error.offset, g.code.size());
    }
  }
  // Every area holds both verdicts, or the cases would not test the boundary.
  EXPECT_GT(invalid, 0u);
  EXPECT_LT(invalid, goldens.size());
}

INSTANTIATE_TEST_SUITE_P(Areas, GrammarGoldenTest,
                         ::testing::Values("targets", "params", "calls", "fstrings", "literals",
                                           "patterns", "statements", "nesting", "cpython_tests"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           return std::string(param_info.param);
                         });

TEST(GrammarTest, ReportsTheFirstLexicalErrorWithItsPosition) {
  const SourceCheck v = check_source("x = 1\ny = 'abc\n");
  EXPECT_FALSE(v.valid);
  EXPECT_EQ(v.error.line, 2u);
  EXPECT_NE(v.error.message.find("unterminated string literal"), std::string::npos) << v.error.message;
}

TEST(GrammarTest, ReportsLiteralErrorsWithCPythonsReason) {
  struct Case {
    const char* code;
    const char* reason;
  };
  const Case cases[] = {
      {"x = 1\ns = '\\N{no such name}'\n", "unknown Unicode character name"},
      {"s = 'a' b'b'", "cannot mix bytes and nonbytes literals"},
      {"s = b'\\xe9' + b'\xc3\xa9'", "bytes can only contain ASCII literal characters"},
      {"s = '\\x4'", "truncated \\xXX escape"},
      {"s = f'{x!z}'", "invalid conversion character"},
  };
  for (const Case& c : cases) {
    const SourceCheck v = check_source(c.code);
    EXPECT_FALSE(v.valid) << c.code;
    EXPECT_NE(v.error.message.find(c.reason), std::string::npos) << c.code << ": " << v.error.message;
  }
  EXPECT_EQ(check_source("x = 1\ns = '\\N{no such name}'\n").error.line, 2u);
}

TEST(StringLiteralTest, ResolvesNamesAsCPythonDoes) {
  EXPECT_EQ(lookup_unicode_name("LATIN SMALL LETTER A"), U'a');
  EXPECT_EQ(lookup_unicode_name("latin small letter a"), U'a');
  EXPECT_EQ(lookup_unicode_name("LF"), U'\n');                      // control alias
  EXPECT_EQ(lookup_unicode_name("nbsp"), char32_t{0xA0});           // abbreviation
  EXPECT_EQ(lookup_unicode_name("LATIN CAPITAL LETTER GHA"), char32_t{0x1A2});  // correction
  EXPECT_EQ(lookup_unicode_name("HANGUL SYLLABLE GAG"), char32_t{0xAC01});
  EXPECT_EQ(lookup_unicode_name("hangul syllable gag"), std::nullopt);
  EXPECT_EQ(lookup_unicode_name("CJK UNIFIED IDEOGRAPH-4E00"), char32_t{0x4E00});
  EXPECT_EQ(lookup_unicode_name("CJK UNIFIED IDEOGRAPH-4e00"), std::nullopt);
  EXPECT_EQ(lookup_unicode_name("CJK UNIFIED IDEOGRAPH-2EBF0"), char32_t{0x2EBF0});  // 15.1
  EXPECT_EQ(lookup_unicode_name("TANGUT IDEOGRAPH-17000"), std::nullopt);
  EXPECT_EQ(lookup_unicode_name("KEYCAP NUMBER SIGN"), std::nullopt);  // a named sequence
  EXPECT_EQ(lookup_unicode_name(std::string(300, 'A')), std::nullopt);
}

TEST(StringLiteralTest, ChecksOnlyWhatCPythonDecodes) {
  EXPECT_FALSE(check_string_token("'\\d \\777 \\N{DIGIT ONE}'"));  // warnings only
  EXPECT_FALSE(check_string_token("b'\\N{nothing} \\u12'"));      // not escapes in bytes
  EXPECT_FALSE(check_string_token("r'\\x \\N{nothing}'"));
  EXPECT_TRUE(check_string_token("rb'\xc3\xa9'"));
  EXPECT_FALSE(check_fstring_middle("a\\", false));  // before a replacement field
  const auto err = check_string_token("'ab\\U00110000'");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->message, "illegal Unicode character");
  EXPECT_EQ(err->offset, 3u);
}

// The live comparison: a sample of the standard library and fresh mutants, each decided by
// CPython 3.13 and by the recognizer. Bounded to about 30 seconds.
TEST(GrammarLiveTest, AgreesWithCPythonOnLibraryFilesAndMutants) {
  const auto& python = testing::python313();
  if (!python) GTEST_SKIP() << testing::kNoPython;
  const std::string oracle_dir = std::string(PELMORA_SOURCE_DIR) + "/tests/oracle";
  if (!testing::cpython_stdlib()) GTEST_SKIP() << testing::kNoStdlib;
  const std::string lib = *testing::cpython_stdlib();
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(
           lib, std::filesystem::directory_options::skip_permission_denied)) {
    if (entry.is_regular_file() && entry.path().extension() == ".py") {
      files.push_back(entry.path().string());
    }
  }
  if (files.empty()) GTEST_SKIP() << "no CPython 3.13 library at " << lib;
  const auto seed = static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::cout << "file sample seed " << seed << "\n";
  std::mt19937 rng(seed);
  std::shuffle(files.begin(), files.end(), rng);
  files.resize(std::min<size_t>(files.size(), 400));

  testing::TempDir dir;
  std::string list;
  for (const auto& f : files) list += f + "\n";
  const std::string list_path = dir.write("files.txt", list);
  const auto verdicts = testing::run_command(
      *python + " " + testing::shell_quote(oracle_dir + "/grammar_oracle.py") + " files < " +
      testing::shell_quote(list_path));
  ASSERT_EQ(verdicts.status, 0);
  size_t compared = 0;
  std::istringstream in(verdicts.out);
  std::string line;
  while (std::getline(in, line)) {
    const json row = json::parse(line);
    const std::string path = row["path"];
    const std::string text = normalize_newlines(decode_utf8_replace(read_file_bytes(path)));
    EXPECT_EQ(check_source(text).valid, row["valid"].get<bool>()) << path;
    ++compared;
  }
  EXPECT_EQ(compared, files.size());

  // Mutants of the sampled files (windows of lines with one to three edits).
  const auto mutants = testing::run_command(
      *python + " " + testing::shell_quote(oracle_dir + "/grammar_mutate.py") +
      " --count 3000 --files " + testing::shell_quote(list_path) + " 2>/dev/null");
  ASSERT_EQ(mutants.status, 0);
  size_t disagreements = 0;
  size_t seen = 0;
  std::istringstream min(mutants.out);
  while (std::getline(min, line)) {
    const json row = json::parse(line);
    const std::string code = row["code"];
    ++seen;
    if (check_source(code).valid != row["valid"].get<bool>()) {
      ++disagreements;
      ADD_FAILURE() << "mutant (seed " << row["seed"] << "): " << shorten(code) << "\nCPython: "
                    << (row["valid"].get<bool>() ? "accepts" : row["msg"].get<std::string>());
    }
  }
  EXPECT_GT(seen, 2000u);
  EXPECT_EQ(disagreements, 0u);
}

}  // namespace
}  // namespace pelmora
