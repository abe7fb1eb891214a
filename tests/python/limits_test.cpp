// Every measured limit of the front end at its boundary, on both sides: the largest count
// CPython 3.13's ast.parse accepts (measured with it, checked in below) and one more. The
// live test asks CPython again for the same texts when it is installed.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "python/source.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

std::string repeat(std::string_view s, int n) {
  std::string out;
  out.reserve(s.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// A text of n nested or chained constructs: `open` n times, `core`, `close` n times.
struct Limit {
  const char* name;
  const char* open;
  const char* core;
  const char* close;
  int max_accepted;  // CPython 3.13's answer

  std::string text(int n) const {
    if (std::string_view(name) == "indent_levels") {  // n nested blocks
      std::string out;
      for (int i = 0; i < n; ++i) out += std::string(static_cast<size_t>(i), ' ') + "if x:\n";
      return out + std::string(static_cast<size_t>(n), ' ') + "pass\n";
    }
    return repeat(open, n) + core + repeat(close, n);
  }
};

const Limit kLimits[] = {
    // The parser stack (6000 levels), counted per construct and below the innermost atom.
    {"unary_minus_number", "-", "1", "", 5968},
    {"unary_minus_name", "-", "x", "", 5969},
    {"unary_plus_number", "+", "1", "", 5968},
    {"invert_number", "~", "1", "", 5968},
    {"unary_minus_ellipsis", "-", "...", "", 5968},
    {"unary_minus_string", "-", "'s'", "", 5965},
    {"unary_minus_fstring", "-", "f's'", "", 5962},
    {"not_name", "not ", "x", "", 5969},
    {"not_number", "not ", "1", "", 5968},
    {"conditional_number", "x if y else ", "1", "", 5968},
    {"power_name", "a**", "x", "", 2984},
    {"lambda_number", "lambda:", "1", "", 2984},
    // Brackets below an operator's operand, and the elements after a ','.
    {"unary_minus_list", "-", "[x]", "", 5940},
    {"unary_minus_empty_list", "-", "[]", "", 5939},
    {"unary_minus_group_in_group", "-", "((x))", "", 5913},
    {"unary_minus_call", "-", "f(x)", "", 5945},
    {"unary_minus_call_trailing_comma", "-", "f(x,)", "", 5940},
    {"unary_minus_tuple", "-", "(x, y)", "", 5939},
    {"unary_minus_subscript_trailing_comma", "-", "x[0,]", "", 5941},
    {"unary_minus_dict_trailing_comma", "-", "{x: y,}", "", 5938},
    {"unary_minus_fstring_list", "-", "f'{[x]}'", "", 5907},
    {"not_list", "not ", "[x]", "", 5940},
    // The tokenizer: 200 brackets, 150 f-strings, 100 indentation levels.
    {"parentheses", "(", "", ")", 200},
    {"lists", "[", "", "]", 200},
    {"calls", "f(", "", ")", 200},
    {"subscripts", "x[", "i", "]", 200},
    {"walrus_groups", "(a:=", "1", ")", 200},
    {"dicts", "{1:", "1", "}", 200},
    {"starred_lists", "[*", "x", "]", 200},
    {"fstrings", "f'{", "x", "}'", 149},
    {"indent_levels", "", "", "", 99},
    // The depth of the syntax tree ast.parse hands back.
    {"attributes", "", "x", ".y", 9994},
    {"additions", "", "x", "+x", 9994},
    // Decimal integers of at most 4300 digits.
    {"digits", "", "", "1", 4300},
};

std::string describe(const Limit& limit, int n) {
  return std::string(limit.name) + " x" + std::to_string(n);
}

TEST(Limits, AcceptedUpToCPythonsBoundaryAndRefusedPastIt) {
  for (const Limit& limit : kLimits) {
    EXPECT_TRUE(check_source(limit.text(limit.max_accepted)).valid)
        << describe(limit, limit.max_accepted);
    const SourceCheck past = check_source(limit.text(limit.max_accepted + 1));
    EXPECT_FALSE(past.valid) << describe(limit, limit.max_accepted + 1);
    EXPECT_FALSE(past.error.message.empty()) << describe(limit, limit.max_accepted + 1);
  }
}

TEST(LimitsLive, BoundariesAreCPythons) {
  if (!testing::python313()) GTEST_SKIP() << testing::kNoPython;
  testing::TempDir dir;
  std::string request;
  std::vector<std::string> names;
  for (const Limit& limit : kLimits) {
    for (int n : {limit.max_accepted, limit.max_accepted + 1}) {
      request += nlohmann::json{{"code", limit.text(n)}}.dump() + "\n";
      names.push_back(describe(limit, n));
    }
  }
  const std::string in = dir.write("codes.jsonl", request);
  const auto result = testing::run_command(
      *testing::python313() + " " +
      testing::shell_quote(std::string(PELMORA_SOURCE_DIR) + "/tests/oracle/grammar_oracle.py") +
      " codes < " + testing::shell_quote(in));
  ASSERT_EQ(result.status, 0);
  std::istringstream lines(result.out);
  std::string line;
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line)) << names[i];
    const bool accepted_side = i % 2 == 0;
    EXPECT_EQ(nlohmann::json::parse(line).at("valid").get<bool>(), accepted_side) << names[i];
  }
}

}  // namespace
}  // namespace pelmora
