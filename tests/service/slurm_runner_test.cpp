// SlurmRunner against stand-ins for sbatch, squeue, scancel and sacct (tests/data/slurm/)
// that run the batch jobs on this machine; and the service with --runner slurm end to end.
#include <sys/wait.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/platform/clock.h"
#include "tests/fakes/manual_clock.h"
#include "service/slurm_runner.h"
#include "service/util.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::TempDir;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The stand-in commands, copied into a fresh directory with their state beside them.
class FakeSlurm {
 public:
  FakeSlurm() {
    std::filesystem::create_directories(bin());
    std::filesystem::create_directories(state());
    std::filesystem::create_directories(jobs());
    for (const char* name : {"sbatch", "squeue", "scancel", "sacct"}) {
      std::filesystem::copy_file(std::string(PELMORA_TEST_DATA_DIR) + "/slurm/" + name,
                                 bin() + "/" + name);
    }
  }
  std::string bin() const { return dir_.path() + "/bin"; }
  std::string state() const { return bin() + "/state"; }
  std::string jobs() const { return dir_.path() + "/jobs"; }

  SlurmRunnerOptions options() const {
    SlurmRunnerOptions o;
    o.python = testing::test_python();
    o.sbatch = bin() + "/sbatch";
    o.squeue = bin() + "/squeue";
    o.scancel = bin() + "/scancel";
    o.sacct = bin() + "/sacct";
    o.poll_interval = 0.05;
    o.output_interval = 0.02;
    o.exit_status_grace = 0.3;
    o.command_timeout = 20;
    o.stop_timeout = 20;
    return o;
  }
  // A job whose directory holds `code` as main.py.
  LaunchSpec job(const std::string& name, const std::string& code,
                 json resources = json::object()) const {
    std::string work_dir = jobs() + "/" + name;
    std::filesystem::create_directories(work_dir);
    std::ofstream(work_dir + "/main.py") << code;
    return LaunchSpec{name, ++seq_, work_dir, std::move(resources)};
  }
  void control(const std::string& name, const std::string& content) const {
    std::ofstream(state() + "/" + name) << content;
  }
  void clear(const std::string& name) const { std::filesystem::remove(state() + "/" + name); }
  std::vector<std::string> job_file(int slurm_id, const std::string& name) const {
    return read_lines(state() + "/" + std::to_string(slurm_id) + "/" + name);
  }
  // What the stand-in recorded for an ended job (as sacct shows it). It writes this after the
  // batch script has exited, so after the exit status that may already have ended the job
  // for the runner: waited for, briefly.
  std::vector<std::string> final_record(int slurm_id) const {
    const std::string path = state() + "/" + std::to_string(slurm_id) + "/final";
    for (int i = 0; i < 1000 && !std::filesystem::exists(path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return read_lines(path);
  }

 private:
  TempDir dir_;
  mutable std::int64_t seq_ = 0;
};

// Records what a runner reports, and every breach of the order RunnerEvents promises.
class Recorder : public RunnerEvents {
 public:
  struct Job {
    std::optional<long> submitted;
    std::optional<long> pid;
    std::vector<OutputLine> lines;
    std::optional<JobOutcome> outcome;
    std::size_t largest_batch = 0;
    std::uint64_t stream_end[2] = {0, 0};  // the last OutputLine::stream_end of each stream
  };

  // Takes up a job another recorder saw, as a store keeps it over a restart: indices go on
  // from its lines, and it counts as started when it was.
  void seed(const std::string& id, const Job& before) {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[id];
    j.pid = before.pid;
    j.lines = before.lines;
    std::copy(std::begin(before.stream_end), std::end(before.stream_end), std::begin(j.stream_end));
  }
  // Where the runner is to go on from, as the scheduler builds it from the store.
  ResumePoint resume_point(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[id];
    ResumePoint from;
    from.pid = j.pid ? *j.pid : j.submitted.value_or(0);
    from.started = j.pid.has_value();
    from.next_index = static_cast<std::int64_t>(j.lines.size());
    from.stream_bytes[0] = j.stream_end[0];
    from.stream_bytes[1] = j.stream_end[1];
    return from;
  }

  void on_submitted(const LaunchSpec& job, long pid) override {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[job.job_id];
    if (j.submitted || j.pid || j.outcome) breaches_.push_back(job.job_id + ": late on_submitted");
    j.submitted = pid;
    changed_.notify_all();
  }

  void on_started(const LaunchSpec& job, long pid) override {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[job.job_id];
    if (j.pid || !j.lines.empty() || j.outcome) breaches_.push_back(job.job_id + ": late on_started");
    j.pid = pid;
    changed_.notify_all();
  }
  void on_output(const LaunchSpec& job, std::int64_t first_index,
                 const std::vector<OutputLine>& lines) override {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[job.job_id];
    if (!j.pid || j.outcome) breaches_.push_back(job.job_id + ": output outside the run");
    if (first_index != static_cast<std::int64_t>(j.lines.size())) {
      breaches_.push_back(job.job_id + ": index " + std::to_string(first_index));
    }
    j.lines.insert(j.lines.end(), lines.begin(), lines.end());
    for (const auto& line : lines) {
      if (line.stream_end) j.stream_end[static_cast<int>(line.stream)] = *line.stream_end;
    }
    j.largest_batch = std::max(j.largest_batch, lines.size());
    changed_.notify_all();
  }
  void on_finished(const LaunchSpec& job, const JobOutcome& outcome) override {
    std::lock_guard lock(mutex_);
    auto& j = jobs_[job.job_id];
    if (j.outcome) breaches_.push_back(job.job_id + ": finished twice");
    j.outcome = outcome;
    changed_.notify_all();
  }

  // Waits (at most `seconds`) for `done` to hold of the job's record.
  template <class Done>
  Job wait_for(const std::string& id, Done done, double seconds = 30) {
    std::unique_lock lock(mutex_);
    bool ok = changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                [&] { return done(jobs_[id]); });
    EXPECT_TRUE(ok) << id << " did not get there";
    return jobs_[id];
  }
  Job job(const std::string& id) {
    std::lock_guard lock(mutex_);
    return jobs_[id];
  }
  Job wait_end(const std::string& id, double seconds = 30) {
    return wait_for(id, [](const Job& j) { return j.outcome.has_value(); }, seconds);
  }
  Job wait_output(const std::string& id) {
    return wait_for(id, [](const Job& j) { return !j.lines.empty(); });
  }
  std::vector<std::string> breaches() {
    std::lock_guard lock(mutex_);
    return breaches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Job> jobs_;
  std::vector<std::string> breaches_;
};

std::vector<std::string> contents(const std::vector<OutputLine>& lines, Stream stream) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    if (line.stream == stream) out.push_back(line.content);
  }
  return out;
}

class SlurmRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  }
  FakeSlurm slurm;
  Recorder events;
};

TEST_F(SlurmRunnerTest, CompletedJobKeepsEachStreamsLinesInOrder) {
  auto options = slurm.options();
  options.batch_lines = 7;
  options.max_line_bytes = 100;
  SlurmRunner runner(options, events);
  auto spec = slurm.job("job-done",
                        "import sys, time\n"
                        "for i in range(40):\n"
                        "    print('out', i)\n"
                        "    sys.stderr.write('err %d\\n' % i)\n"
                        "    if i % 10 == 0: time.sleep(0.05)\n"
                        "print('x' * 250)\n"
                        "sys.stdout.write('tail-no-newline')\n");
  runner.launch(spec);
  auto job = events.wait_end("job-done");
  ASSERT_TRUE(job.outcome);
  EXPECT_EQ(job.outcome->exit_code, 0);
  EXPECT_FALSE(job.outcome->error) << *job.outcome->error;
  EXPECT_EQ(job.pid, 1);  // the Slurm job id

  std::vector<std::string> expect_out, expect_err;
  for (int i = 0; i < 40; ++i) {
    expect_out.push_back("out " + std::to_string(i) + "\n");
    expect_err.push_back("err " + std::to_string(i) + "\n");
  }
  // A long line in pieces; a last line without its newline is an entry too.
  expect_out.insert(expect_out.end(), {std::string(100, 'x'), std::string(100, 'x'),
                                       std::string(50, 'x') + "\n", "tail-no-newline"});
  EXPECT_EQ(contents(job.lines, Stream::stdout_stream), expect_out);
  EXPECT_EQ(contents(job.lines, Stream::stderr_stream), expect_err);
  EXPECT_LE(job.largest_batch, 7u);
  EXPECT_THAT(events.breaches(), ElementsAre());
  EXPECT_THAT(slurm.final_record(1), ElementsAre("COMPLETED|0:0"));
}

