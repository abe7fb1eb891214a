// SlurmRunner against stand-ins for sbatch, squeue, scancel and sacct (tests/data/slurm/)
// that run the batch jobs on this machine; and the service with --runner slurm end to end.
#include <sys/wait.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

 private:
  TempDir dir_;
  mutable std::int64_t seq_ = 0;
};

// Records what a runner reports, and every breach of the order RunnerEvents promises.
class Recorder : public RunnerEvents {
 public:
  struct Job {
    std::optional<long> pid;
    std::vector<OutputLine> lines;
    std::optional<JobOutcome> outcome;
    std::size_t largest_batch = 0;
  };

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

TEST(SlurmResources, MapToSbatchOptions) {
  EXPECT_THAT(slurm_resource_args(json::object()), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"cpu", 4}, {"memory", "4Gi"}, {"gpu", "2"}}),
              ElementsAre("--cpus-per-task=4", "--mem=4096", "--gres=gpu:2"));
  // Slurm's megabyte is 2^20 bytes; a part of one counts as a whole.
  EXPECT_THAT(slurm_resource_args({{"memory", "512M"}}), ElementsAre("--mem=489"));
  EXPECT_THAT(slurm_resource_args({{"memory", "1"}}), ElementsAre("--mem=1"));
  EXPECT_THAT(slurm_resource_args({{"memory", "1.5Gi"}}), ElementsAre("--mem=1536"));
  EXPECT_THAT(slurm_resource_args({{"gpu", "a100"}}), ElementsAre("--gres=gpu:a100:1"));
  EXPECT_THAT(slurm_resource_args({{"gpu", "A100:2"}}), ElementsAre("--gres=gpu:A100:2"));
  EXPECT_THAT(slurm_resource_args({{"cpu", 0}, {"gpu", ""}}), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"gpu", "0"}}), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"future", "kept"}}), ElementsAre());
  for (const char* gpu : {"a100,mps:1", ":2", "a100:", "a100:x", "tesla v100", "a100:99999"}) {
    EXPECT_THROW(slurm_resource_args({{"gpu", gpu}}), std::invalid_argument) << gpu;
  }
}

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
  EXPECT_THAT(slurm.job_file(1, "final"), ElementsAre("COMPLETED|0:0"));
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
                          "--mem=3072", "--gres=gpu:t4:1", spec.work_dir + "/" + kSlurmScriptFile));
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
  }
  options.sbatch = slurm.bin() + "/no-such-sbatch";
  SlurmRunner runner(options, events);
  runner.launch(slurm.job("job-nosbatch", "print('x')\n"));

  auto job = events.wait_end("job-refused", 1);
  EXPECT_EQ(job.outcome->error,
            "sbatch: error: Batch job submission failed: Invalid partition name specified");
  EXPECT_FALSE(job.outcome->exit_code);
  EXPECT_FALSE(job.pid);
  EXPECT_THAT(events.wait_end("job-gpu", 1).outcome->error.value_or(""), HasSubstr("a,b"));
  EXPECT_THAT(events.wait_end("job-nosbatch", 1).outcome->error.value_or(""), HasSubstr("not found"));
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

TEST_F(SlurmRunnerTest, StopAllCancelsEveryJobAndWaitsOnlySoLong) {
  auto options = slurm.options();
  options.stop_timeout = 0.5;
  SlurmRunner runner(options, events);
  runner.launch(slurm.job("job-a", "import time\nprint('a')\ntime.sleep(60)\n"));
  runner.launch(slurm.job("job-b", "import time\nprint('b')\ntime.sleep(60)\n"));
  events.wait_output("job-a");
  events.wait_output("job-b");
  runner.stop_all();
  EXPECT_EQ(events.wait_end("job-a", 0).outcome->error, "cancelled");
  EXPECT_EQ(events.wait_end("job-b", 0).outcome->error, "cancelled");
  EXPECT_THAT(read_lines(slurm.state() + "/scancel-calls"), ElementsAre("1 2"));

  // A job Slurm is not heard to end: stop_all gives up on it after stop_timeout.
  slurm.control("start-delay", "60");
  slurm.control("squeue-fail", "squeue: error: Unable to contact slurm controller\n");
  runner.launch(slurm.job("job-stuck", "print('never')\n"));
  runner.stop_all();
  auto job = events.wait_end("job-stuck", 0);
  EXPECT_EQ(job.outcome->error, "cancelled");
  EXPECT_FALSE(job.pid);
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
