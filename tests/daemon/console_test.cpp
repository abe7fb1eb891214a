// The banner, the detection block, the question with its answer rules, and the two skips.
#include <gtest/gtest.h>

#include "tests/daemon/daemon_harness.h"

namespace pelmora::testing {
namespace {

TEST(Banner, DefaultText) {
  Harness h;
  h.daemon->_print_banner();
  EXPECT_EQ(h.terminal.output,
            "Pelmora Agent Watch\n"
            "  Threshold : CPU or Memory > 85%\n"
            "  Mode      : standard\n"
            "  Interval  : 2.0s\n"
            "  Watching for heavy Python processes...  (Ctrl+C to stop)\n\n");
}

TEST(Banner, NumbersRoundLikePrintfAndLabelsAreIndependent) {
  Harness h({.fast = true, .threshold = 84.5, .interval = 0.25});
  h.daemon->_print_banner();
  EXPECT_NE(h.terminal.output.find("> 84%\n"), std::string::npos);
  EXPECT_NE(h.terminal.output.find("Interval  : 0.2s\n"), std::string::npos);
  EXPECT_NE(h.terminal.output.find("Mode      : performance\n"), std::string::npos);
  EXPECT_EQ(h.terminal.output.rfind("Pelmora Agent Watch\n", 0), 0u);

  Harness g({.threshold = 85.5, .interval = 1.05, .auto_offload = true});
  g.daemon->_print_banner();
  EXPECT_EQ(g.terminal.output.rfind("Pelmora Agent Watch (auto-offload)\n", 0), 0u);
  EXPECT_NE(g.terminal.output.find("> 86%\n"), std::string::npos);
  EXPECT_NE(g.terminal.output.find("Interval  : 1.1s\n"), std::string::npos);
  EXPECT_NE(g.terminal.output.find("Mode      : standard\n"), std::string::npos);
}

TEST(FormatFixed, EqualsPrintf) {
  EXPECT_EQ(AgentDaemon::format_fixed(0.25, 1), "0.2");
  EXPECT_EQ(AgentDaemon::format_fixed(0.35, 1), "0.3");  // stored just below the tie
  EXPECT_EQ(AgentDaemon::format_fixed(2.5, 0), "2");
  EXPECT_EQ(AgentDaemon::format_fixed(-0.04, 1), "-0.0");
  EXPECT_EQ(AgentDaemon::format_fixed(1e300, 0).size(), 301u);
  EXPECT_EQ(AgentDaemon::format_fixed(-std::nan(""), 1), "nan");
  EXPECT_EQ(AgentDaemon::format_fixed(HUGE_VAL, 1), "inf");
}

TEST(Detection, BlockWithAndWithoutSource) {
  ProcessInfo p = detection(812, "/srv/jobs/train.py");
  EXPECT_EQ(AgentDaemon::_format_detection(p),
            "  [812] train.py\n"
            "    CPU=97.3%  Mem=12.5% (2048 MB)\n"
            "    Source: /srv/jobs/train.py\n");
  p.script_path = "";
  p.cmdline = {"python3", "-c", "pass"};
  p.memory_mb = 0.5;
  EXPECT_EQ(AgentDaemon::_format_detection(p),
            "  [812] python3 -c pass\n"
            "    CPU=97.3%  Mem=12.5% (0 MB)\n");
}

TEST(Detection, ControlCharactersAndBadBytesAreEscaped) {
  ProcessInfo p = detection(7, std::nullopt);
  p.cmdline = {"python3", "-c", "\x1b]0;pwned\x07\xff", "caf\xc3\xa9"};
  EXPECT_EQ(AgentDaemon::_format_detection(p).rfind(
                "  [7] python3 -c \\x1b]0;pwned\\x07\\xff caf\xc3\xa9\n", 0),
            0u);
  p.script_path = "/tmp/a\xc2\x9b" "b/x\r.py";
  EXPECT_NE(AgentDaemon::_format_detection(p).find("    Source: /tmp/a\\x9bb/x\\x0d.py\n"),
            std::string::npos);
}

class HandleTest : public ::testing::Test {
 protected:
  TempDir dir;
  Harness h;
};

TEST_F(HandleTest, NoScriptIsIgnoredForGood) {
  h.daemon->_handle(detection(5, std::nullopt));
  EXPECT_EQ(h.terminal.output,
            "  [5] python3 -c\n"
            "    CPU=97.3%  Mem=12.5% (2048 MB)\n"
            "    Cannot read source (no .py file on command line).  Skipping.\n\n");
  EXPECT_TRUE(h.daemon->_ignored_pids.contains(5));
  EXPECT_EQ(h.terminal.reads, 0);
}

TEST_F(HandleTest, MissingFileOrDirectoryIsNotFound) {
  h.daemon->_handle(detection(6, dir.path + "/gone.py"));
  EXPECT_NE(h.terminal.take().find("    Script file not found on disk: " + dir.path +
                                   "/gone.py.  Skipping.\n\n"),
            std::string::npos);
  h.daemon->_handle(detection(7, dir.path));
  EXPECT_NE(h.terminal.take().find("Script file not found on disk: " + dir.path + ".  Skipping."),
            std::string::npos);
  EXPECT_EQ(h.daemon->_ignored_pids, (std::set<int>{6, 7}));
  EXPECT_TRUE(h.submissions.empty());
}

struct AnswerCase {
  std::string line;
  enum { kOffload, kIgnore, kSkip } outcome;
};

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, ActsOnTheNormalisedAnswer) {
  TempDir dir;
  Harness h;
  const std::string script = dir.file("train.py", "print(1)\n");
  h.terminal.answer(GetParam().line);
  h.daemon->_handle(detection(812, script));
  const std::string block = AgentDaemon::_format_detection(detection(812, script));
  const std::string asked = block + "    Offload to cloud? [y/N/ignore] ";
  switch (GetParam().outcome) {
    case AnswerCase::kOffload:
      EXPECT_EQ(h.submissions.size(), 1u);
      EXPECT_TRUE(h.daemon->_offloaded.contains(812));
      EXPECT_EQ(h.terminal.output.rfind(asked + "    Submitting train.py to cloud...\n", 0), 0u);
      break;
    case AnswerCase::kIgnore:
      EXPECT_EQ(h.terminal.output, asked + "    Ignored.\n\n");
      EXPECT_TRUE(h.daemon->_ignored_pids.contains(812));
      break;
    case AnswerCase::kSkip:
      EXPECT_EQ(h.terminal.output, asked + "    Skipped.\n\n");
      EXPECT_TRUE(h.daemon->_ignored_pids.empty());
      EXPECT_TRUE(h.daemon->_offloaded.empty());
      EXPECT_TRUE(h.submissions.empty());
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(AnswerCase{"y", AnswerCase::kOffload}, AnswerCase{"Y", AnswerCase::kOffload},
                      AnswerCase{"  yes  ", AnswerCase::kOffload},
                      AnswerCase{"YES", AnswerCase::kOffload},
                      AnswerCase{"Yes\t", AnswerCase::kOffload},
                      AnswerCase{"yes\r", AnswerCase::kOffload},
                      AnswerCase{"\xc2\xa0y\xe3\x80\x80", AnswerCase::kOffload},  // NBSP, U+3000
                      AnswerCase{"i", AnswerCase::kIgnore}, AnswerCase{"I", AnswerCase::kIgnore},
                      AnswerCase{"Ignore", AnswerCase::kIgnore},
                      AnswerCase{" IGNORE ", AnswerCase::kIgnore},
                      AnswerCase{"", AnswerCase::kSkip}, AnswerCase{"n", AnswerCase::kSkip},
                      AnswerCase{"no", AnswerCase::kSkip}, AnswerCase{"nope", AnswerCase::kSkip},
                      AnswerCase{"yes please", AnswerCase::kSkip},
                      AnswerCase{"ye", AnswerCase::kSkip}, AnswerCase{"ign", AnswerCase::kSkip},
                      AnswerCase{"ok", AnswerCase::kSkip}, AnswerCase{"y\xc3\xa9", AnswerCase::kSkip},
                      AnswerCase{"\xe2\x80\x8by", AnswerCase::kSkip}));  // U+200B is no space

TEST_F(HandleTest, EndOfInputIsNo) {
  const std::string script = dir.file("a.py", "x = 1\n");
  h.daemon->_handle(detection(9, script));
  h.daemon->_handle(detection(9, script));
  const std::string one = AgentDaemon::_format_detection(detection(9, script)) +
                          "    Offload to cloud? [y/N/ignore]     Skipped.\n\n";
  EXPECT_EQ(h.terminal.output, one + one);
  EXPECT_TRUE(h.daemon->_ignored_pids.empty());
}

TEST_F(HandleTest, AutomaticModeOffloadsWithoutAsking) {
  Harness a({.auto_offload = true});
  const std::string script = dir.file("train.py", "print(1)\n");
  a.daemon->_handle(detection(812, script));
  EXPECT_EQ(a.terminal.reads, 0);
  EXPECT_EQ(a.terminal.output,
            AgentDaemon::_format_detection(detection(812, script)) +
                "    Submitting train.py to cloud...\n"
                "    Submitted!  job_id=job-7f3a\n"
                "    Track with:  pelmora status job-7f3a\n"
                "    Logs:        pelmora logs job-7f3a --follow\n\n");
}

TEST_F(HandleTest, WriteFailurePropagates) {
  h.terminal.broken_output = true;
  EXPECT_THROW(h.daemon->_handle(detection(5, std::nullopt)), std::system_error);
}

}  // namespace
}  // namespace pelmora::testing