TEST_F(SlurmRunnerTest, SubmissionAsksForResourcesWithoutTheServicesSecrets) {
  setenv("PELMORA_API_KEY", "pk-secret", 1);
  setenv("SOMETHING_TOKEN", "tok-secret", 1);
  setenv("PYTHONUNBUFFERED", "0", 1);
  auto options = slurm.options();
  options.partition = "gpu";
  options.sbatch_args = {"--time=10", "--mem=1"};
  auto spec = slurm.job("job-args", "import os\nprint(os.environ.get('SLURM_JOB_ID'))\n",
                        {{"cpu", 2}, {"memory", "3Gi"}, {"gpu", "t4"}});
  {
    SlurmRunner runner(options, events);
    runner.launch(spec);
    events.wait_end("job-args");
  }
  auto job = events.wait_end("job-args");
  // The environment changes only while no runner thread reads it.
  unsetenv("PELMORA_API_KEY");
  unsetenv("SOMETHING_TOKEN");
  unsetenv("PYTHONUNBUFFERED");
  EXPECT_EQ(job.outcome->exit_code, 0);
  ASSERT_EQ(job.lines.size(), 1u);
  EXPECT_EQ(job.lines[0].content, "1\n");

  // The extra options come first, so the job's own --mem wins.
  EXPECT_THAT(slurm.job_file(1, "args"),
              ElementsAre("--parsable", "--time=10", "--mem=1", "--partition=gpu",
                          "--job-name=pelmora-job-args", "--chdir=" + spec.work_dir,
                          "--output=" + spec.work_dir + "/" + kSlurmStdoutFile,
                          "--error=" + spec.work_dir + "/" + kSlurmStderrFile, "--cpus-per-task=2",
                          "--mem=3072M", "--gres=gpu:t4:1", spec.work_dir + "/" + kSlurmScriptFile));
  auto env = slurm.job_file(1, "env");
  EXPECT_THAT(env, Contains("PYTHONUNBUFFERED=1"));
  EXPECT_THAT(env, Not(Contains("PYTHONUNBUFFERED=0")));
  for (const auto& entry : env) {
    EXPECT_THAT(entry, Not(HasSubstr("secret"))) << entry;
  }
  EXPECT_EQ(read_text(spec.work_dir + "/" + kSlurmExitFile), "0\n");
  EXPECT_EQ(read_text(spec.work_dir + "/" + kSlurmJobIdFile), "1\n");
}

