// The watch loop on fakes: pacing in 0.25-second slices, the stop paths, tick failures,
// and the bookkeeping that outlives one watch.
#include <gtest/gtest.h>

#include "tests/daemon/daemon_harness.h"

namespace pelmora::testing {
namespace {

constexpr const char* kStop = "\nStopping agent watch...\n";

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class WatchLoopTest : public ::testing::Test {
 protected:
  // Records the monotonic time of every tick.
  void record_ticks(Harness& h) {
    h.table.after_enumeration = [this, &h] { ticks.push_back(h.clock.now); };
  }
  std::vector<double> ticks;
  TempDir dir;
};

TEST_F(WatchLoopTest, DefaultIntervalWaitsEightSlicesAndStopsAtTheSliceEnd) {
  Harness h;
  record_ticks(h);
  h.clock.at(1004.1, [&] { h.signals.raise(); });
  h.daemon->watch();
  EXPECT_EQ(ticks, (std::vector<double>{1001.0, 1003.0}));
  EXPECT_EQ(h.clock.now, 1004.25);  // the slice in progress finished, then no tick
  EXPECT_EQ(h.clock.sleeps.front(), 1.0);
  EXPECT_EQ(h.clock.count(0.25), 8 + 5);
  EXPECT_EQ(h.table.primes, 1);
  EXPECT_EQ(h.signals.installs, 1);
  EXPECT_EQ(h.signals.restores, 1);
  EXPECT_TRUE(h.signals.with_sigterm);
  EXPECT_FALSE(h.daemon->_running.load());
  // Banner, then the stop line, printed when the signal woke the wait.
  EXPECT_EQ(h.terminal.output.rfind("Pelmora Agent Watch\n", 0), 0u);
  EXPECT_EQ(occurrences(h.terminal.output, kStop), 1u);
  EXPECT_TRUE(h.terminal.output.ends_with(kStop));
}

TEST_F(WatchLoopTest, ShortIntervalWaitsOneSlice) {
  Harness h({.interval = 0.1});
  record_ticks(h);
  h.clock.at(1001.6, [&] { h.signals.raise(); });
  h.daemon->watch();
  EXPECT_EQ(ticks, (std::vector<double>{1001.0, 1001.25, 1001.5}));
}

TEST_F(WatchLoopTest, ZeroOrNegativeIntervalTicksBackToBack) {
  for (double interval : {0.0, -3.0}) {
    Harness h({.interval = interval});
    h.table.after_enumeration = [&] {
      if (h.table.enumerations == 5) h.signals.raise();
    };
    h.daemon->watch();
    EXPECT_EQ(h.table.enumerations, 5);
    EXPECT_EQ(h.clock.sleeps, (std::vector<double>{1.0}));  // only the priming pause
  }
}

TEST_F(WatchLoopTest, FailingScanIsLoggedOncePerCycleAtTheUsualPace) {
  LogCapture log;
  Harness h;
  h.table.fail_enumeration = true;
  record_ticks(h);
  h.clock.at(1006.5, [&] { h.signals.raise(); });
  h.daemon->watch();
  EXPECT_EQ(ticks, (std::vector<double>{1001.0, 1003.0, 1005.0}));
  EXPECT_EQ(log.lines(), std::vector<std::string>(3, "error: Scan tick failed: Permission denied"));
}

TEST_F(WatchLoopTest, FailedHandlingEndsTheTickButNotTheLoop) {
  LogCapture log;
  Harness h;
  h.table.processes = {heavy_python(101, dir.file("a.py", "")),
                       heavy_python(102, dir.file("b.py", ""))};
  h.terminal.broken_output = false;
  int enumerations_seen = 0;
  h.table.after_enumeration = [&] {
    // The first tick cannot write; the second can.
    h.terminal.broken_output = ++enumerations_seen == 1;
    if (enumerations_seen == 2) h.signals.raise();
  };
  h.daemon->watch();
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.lines()[0].starts_with("error: Scan tick failed: "));
  EXPECT_EQ(h.terminal.reads, 2);  // both asked at the second tick
}

TEST_F(WatchLoopTest, StopDuringPrimingRunsNoTick) {
  Harness h;
  h.table.during_prime = [&] { h.signals.raise(); };
  h.daemon->watch();
  EXPECT_EQ(h.table.enumerations, 0);
  EXPECT_EQ(h.clock.sleeps, (std::vector<double>{1.0}));
  EXPECT_EQ(h.signals.restores, 1);
  EXPECT_TRUE(h.terminal.output.ends_with(kStop));
}

TEST_F(WatchLoopTest, StopDuringTickHandlesTheRestThenDoesNotWait) {
  Harness h;
  h.table.processes = {heavy_python(101, dir.file("a.py", "")),
                       heavy_python(102, dir.file("b.py", "")),
                       heavy_python(103, dir.file("c.py", ""))};
  h.table.after_enumeration = [&] { h.signals.raise(); };
  h.terminal.answer("n");
  h.terminal.answer("i");
  h.terminal.answer("n", [&] { h.signals.raise(); });  // a second Ctrl+C at the question
  h.daemon->watch();
  EXPECT_EQ(h.terminal.reads, 3);
  EXPECT_EQ(h.table.enumerations, 1);
  EXPECT_EQ(h.clock.sleeps, (std::vector<double>{1.0}));
  EXPECT_EQ(h.daemon->_ignored_pids, (std::set<int>{102}));
  const std::string& out = h.terminal.output;
  EXPECT_EQ(occurrences(out, kStop), 2u);
  // The first line comes before the first block, the second while the question waits.
  EXPECT_LT(out.find(kStop), out.find("  [101] a.py"));
  EXPECT_NE(out.find(std::string("    Offload to cloud? [y/N/ignore] ") + kStop +
                     "    Skipped.\n\n"),
            std::string::npos);
}

TEST_F(WatchLoopTest, SecondSignalPrintsTheLineAgain) {
  Harness h;
  h.clock.at(1001.6, [&] {
    h.signals.raise();
    h.signals.raise();
  });
  h.daemon->watch();
  EXPECT_EQ(occurrences(h.terminal.output, kStop), 2u);
  EXPECT_EQ(h.clock.now, 1001.75);
  EXPECT_EQ(h.signals.restores, 1);
}

TEST_F(WatchLoopTest, DeclinedProcessIsAskedAgainAtTheNextTick) {
  Harness h;
  h.table.processes = {heavy_python(300, dir.file("slow.py", ""))};
  h.terminal.answer("n");
  h.terminal.answer("");
  h.clock.at(1004.0, [&] { h.signals.raise(); });
  h.daemon->watch();
  EXPECT_EQ(h.terminal.reads, 2);
  EXPECT_EQ(occurrences(h.terminal.output, "  [300] slow.py\n"), 2u);
}

TEST_F(WatchLoopTest, IgnoredAndOffloadedStaySkippedAcrossWatches) {
  Harness h;
  const std::string a = dir.file("a.py", "");
  const std::string b = dir.file("b.py", "");
  h.table.processes = {heavy_python(100, a), heavy_python(200, b)};
  h.terminal.answer("i");
  h.terminal.answer("y");
  h.clock.at(1002.0, [&] { h.signals.raise(); });
  h.daemon->watch();
  EXPECT_EQ(h.daemon->_ignored_pids, (std::set<int>{100}));
  ASSERT_TRUE(h.daemon->_offloaded.contains(200));
  EXPECT_FALSE(h.daemon->_running.load());

  // The pids now belong to new processes running other scripts: still skipped.
  h.table.processes = {heavy_python(100, dir.file("new1.py", "")),
                       heavy_python(200, dir.file("new2.py", ""))};
  h.table.processes[0].create_time = 1.8e9;
  h.clock.at(h.clock.now + 5.0, [&] { h.signals.raise(); });
  h.terminal.take();
  h.daemon->watch();
  EXPECT_GE(h.table.enumerations, 3);
  EXPECT_EQ(h.terminal.reads, 2);
  EXPECT_EQ(h.submissions.size(), 1u);
  EXPECT_EQ(h.terminal.output.find("  ["), std::string::npos);
  EXPECT_EQ(h.signals.installs, 2);
  EXPECT_EQ(h.signals.restores, 2);
}

TEST_F(WatchLoopTest, ExcludedProcessesArePassedOverSilently) {
  Harness h({.exclude = [](const ProcessInfo& p) { return p.pid == 101; }});
  h.table.processes = {heavy_python(101, dir.file("job.py", "")),
                       heavy_python(102, dir.file("mine.py", ""))};
  h.daemon->_tick();
  EXPECT_EQ(h.terminal.reads, 1);
  EXPECT_EQ(h.terminal.output.find("[101]"), std::string::npos);
  EXPECT_NE(h.terminal.output.find("  [102] mine.py"), std::string::npos);
}

TEST_F(WatchLoopTest, HandlersAreRestoredWhenTheStartFails) {
  Harness h;
  h.terminal.broken_output = true;
  EXPECT_THROW(h.daemon->watch(), std::system_error);
  EXPECT_EQ(h.signals.restores, 1);
  EXPECT_EQ(h.table.primes, 0);

  Harness g;
  g.table.unreadable = true;
  EXPECT_THROW(g.daemon->watch(), FileError);
  EXPECT_EQ(g.signals.restores, 1);
}

}  // namespace
}  // namespace pelmora::testing
