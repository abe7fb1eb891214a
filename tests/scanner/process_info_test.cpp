#include <gtest/gtest.h>

#include <string>

#include "agent/scanner/process_info.h"

namespace pelmora {
namespace {

ProcessInfo info(std::vector<std::string> cmdline, std::optional<std::string> script = {},
                 std::optional<std::string> name = "python3") {
  ProcessInfo p;
  p.pid = 10;
  p.name = std::move(name);
  p.cmdline = std::move(cmdline);
  p.script_path = std::move(script);
  return p;
}

TEST(ShortCmd, ScriptNameThenCommandLineThenName) {
  EXPECT_EQ(info({std::string(200, 'x')}, "/srv/jobs/train.py").short_cmd(), "train.py");
  EXPECT_EQ(info({"python3", "-c", "pass"}, "").short_cmd(), "python3 -c pass");
  EXPECT_EQ(info({"a b", "c"}).short_cmd(), "a b c");
  EXPECT_EQ(info({}, std::nullopt, "ipython").short_cmd(), "ipython");
  EXPECT_EQ(info({}, std::nullopt, std::nullopt).short_cmd(), "");
}

TEST(ShortCmd, CutAtSixtyCodePoints) {
  const std::string sixty = "python3 " + std::string(52, 'a');
  EXPECT_EQ(info({"python3", std::string(52, 'a')}).short_cmd(), sixty);
  EXPECT_EQ(info({"python3", std::string(53, 'a')}).short_cmd(), sixty);
  // 59 ASCII characters and then two-byte letters: the 60th is kept whole.
  std::string e_acute = "\xc3\xa9";
  const auto cut = info({std::string(58, 'a'), e_acute + e_acute}).short_cmd();
  EXPECT_EQ(cut, std::string(58, 'a') + " " + e_acute);
  // Four-byte characters count once each.
  std::string snakes;
  for (int i = 0; i < 70; ++i) snakes += "\xf0\x9f\x90\x8d";
  EXPECT_EQ(info({snakes}).short_cmd(), snakes.substr(0, 60 * 4));
  // A byte that is not UTF-8 counts as one character and is never merged with the next.
  const auto bad = info({std::string(59, 'a') + "\xe9" + "bc"}).short_cmd();
  EXPECT_EQ(bad, std::string(59, 'a') + "\xe9");
}

}  // namespace
}  // namespace pelmora