TEST_F(SlurmRunnerTest, FailingScriptReportsExitCodeTracebackAndSignal) {
  SlurmRunner runner(slurm.options(), events);
  runner.launch(slurm.job("job-raise", "print('before')\ndef f():\n    raise ValueError('boom')\nf()\n"));
  runner.launch(slurm.job("job-kill", "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)\n"));

  auto job = events.wait_end("job-raise");
  EXPECT_EQ(job.outcome->exit_code, 1);
  EXPECT_FALSE(job.outcome->error);
  EXPECT_THAT(contents(job.lines, Stream::stdout_stream), ElementsAre("before\n"));
  auto err = contents(job.lines, Stream::stderr_stream);
  ASSERT_GE(err.size(), 2u);
  EXPECT_EQ(err.front(), "Traceback (most recent call last):\n");
  EXPECT_EQ(err.back(), "ValueError: boom\n");

  job = events.wait_end("job-kill");
  EXPECT_EQ(job.outcome->exit_code, -9);
  EXPECT_THAT(job.outcome.value().error.value_or(""), HasSubstr("signal 9"));
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, CancelStopsRunningAndPendingJobs) {
  SlurmRunner runner(slurm.options(), events);
  runner.launch(slurm.job("job-running", "import time\nprint('ready')\ntime.sleep(60)\n"));
  events.wait_output("job-running");
  runner.cancel("job-running");
  auto job = events.wait_end("job-running");
  EXPECT_EQ(job.outcome->error, "cancelled");
  EXPECT_EQ(job.lines.size(), 1u);
  long pgid = std::stol(slurm.job_file(1, "pid").at(0));
  for (int i = 0; i < 300 && testing::group_alive(pgid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(testing::group_alive(pgid));

  // Still waiting in Slurm's queue: it never starts.
  slurm.control("start-delay", "60");
  runner.launch(slurm.job("job-pending", "print('never')\n"));
  events.wait_for("job-pending", [](const Recorder::Job& j) { return j.submitted.has_value(); });
  runner.cancel("job-pending");
  job = events.wait_end("job-pending");
  EXPECT_EQ(job.outcome->error, "cancelled");
  EXPECT_FALSE(job.pid);
  EXPECT_FALSE(job.outcome->exit_code);
  EXPECT_THAT(read_lines(slurm.state() + "/scancel-calls"), ElementsAre("1", "2"));
  // Cancelling a job that has ended does nothing.
  runner.cancel("job-running");
  EXPECT_EQ(read_lines(slurm.state() + "/scancel-calls").size(), 2u);
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, SubmissionThatFailsEndsTheJobWithTheReason) {
  slurm.control("sbatch-fail",
                "sbatch: error: Batch job submission failed: Invalid partition name specified\n");
  auto options = slurm.options();
  {
    SlurmRunner runner(options, events);
    runner.launch(slurm.job("job-refused", "print('x')\n"));
    runner.launch(slurm.job("job-gpu", "print('x')\n", {{"gpu", "a,b"}}));
    auto job = events.wait_end("job-refused");
    EXPECT_EQ(job.outcome->error,
              "sbatch: error: Batch job submission failed: Invalid partition name specified");
    EXPECT_FALSE(job.outcome->exit_code);
    EXPECT_FALSE(job.pid);
    EXPECT_THAT(events.wait_end("job-gpu", 1).outcome->error.value_or(""), HasSubstr("a,b"));
  }
  options.sbatch = slurm.bin() + "/no-such-sbatch";
  SlurmRunner runner(options, events);
  runner.launch(slurm.job("job-nosbatch", "print('x')\n"));
  EXPECT_THAT(events.wait_end("job-nosbatch").outcome->error.value_or(""), HasSubstr("not found"));
}

TEST_F(SlurmRunnerTest, SubmissionWaitsWhileTheControllerCannotBeReached) {
  slurm.control("sbatch-fail", "sbatch: error: Batch job submission failed: Unable to contact "
                               "slurm controller (connect failure)\n");
  SlurmRunner runner(slurm.options(), events);
  runner.launch(slurm.job("job-waiting", "print('in the end')\n"));
  runner.launch(slurm.job("job-cancelled", "print('never')\n"));
  runner.cancel("job-cancelled");
  EXPECT_EQ(events.wait_end("job-cancelled").outcome->error, "cancelled");
  // sbatch fails every 50 ms meanwhile: the job waits for the controller rather than failing.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(events.job("job-waiting").outcome);
  EXPECT_EQ(runner.health()["state"], "controller unreachable");
  EXPECT_THAT(runner.health()["controller"]["error"].get<std::string>(),
              HasSubstr("Unable to contact"));
  slurm.clear("sbatch-fail");
  auto job = events.wait_end("job-waiting");
  EXPECT_EQ(job.outcome->exit_code, 0);
  EXPECT_EQ(runner.health()["state"], "ok");
  EXPECT_THAT(contents(job.lines, Stream::stdout_stream), ElementsAre("in the end\n"));
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, JobLeavingTheQueueWithoutExitStatusIsExplained) {
  // The interpreter takes its batch script with it: nothing records its exit status.
  const char* vanish =
      "import os, signal, sys\nprint('going')\nsys.stdout.flush()\n"
      "os.kill(os.getppid(), signal.SIGKILL)\nos.kill(os.getpid(), signal.SIGKILL)\n";
  {
    // Accounting knows why.
    slurm.control("sacct-answer", "TIMEOUT|0:0\n");
    SlurmRunner runner(slurm.options(), events);
    runner.launch(slurm.job("job-timeout", vanish));
    auto job = events.wait_end("job-timeout");
    EXPECT_EQ(job.outcome->error, "slurm: job ended TIMEOUT");
    EXPECT_FALSE(job.outcome->exit_code);
    EXPECT_THAT(contents(job.lines, Stream::stdout_stream), ElementsAre("going\n"));
    slurm.clear("sacct-answer");
  }
  {
    // squeue still shows its final state.
    slurm.control("squeue-keeps-ended", "");
    SlurmRunner runner(slurm.options(), events);
    runner.launch(slurm.job("job-failed", vanish));
    EXPECT_EQ(events.wait_end("job-failed").outcome->error, "slurm: job ended FAILED");
    slurm.clear("squeue-keeps-ended");
  }
  {
    // Nobody knows.
    auto options = slurm.options();
    options.sacct = slurm.bin() + "/no-such-sacct";
    SlurmRunner runner(options, events);
    runner.launch(slurm.job("job-lost", vanish));
    EXPECT_THAT(events.wait_end("job-lost").outcome->error.value_or(""),
                HasSubstr("left the queue without an exit status"));
  }
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, JobEndsByItsExitStatusWhileSqueueFails) {
  slurm.control("squeue-fail", "squeue: error: Unable to contact slurm controller\n");
  SlurmRunner runner(slurm.options(), events);
  runner.launch(slurm.job("job-blind", "print('a')\nprint('b')\nraise SystemExit(3)\n"));
  auto job = events.wait_end("job-blind");
  EXPECT_EQ(job.outcome->exit_code, 3);
  EXPECT_EQ(job.pid, 1);
  EXPECT_THAT(contents(job.lines, Stream::stdout_stream), ElementsAre("a\n", "b\n"));
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, StopAllCancelsEveryJobAndWaitsForTheirEnd) {
  SlurmRunner runner(slurm.options(), events);
  runner.launch(slurm.job("job-a", "import time\nprint('a')\ntime.sleep(60)\n"));
  runner.launch(slurm.job("job-b", "import time\nprint('b')\ntime.sleep(60)\n"));
  events.wait_output("job-a");
  events.wait_output("job-b");
  runner.stop_all();
  EXPECT_EQ(events.wait_end("job-a", 0).outcome->error, "cancelled");
  EXPECT_EQ(events.wait_end("job-b", 0).outcome->error, "cancelled");
  EXPECT_THAT(read_lines(slurm.state() + "/scancel-calls"), ElementsAre("1 2"));
  EXPECT_THAT(events.breaches(), ElementsAre());
}

TEST_F(SlurmRunnerTest, StopAllGivesUpOnAJobSlurmIsNotHeardToEndAfterStopTimeoutOnItsClock) {
  pelmora::testing::ManualClock clock;
  auto options = slurm.options();
  options.stop_timeout = 60;
  slurm.control("start-delay", "60");
  slurm.control("squeue-fail", "squeue: error: Unable to contact slurm controller\n");
  SlurmRunner runner(options, events, clock);
  runner.launch(slurm.job("job-stuck", "print('never')\n"));
  events.wait_for("job-stuck", [](const Recorder::Job& j) { return j.submitted.has_value(); });
  auto stopping = std::async(std::launch::async, [&runner] { runner.stop_all(); });
  EXPECT_EQ(stopping.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  // The wait may begin after a first move (scancel runs before it): move on until it ends.
  for (int i = 0; i < 600 && stopping.wait_for(std::chrono::milliseconds(50)) !=
                                 std::future_status::ready; ++i) {
    clock.advance(60);
  }
  ASSERT_EQ(stopping.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  auto job = events.wait_end("job-stuck", 0);
  EXPECT_EQ(job.outcome->error, "cancelled");
  EXPECT_FALSE(job.pid);
  EXPECT_THAT(events.breaches(), ElementsAre());
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += part;
  return text;
}

// Waits (at most `seconds`) for `done`.
template <class Done>
bool wait_until(Done done, double seconds = 30) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// Python waiting until the file `path` exists.
std::string wait_for_file(const std::string& path) {
  return "import os, time\nwhile not os.path.exists('" + path + "'): time.sleep(0.02)\n";
}

TEST_F(SlurmRunnerTest, ReleasedJobRunsOnAndIsResumedWhereEachStreamStopped) {
  auto options = slurm.options();
  options.max_line_bytes = 100;
  std::string go = slurm.jobs() + "/go";
  // When it waits: a long line cut in two pieces with 50 bytes left over, an unfinished line
  // on standard error, and bytes that are not UTF-8 before them.
  auto spec = slurm.job("job-resumed",
                        "import sys\n"
                        "for i in range(5):\n"
                        "    print('out', i)\n"
                        "    sys.stderr.write('err %d\\n' % i)\n"
                        "sys.stdout.buffer.write(b'bad \\xff\\xfe bytes\\n')\n"
                        "sys.stdout.write('x' * 250)\n"
                        "sys.stderr.write('half-')\n" +
                            wait_for_file(go) +
                            "print('rest')\n"
                            "sys.stderr.write('line\\n')\n"
                            "for i in range(5, 8): print('out', i)\n");
  Recorder::Job before;
  {
    SlurmRunner runner(options, events);
    runner.launch(spec);
    before = events.wait_for("job-resumed", [](const Recorder::Job& j) { return j.lines.size() == 13; });
    EXPECT_EQ(runner.release_all(), 1u);
  }
  // Released, then the runner destroyed: Slurm's job was neither cancelled nor reported ended.
  EXPECT_FALSE(exists(slurm.state() + "/scancel-calls"));
  EXPECT_FALSE(exists(slurm.state() + "/1/final"));
  EXPECT_THAT(slurm.job_file(1, "state"), ElementsAre("RUNNING"));
  EXPECT_EQ(before.submitted, 1);
  EXPECT_FALSE(before.outcome);
  // The positions recorded with the entries are the bytes each stream's entries hold.
  EXPECT_EQ(before.stream_end[0], joined(contents(before.lines, Stream::stdout_stream)).size());
  EXPECT_EQ(before.stream_end[1], joined(contents(before.lines, Stream::stderr_stream)).size());

  Recorder after;
  after.seed("job-resumed", before);
  SlurmRunner runner(options, after);
  ASSERT_TRUE(runner.resume(spec, events.resume_point("job-resumed")));
  std::ofstream(go) << "";
  auto job = after.wait_end("job-resumed");
  EXPECT_EQ(job.outcome->exit_code, 0);
  EXPECT_FALSE(job.outcome->error);
  std::vector<std::string> expect_out;
  for (int i = 0; i < 5; ++i) expect_out.push_back("out " + std::to_string(i) + "\n");
  expect_out.insert(expect_out.end(), {"bad \xff\xfe bytes\n", std::string(100, 'x'), std::string(100, 'x'),
                                       std::string(50, 'x') + "rest\n"});
  for (int i = 5; i < 8; ++i) expect_out.push_back("out " + std::to_string(i) + "\n");
  EXPECT_EQ(contents(job.lines, Stream::stdout_stream), expect_out);
  EXPECT_THAT(contents(job.lines, Stream::stderr_stream),
              ElementsAre("err 0\n", "err 1\n", "err 2\n", "err 3\n", "err 4\n", "half-line\n"));
  EXPECT_EQ(joined(expect_out), read_text(spec.work_dir + "/" + kSlurmStdoutFile));
  EXPECT_THAT(events.breaches(), ElementsAre());
  EXPECT_THAT(after.breaches(), ElementsAre());  // no second on_started, indices go on
}

// Jobs that ended while no service followed them, or waited in Slurm's queue, are covered
// through the service below.
TEST_F(SlurmRunnerTest, ResumedJobSlurmNoLongerKnowsFails) {
  SlurmRunner runner(slurm.options(), events);
  // Slurm never heard of it, and it left no exit status.
  auto vanished = slurm.job("job-vanished", "print('never')\n");
  ResumePoint from;
  from.pid = 999;
  from.started = true;
  events.seed("job-vanished", Recorder::Job{.pid = 999});
  ASSERT_TRUE(runner.resume(vanished, from));
  auto job = events.wait_end("job-vanished");
  EXPECT_FALSE(job.outcome->exit_code);
  EXPECT_THAT(job.outcome->error.value_or(""),
              HasSubstr("restarted while the job was running, and Slurm no longer knows its job 999"));
  EXPECT_FALSE(runner.resume(slurm.job("job-no-id", "print('x')\n"), ResumePoint{}));
  EXPECT_THAT(events.breaches(), ElementsAre());
}

// The service with the Slurm runner, through its HTTP API.
class SlurmServiceTest : public SlurmRunnerTest {
 protected:
  ServiceOptions service_options() {
    ServiceOptions o;
    o.data_dir = slurm.jobs() + "/data";
    o.runner = "slurm";
    o.slurm = slurm.options();
    return o;
  }
};

TEST_F(SlurmServiceTest, JobsRunThroughTheApi) {
  testing::RunningService service(service_options());
  std::string id = testing::submit_raw(service.url(), service.key(),
                                       "import sys\nprint('hello')\nsys.stderr.write('warn\\n')\n",
                                       false, {{"cpu", 2}});
  json done = testing::wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "completed");
  EXPECT_EQ(done["exit_code"], 0);
  EXPECT_TRUE(done["started_at"].is_string());
  auto entries = testing::all_entries(service.url(), service.key(), id);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["stream"], "stdout");
  EXPECT_EQ(entries[0]["content"], "hello\n");
  EXPECT_EQ(entries[1]["stream"], "stderr");
  EXPECT_EQ(entries[1]["content"], "warn\n");
  EXPECT_THAT(slurm.job_file(1, "args"), Contains("--cpus-per-task=2"));

  id = testing::submit_raw(service.url(), service.key(), "import time\nprint('up')\ntime.sleep(60)\n");
  while (testing::all_entries(service.url(), service.key(), id).empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto res = testing::raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), id)["status"], "cancelled");
}

