// The offload flow: the script read, the four lines, the record, and each failure route.
#include <atomic>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_harness.h"

namespace pelmora::testing {
namespace {

class OffloadTest : public ::testing::Test {
 protected:
  TempDir dir;
  Harness h{{.api_key = "k-123", .api_url = "http://svc", .fast = true, .gpu = "A100",
             .cpu = 4, .memory = "8Gi"}};
};

TEST_F(OffloadTest, SubmitsTheDecodedTextAndRecordsTheJob) {
  const std::string script = dir.file("train.py", "a = 1\r\nb = '\xff'\rc = 3\n");
  const double before = wall_clock_now();
  h.daemon->_offload(detection(812, script));
  EXPECT_EQ(h.terminal.output,
            "    Submitting train.py to cloud...\n"
            "    Submitted!  job_id=job-7f3a\n"
            "    Track with:  pelmora status job-7f3a\n"
            "    Logs:        pelmora logs job-7f3a --follow\n\n");
  ASSERT_EQ(h.submissions.size(), 1u);
  const SubmitRequest& sent = h.submissions[0];
  EXPECT_EQ(sent.code, "a = 1\nb = '\xef\xbf\xbd'\nc = 3\n");
  EXPECT_EQ(sent.file_path, script);
  EXPECT_EQ(sent.api_key, "k-123");
  EXPECT_EQ(sent.api_url, "http://svc");
  EXPECT_TRUE(sent.fast);
  EXPECT_EQ(sent.gpu, "A100");
  EXPECT_EQ(sent.cpu, 4);
  EXPECT_EQ(sent.memory, "8Gi");

  ASSERT_TRUE(h.daemon->_offloaded.contains(812));
  const OffloadRecord& record = h.daemon->_offloaded.at(812);
  EXPECT_EQ(record.pid, 812);
  EXPECT_EQ(record.script_path, script);
  EXPECT_EQ(record.job_id, "job-7f3a");
  EXPECT_EQ(record.status, "submitted");
  EXPECT_GE(record.submitted_at, before);
  EXPECT_TRUE(h.daemon->_ignored_pids.empty());
}

TEST(ProjectOffload, TheProjectFormTakesTheProcessDirectoryAndTheArgumentsAfterTheScript) {
  TempDir dir;
  Harness h{{.api_key = "k", .api_url = "http://svc", .project = true}};
  const std::string script = dir.file("train.py", "pass\n");
  ProcessInfo proc = detection(812, script);
  proc.cmdline = {"python3", "-u", "./train.py", "--epochs", "3", "train.py"};
  h.process_cwd = [&](int pid) { return pid == 812 ? std::optional<std::string>(dir.path) : std::nullopt; };
  h.daemon->_offload(proc);
  ASSERT_EQ(h.submissions.size(), 1u);
  ASSERT_TRUE(h.submissions[0].project.has_value());
  EXPECT_EQ(h.submissions[0].project->cwd, dir.path);
  EXPECT_EQ(h.submissions[0].project->args, (std::vector<std::string>{"--epochs", "3", "train.py"}));
  EXPECT_EQ(h.submissions[0].file_path, script);

  // Without its working directory the process is not offloaded in the project form.
  h.daemon->_offload(detection(813, script));
  EXPECT_EQ(h.submissions.size(), 1u);
  EXPECT_TRUE(h.daemon->_ignored_pids.contains(813));
  EXPECT_NE(h.terminal.output.find("    Failed to read the working directory of process 813\n\n"),
            std::string::npos);

  // The default form sends no project.
  Harness plain{{.api_key = "k", .api_url = "http://svc"}};
  plain.daemon->_offload(detection(814, script));
  ASSERT_EQ(plain.submissions.size(), 1u);
  EXPECT_FALSE(plain.submissions[0].project.has_value());
}

TEST_F(OffloadTest, UnreadableScriptIsIgnoredForGood) {
  const std::string gone = dir.path + "/removed.py";
  h.daemon->_offload(detection(31, gone));
  EXPECT_EQ(h.terminal.output,
            "    Failed to read " + gone + ": No such file or directory\n\n");
  EXPECT_TRUE(h.daemon->_ignored_pids.contains(31));
  EXPECT_TRUE(h.submissions.empty());
  EXPECT_TRUE(h.daemon->_offloaded.empty());
}

TEST_F(OffloadTest, AnswerWithoutJobIdRecordsUnknown) {
  const std::string script = dir.file("t.py", "pass\n");
  h.next_answer = {{"status", "queued"}};
  h.daemon->_offload(detection(40, script));
  EXPECT_NE(h.terminal.output.find("    Submitted!  job_id=unknown\n"
                                   "    Track with:  pelmora status unknown\n"),
            std::string::npos);
  EXPECT_EQ(h.daemon->_offloaded.at(40).job_id, "unknown");

  h.next_answer = {{"job_id", 42}};
  h.daemon->_offload(detection(41, script));
  EXPECT_EQ(h.daemon->_offloaded.at(41).job_id, "42");
}

TEST_F(OffloadTest, NullAnswerFailsTheTickAndRecordsNothing) {
  const std::string script = dir.file("t.py", "pass\n");
  h.next_answer = nullptr;
  EXPECT_THROW(h.daemon->_offload(detection(40, script)), std::runtime_error);
  EXPECT_TRUE(h.daemon->_offloaded.empty());
  EXPECT_TRUE(h.daemon->_ignored_pids.empty());
}

TEST_F(OffloadTest, FailedSubmissionIsOfferedAgainAtTheNextTick) {
  const std::string script = dir.file("train.py", "pass\n");
  Harness a({.auto_offload = true});
  a.table.processes = {heavy_python(812, script)};
  a.next_error = "No API key.  Pass api_key= or set PELMORA_API_KEY env var.";
  const std::string block = AgentDaemon::_format_detection(a.daemon->scanner.scan().at(0));
  const std::string failed = block +
                             "    Submitting train.py to cloud...\n"
                             "    Submission failed: No API key.  Pass api_key= or set "
                             "PELMORA_API_KEY env var.\n\n";
  a.daemon->_tick();
  EXPECT_EQ(a.terminal.take(), failed);
  EXPECT_TRUE(a.daemon->_offloaded.empty());
  EXPECT_TRUE(a.daemon->_ignored_pids.empty());
  a.daemon->_tick();
  EXPECT_EQ(a.terminal.take(), failed);
  a.next_error.reset();
  a.daemon->_tick();
  EXPECT_TRUE(a.daemon->_offloaded.contains(812));
  a.terminal.take();
  a.daemon->_tick();
  EXPECT_EQ(a.terminal.take().find("Submitting"), std::string::npos);
  EXPECT_EQ(a.submissions.size(), 3u);
}

TEST_F(OffloadTest, LabelAndPathAreEscapedInOffloadLines) {
  const std::string script = dir.file("ev\x1b[2Jil.py", "pass\n");
  h.daemon->_offload(detection(50, script));
  EXPECT_NE(h.terminal.output.find("    Submitting ev\\x1b[2Jil.py to cloud...\n"),
            std::string::npos);
  EXPECT_EQ(h.terminal.output.find('\x1b'), std::string::npos);
  EXPECT_EQ(h.submissions.at(0).file_path, script);  // the real path goes to the service
}

TEST_F(OffloadTest, StopDuringASlowSubmissionIsShownWhileItWaits) {
  const std::string script = dir.file("t.py", "pass\n");
  std::atomic<bool> running{true};
  h.signals.install(running, true);
  std::string shown_while_waiting;
  h.during_submit = [&](const SubmitRequest& request) {
    h.signals.raise();
    ASSERT_TRUE(request.while_waiting);
    request.while_waiting();
    shown_while_waiting = h.terminal.output;
  };
  h.daemon->_offload(detection(60, script));
  EXPECT_EQ(shown_while_waiting,
            "    Submitting t.py to cloud...\n"
            "\nStopping agent watch...\n");
  // The submission itself goes on: the stop ends the loop, not the request.
  EXPECT_EQ(h.terminal.output, shown_while_waiting +
                                   "    Submitted!  job_id=job-7f3a\n"
                                   "    Track with:  pelmora status job-7f3a\n"
                                   "    Logs:        pelmora logs job-7f3a --follow\n\n");
  EXPECT_TRUE(h.daemon->_offloaded.contains(60));
}

}  // namespace
}  // namespace pelmora::testing
