// Import discovery against CPython 3.13's own parser: golden answers checked in under
// tests/data/imports (made by tests/oracle/make_golden.sh), and a live comparison on a
// fresh mutation corpus when CPython 3.13 is installed.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "python/source.h"
#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

struct Case {
  std::string code;
  bool valid = false;
  std::vector<std::string> imports;
};

std::vector<nlohmann::json> read_jsonl(const std::string& path) {
  std::vector<nlohmann::json> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) out.push_back(nlohmann::json::parse(line));
  return out;
}

std::vector<Case> read_cases(const std::string& path) {
  std::vector<Case> out;
  for (const auto& j : read_jsonl(path)) {
    Case c;
    c.code = j.value("code", "");
    c.valid = j.at("valid").get<bool>();
    c.imports = j.at("imports").get<std::vector<std::string>>();
    out.push_back(std::move(c));
  }
  return out;
}

// Compares every case. Rejecting valid code, or giving other names for valid code, is a
// failure; accepting invalid code is counted (exact validity is the full grammar's job) and
// the share of agreement must reach `min_agreement`.
void compare(const std::vector<Case>& cases, double min_agreement) {
  std::size_t agree = 0;
  std::size_t accepted_invalid = 0;
  for (const Case& c : cases) {
    const SourceCheck scan = check_source(c.code);
    const std::vector<std::string> names(scan.imports.begin(), scan.imports.end());
    if (c.valid) {
      EXPECT_TRUE(scan.valid) << "valid code rejected: " << c.code;
      if (scan.valid) {
        EXPECT_EQ(names, c.imports) << c.code;
      }
    }
    if (scan.valid == c.valid && names == c.imports) {
      ++agree;
    } else if (!c.valid && scan.valid) {
      ++accepted_invalid;
    }
  }
  ASSERT_FALSE(cases.empty());
  const double share = static_cast<double>(agree) / static_cast<double>(cases.size());
  std::cout << "agreement " << agree << "/" << cases.size() << " (" << share * 100.0
            << "%), invalid code accepted: " << accepted_invalid << "\n";
  EXPECT_GE(share, min_agreement);
}

const std::string kData = std::string(PELMORA_TEST_DATA_DIR) + "/imports/";

TEST(ImportsOracle, EdgeCases) { compare(read_cases(kData + "edge_cases.jsonl"), 1.0); }

TEST(ImportsOracle, MutationSample) { compare(read_cases(kData + "mutations.jsonl"), 1.0); }

// Every file of the standard library and its test suite: the same verdict and the same
// names as CPython, read the way module files are read.
TEST(ImportsOracle, StandardLibraryFiles) {
  if (!testing::cpython_stdlib()) GTEST_SKIP() << testing::kNoStdlib;
  const std::string root = *testing::cpython_stdlib();
  std::size_t checked = 0;
  std::size_t invalid = 0;
  for (const auto& j : read_jsonl(kData + "stdlib_verdicts.jsonl")) {
    const std::string path = root + "/" + j.at("path").get<std::string>();
    if (!is_regular_file(path)) continue;
    const SourceCheck scan = check_source(read_text_file(path));
    EXPECT_EQ(scan.valid, j.at("valid").get<bool>()) << path;
    EXPECT_EQ(std::vector<std::string>(scan.imports.begin(), scan.imports.end()),
              j.at("imports").get<std::vector<std::string>>())
        << path;
    ++checked;
    if (!scan.valid) ++invalid;
  }
  EXPECT_GT(checked, 2000u);
  EXPECT_GE(invalid, 2u);  // bad_coding2.py (a BOM) and badsyntax_3131.py
}

// A fresh corpus: mutations of standard-library windows, answered by CPython now.
TEST(ImportsOracle, LiveMutations) {
  if (!testing::python313()) GTEST_SKIP() << testing::kNoPython;
  if (!testing::cpython_stdlib()) GTEST_SKIP() << testing::kNoStdlib;
  const std::string root = *testing::cpython_stdlib();
  const std::string oracle =
      testing::shell_quote(std::string(PELMORA_SOURCE_DIR) + "/tests/oracle/imports_oracle.py");
  const std::string py = *testing::python313();
  testing::TempDir dir;
  const std::string in = dir.path() + "/in.jsonl";
  const std::string cmd = py + " " + oracle + " files " + root + "/*.py " + root +
                          "/json/*.py | " + py +
                          " -c 'import json,sys\nfor l in sys.stdin: print(json.dumps({\"code\": "
                          "json.loads(l)[\"code\"]}))' | " +
                          py + " " + oracle + " mutate 20240 3000 > " + in + " && " + py + " " +
                          oracle + " answer < " + in;
  const testing::CommandResult r = testing::run_command(cmd);
  ASSERT_EQ(r.status, 0);
  const std::vector<nlohmann::json> codes = read_jsonl(in);
  std::vector<Case> cases;
  std::istringstream answers(r.out);
  std::string line;
  for (const auto& j : codes) {
    ASSERT_TRUE(std::getline(answers, line));
    const auto a = nlohmann::json::parse(line);
    cases.push_back({j.at("code").get<std::string>(), a.at("valid").get<bool>(),
                     a.at("imports").get<std::vector<std::string>>()});
  }
  EXPECT_EQ(cases.size(), 3000u);
  compare(cases, 1.0);
}

}  // namespace
}  // namespace pelmora