// A job's entries from the API: checks their indices run 0, 1, ... and returns each stream's
// contents joined, which must equal the job's output file byte for byte.
std::pair<std::string, std::string> api_output(const std::string& url, const std::string& key,
                                               const std::string& id) {
  std::string out, err;
  auto entries = testing::all_entries(url, key, id);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i]["index"], i) << id;
    (entries[i]["stream"] == "stdout" ? out : err) += entries[i]["content"].get<std::string>();
  }
  return {out, err};
}

json status_of(const std::string& url, const std::string& key, const std::string& id) {
  return testing::body_of(testing::raw_get(url, "/v1/jobs/" + id, key));
}

// Prints on both streams, waits for `go`, prints more.
std::string two_phase_job(const std::string& go, int lines = 30) {
  return "import sys\n"
         "for i in range(" + std::to_string(lines) + "):\n"
         "    print('before', i)\n"
         "    sys.stderr.write('warn %d\\n' % i)\n"
         "sys.stdout.write('unfinished ')\n" +
         wait_for_file(go) +
         "print('line')\n"
         "for i in range(" + std::to_string(lines) + "):\n"
         "    print('after', i)\n"
         "    sys.stderr.write('late %d\\n' % i)\n";
}

TEST_F(SlurmServiceTest, StoppedServiceLeavesJobsToTheClusterAndTheNextOneFollowsThem) {
  std::string go = slurm.jobs() + "/go";
  auto service = std::make_unique<testing::RunningService>(service_options());
  std::string url = service->url(), key = service->key();
  std::string running = testing::submit_raw(url, key, two_phase_job(go));
  ASSERT_TRUE(wait_until([&] { return testing::all_entries(url, key, running).size() >= 60; }));
  slurm.control("hold", "");
  std::string waiting = testing::submit_raw(url, key, "print('waited')\n");
  ASSERT_TRUE(wait_until([&] { return status_of(url, key, waiting).contains("slurm_job_id"); }));
  EXPECT_EQ(status_of(url, key, waiting)["slurm_job_id"], "2");
  EXPECT_EQ(status_of(url, key, waiting)["status"], "queued");
  service->stop();
  service.reset();
  EXPECT_FALSE(exists(slurm.state() + "/scancel-calls"));
  EXPECT_THAT(slurm.job_file(1, "state"), ElementsAre("RUNNING"));
  EXPECT_THAT(slurm.job_file(2, "state"), ElementsAre("PENDING"));

  // Both are followed again and hold their slots: with one slot, a new job waits for them.
  auto options = service_options();
  options.max_jobs = 1;
  service = std::make_unique<testing::RunningService>(options);
  url = service->url();
  json doc = status_of(url, key, running);
  EXPECT_EQ(doc["status"], "running");
  EXPECT_EQ(doc["slurm_job_id"], "1");
  EXPECT_EQ(status_of(url, key, waiting)["status"], "queued");
  std::string later = testing::submit_raw(url, key, "print('later')\n");
  std::ofstream(go) << "";
  EXPECT_EQ(testing::wait_for_end(url, key, running)["status"], "completed");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(status_of(url, key, later)["status"], "queued");
  EXPECT_FALSE(status_of(url, key, later).contains("slurm_job_id"));
  slurm.clear("hold");
  EXPECT_EQ(testing::wait_for_end(url, key, waiting)["status"], "completed");
  EXPECT_EQ(testing::wait_for_end(url, key, later)["status"], "completed");

  std::string dir = jobs_dir(service->data_dir()) + "/" + running;
  auto [out, err] = api_output(url, key, running);
  EXPECT_EQ(out, read_text(dir + "/" + kSlurmStdoutFile));
  EXPECT_EQ(err, read_text(dir + "/" + kSlurmStderrFile));
  EXPECT_THAT(out, HasSubstr("unfinished line\nafter 0\n"));
  EXPECT_EQ(api_output(url, key, waiting).first, "waited\n");
}

TEST_F(SlurmServiceTest, KilledServiceIsFollowedByTheNextAndJobsEndedMeanwhileAreFinished) {
  std::string data = service_options().data_dir;
  std::string go_ended = slurm.jobs() + "/go-ended", go_running = slurm.jobs() + "/go-running";
  const std::vector<std::string> args = {"--runner", "slurm", "--slurm-poll", "0.1"};
  pid_t pid = testing::start_serve(data, args, slurm.bin());
  LocalService s = testing::await_service(data, pid);
  std::string ended = testing::submit_raw(s.url, s.api_key, two_phase_job(go_ended, 5));
  std::string running =
      testing::submit_raw(s.url, s.api_key, two_phase_job(go_running, 5) + "raise SystemExit(4)\n");
  for (const auto& id : {ended, running}) {
    ASSERT_TRUE(wait_until([&] { return testing::all_entries(s.url, s.api_key, id).size() >= 10; }));
  }
  kill(pid, SIGKILL);
  EXPECT_EQ(testing::wait_exit(pid), 128 + SIGKILL);
  // One ends while no service follows it; the other runs on.
  std::ofstream(go_ended) << "";
  std::string ended_dir = jobs_dir(data) + "/" + ended;
  ASSERT_TRUE(wait_until([&] { return exists(ended_dir + "/" + kSlurmExitFile); }));

  pid = testing::start_serve(data, args, slurm.bin());
  s = testing::await_service(data, pid);
  EXPECT_EQ(testing::wait_for_end(s.url, s.api_key, ended)["status"], "completed");
  auto [out, err] = api_output(s.url, s.api_key, ended);
  EXPECT_EQ(out, read_text(ended_dir + "/" + kSlurmStdoutFile));
  EXPECT_EQ(err, read_text(ended_dir + "/" + kSlurmStderrFile));
  EXPECT_EQ(status_of(s.url, s.api_key, running)["status"], "running");
  std::ofstream(go_running) << "";
  json doc = testing::wait_for_end(s.url, s.api_key, running);
  EXPECT_EQ(doc["status"], "failed");
  EXPECT_EQ(doc["exit_code"], 4);
  std::string running_dir = jobs_dir(data) + "/" + running;
  std::tie(out, err) = api_output(s.url, s.api_key, running);
  EXPECT_EQ(out, read_text(running_dir + "/" + kSlurmStdoutFile));
  EXPECT_EQ(err, read_text(running_dir + "/" + kSlurmStderrFile));

  // SIGTERM leaves a running job to the cluster and says so.
  std::string go_left = slurm.jobs() + "/go-left";
  std::string left = testing::submit_raw(s.url, s.api_key, two_phase_job(go_left, 1));
  ASSERT_TRUE(wait_until([&] { return !testing::all_entries(s.url, s.api_key, left).empty(); }));
  kill(pid, SIGTERM);
  EXPECT_EQ(testing::wait_exit(pid), 0);
  EXPECT_FALSE(exists(slurm.state() + "/scancel-calls"));
  EXPECT_THAT(read_text(data + ".log"), HasSubstr("1 job left to the Slurm cluster"));
  std::ofstream(go_left) << "";
  EXPECT_TRUE(wait_until([&] { return exists(slurm.state() + "/3/final"); }));
}

TEST_F(SlurmServiceTest, JobsOfAnotherRunnerAreFailedAndSlurmJobsLeftAlone) {
  std::string go = slurm.jobs() + "/go";
  std::string data = service_options().data_dir;
  std::string slurm_job;
  {
    testing::RunningService service(service_options());
    slurm_job = testing::submit_raw(service.url(), service.key(), two_phase_job(go, 1));
    ASSERT_TRUE(wait_until(
        [&] { return !testing::all_entries(service.url(), service.key(), slurm_job).empty(); }));
  }
  // As a killed local service leaves them: one job whose process still runs in its
  // directory, one from a service that did not record runners.
  JobRecord local_job, old_job;
  local_job.id = new_job_id();
  old_job.id = new_job_id();
  std::string local_dir = jobs_dir(data) + "/" + local_job.id;
  std::filesystem::create_directories(local_dir);
  pid_t leftover = fork();
  if (leftover == 0) {
    setpgid(0, 0);
    if (chdir(local_dir.c_str()) == 0) execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(wait_until([&] {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(leftover) + "/cwd", ec) ==
           std::filesystem::path(local_dir);
  }));
  {
    JobStore store(jobs_db_file(data));
    for (JobRecord* job : {&local_job, &old_job}) {
      job->owner = store.get(slurm_job)->owner;
      job->status = kRunning;
      job->created_at = wall_clock_now();
      job->started_at = job->created_at;
    }
    local_job.pid = leftover;
    local_job.runner = kLocalRunnerName;
    store.insert(local_job);
    store.insert(old_job);
  }

  auto options = service_options();
  options.runner = "local";
  testing::RunningService service(options);
  json doc = status_of(service.url(), service.key(), slurm_job);
  EXPECT_EQ(doc["status"], "failed");
  EXPECT_EQ(doc["slurm_job_id"], "1");
  EXPECT_THAT(doc["error"].get<std::string>(),
              HasSubstr("may still run on the Slurm cluster as Slurm job 1"));
  EXPECT_FALSE(exists(slurm.state() + "/scancel-calls"));
  EXPECT_THAT(slurm.job_file(1, "state"), ElementsAre("RUNNING"));
  EXPECT_FALSE(exists(slurm.state() + "/1/final"));
  for (const auto& id : {local_job.id, old_job.id}) {
    doc = status_of(service.url(), service.key(), id);
    EXPECT_EQ(doc["status"], "failed");
    EXPECT_EQ(doc["error"], "the service restarted while the job was running");
    EXPECT_FALSE(doc.contains("slurm_job_id"));
  }
  // Ended as a job's leftover is: SIGUSR1 (a supervisor's signal to end all), then SIGKILL.
  EXPECT_EQ(testing::wait_exit(leftover), 128 + SIGUSR1);
  std::ofstream(go) << "";
  EXPECT_TRUE(wait_until([&] { return exists(slurm.state() + "/1/final"); }));
}

TEST_F(SlurmServiceTest, MissingSbatchIsAStartUpError) {
  auto options = service_options();
  options.slurm.sbatch = slurm.bin() + "/no-such-sbatch";
  try {
    JobService service(options);
    ADD_FAILURE() << "the service started without sbatch";
  } catch (const ServeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no-such-sbatch"));
  }
  options = service_options();
  options.runner = "kubernetes";
  EXPECT_THROW(JobService{options}, ServeError);

  // The command says so in one line, before it touches the data directory.
  std::string empty_dir = slurm.jobs() + "/no-commands";
  std::filesystem::create_directories(empty_dir);
  std::string command = "env PATH=" + empty_dir + " " + PELMORA_BINARY +
                        " serve --runner slurm --slurm-arg=--time=10 --port 0 --data-dir " +
                        slurm.jobs() + "/cli-data 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
  EXPECT_THAT(out, HasSubstr("cannot find the Slurm command sbatch")) << out;
  EXPECT_FALSE(std::filesystem::exists(slurm.jobs() + "/cli-data"));
}

}  // namespace
}  // namespace pelmora::service
