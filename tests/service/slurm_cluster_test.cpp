// The service with the Slurm runner on a real single-node cluster started by the tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "slurm_cluster.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

class SlurmClusterTest : public ::testing::Test {
 protected:
  // One cluster for the whole suite: it takes a few seconds to start.
  static void SetUpTestSuite() { cluster_ = std::make_unique<testing::SlurmCluster>(); }
  static void TearDownTestSuite() { cluster_.reset(); }
  void SetUp() override {
    if (!cluster_->why_not().empty()) GTEST_SKIP() << cluster_->why_not();
  }

  ServiceOptions options() const {
    ServiceOptions o;
    o.data_dir = data_.path() + "/data";
    o.runner = "slurm";
    o.slurm.poll_interval = 0.2;
    o.slurm.output_interval = 0.1;
    o.slurm.command_timeout = 20;
    return o;
  }

  // Slurm's state for the job once it has left RUNNING (waited for, up to 20 s).
  static std::string final_state(long slurm_id) {
    std::string state;
    for (int i = 0; i < 200; ++i) {
      state = cluster_->state(slurm_id);
      if (state != "RUNNING" && state != "PENDING" && state != "COMPLETING") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return state;
  }

  // The status document of job `id`.
  static json status(const std::string& url, const std::string& key, const std::string& id) {
    auto res = testing::raw_get(url, "/v1/jobs/" + id, key);
    return res && res->status == 200 ? testing::body_of(res) : json();
  }

  // Waits (up to 60 s) until `done` holds.
  template <typename Done>
  static bool wait_until(Done done) {
    for (int i = 0; i < 1200; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
  }

  // The pelmora command against the service at `url`.
  static CommandOutput pelmora(const std::string& url, const std::string& key,
                               std::vector<std::string> args) {
    SpawnOptions run;
    run.argv = {PELMORA_BINARY};
    run.argv.insert(run.argv.end(), args.begin(), args.end());
    run.argv.insert(run.argv.end(), {"--api-url", url, "--api-key", key});
    return run_command(run, 120, 1 << 20);
  }

  // The controller stopped for as long as the object lives, or until back().
  class Outage {
   public:
    Outage() { cluster_->stop_controller(); }
    ~Outage() { back(); }
    void back() {
      if (!down_) return;
      down_ = false;
      cluster_->start_controller();
    }

   private:
    bool down_ = true;
  };

  static std::unique_ptr<testing::SlurmCluster> cluster_;
  testing::TempDir data_;
};

std::unique_ptr<testing::SlurmCluster> SlurmClusterTest::cluster_;

TEST_F(SlurmClusterTest, JobsCompleteFailAndCancelOnTheCluster) {
  testing::RunningService service(options());
  const std::string& url = service.url();
  const std::string& key = service.key();

  std::string id = testing::submit_raw(
      url, key, "import sys\nprint('out')\nsys.stderr.write('err\\n')\nraise SystemExit(3)\n",
      false, {{"memory", "1G"}});
  json done = testing::wait_for_end(url, key, id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["exit_code"], 3);
  ASSERT_TRUE(done.contains("slurm_job_id"));
  // 1G is 10^9 bytes for every runner; Slurm gets them in MiB, rounded up.
  EXPECT_EQ(done["memory_bytes"], 1000000000);
  EXPECT_THAT(cluster_->command({"scontrol", "show", "job", "-o", done["slurm_job_id"]}),
              HasSubstr("MinMemoryNode=954M"));
  // The batch job ends with the interpreter's status, so Slurm agrees.
  EXPECT_EQ(final_state(std::stol(done["slurm_job_id"].get<std::string>())), "FAILED");
  auto entries = testing::all_entries(url, key, id);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["content"], "out\n");
  EXPECT_EQ(entries[1]["stream"], "stderr");
  EXPECT_EQ(entries[1]["content"], "err\n");

  id = testing::submit_raw(url, key, "import time\nprint('up', flush=True)\ntime.sleep(120)\n");
  for (int i = 0; i < 600 && testing::all_entries(url, key, id).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto res = testing::raw_post(url, "/v1/jobs/" + id + "/cancel", key, "");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  done = testing::wait_for_end(url, key, id);
  EXPECT_EQ(done["status"], "cancelled");
  EXPECT_EQ(final_state(std::stol(done["slurm_job_id"].get<std::string>())), "CANCELLED");
}

TEST_F(SlurmClusterTest, ARequestTheClusterCannotMeetFailsWithSlurmsMessage) {
  testing::RunningService service(options());
  const std::string script = data_.path() + "/never.py";
  std::ofstream(script) << "print('never')\n";
  // submit --follow says why the job failed, in Slurm's words.
  CommandOutput run = pelmora(service.url(), service.key(), {"submit", script, "--gpu", "1", "--follow"});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_THAT(run.err, HasSubstr("failed: "));
  EXPECT_THAT(run.err, HasSubstr("gres"));
}

TEST_F(SlurmClusterTest, WaitingJobShowsSlurmsReasonAndOneThatCanNeverRunFails) {
  testing::RunningService service(options());
  const std::string& url = service.url();
  const std::string& key = service.key();
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());

  // More CPUs than the node has: Slurm would keep it pending for ever (PartitionConfig).
  std::string never = testing::submit_raw(url, key, "print('never')\n", false, {{"cpu", cpus + 1}});
  CommandOutput followed = pelmora(url, key, {"logs", never, "--follow"});
  EXPECT_EQ(followed.status, 3) << followed.out << followed.err;
  EXPECT_THAT(followed.err, HasSubstr("PartitionConfig"));
  json done = status(url, key, never);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_FALSE(done.contains("pending_reason"));
  EXPECT_EQ(final_state(std::stol(done["slurm_job_id"].get<std::string>())), "CANCELLED");

  // Every CPU of the node taken, so that the next job waits for resources.
  std::string busy = testing::submit_raw(url, key, "import time\nprint('busy', flush=True)\ntime.sleep(120)\n",
                                         false, {{"cpu", cpus}});
  ASSERT_TRUE(wait_until([&] { return !testing::all_entries(url, key, busy).empty(); }));
  std::string waiting = testing::submit_raw(url, key, "print('ran')\n", false, {{"cpu", 1}});
  ASSERT_TRUE(wait_until([&] { return status(url, key, waiting).value("pending_reason", "") == "Resources"; }))
      << status(url, key, waiting).dump();
  EXPECT_EQ(status(url, key, waiting)["status"], "queued");
  CommandOutput shown = pelmora(url, key, {"status", waiting});
  EXPECT_THAT(shown.out, HasSubstr("pending_reason: Resources"));

  testing::raw_post(url, "/v1/jobs/" + busy + "/cancel", key, "");
  EXPECT_EQ(testing::wait_for_end(url, key, waiting, 60)["status"], "completed");
}

TEST_F(SlurmClusterTest, OutputIsReadOnceItsFileExistsWithoutWaitingForSqueue) {
  ServiceOptions o = options();
  // squeue is asked at submission and then only a minute later.
  o.slurm.poll_interval = 60;
  testing::RunningService service(o);
  const std::string go = data_.path() + "/go";
  std::string id = testing::submit_raw(service.url(), service.key(),
                                       "import os, time\nprint('early', flush=True)\n"
                                       "while not os.path.exists('" + go + "'):\n    time.sleep(0.05)\n");
  auto first_line = [&] {
    auto entries = testing::all_entries(service.url(), service.key(), id);
    return !entries.empty() && entries[0]["content"] == "early\n";
  };
  // Well within the minute before squeue is asked again.
  ASSERT_TRUE(wait_until(first_line));
  json doc = status(service.url(), service.key(), id);
  EXPECT_EQ(doc["status"], "running");
  EXPECT_LE(doc["created_at"].get<std::string>(), doc["started_at"].get<std::string>());
  // Its end too is seen without squeue, by the exit status it leaves.
  std::ofstream(go) << "";
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), id, 50)["status"], "completed");
}

TEST_F(SlurmClusterTest, AStartChecksThePartition) {
  ServiceOptions o = options();
  o.slurm.partition = "nope";
  try {
    JobService refused(o);
    ADD_FAILURE() << "a service with a partition the cluster lacks started";
  } catch (const ServeError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no such partition (it has: debug)"));
  }
  o.slurm.partition = "debug";
  testing::RunningService service(o);
  std::string id = testing::submit_raw(service.url(), service.key(), "print('ok')\n");
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), id)["status"], "completed");
}

// A controller outage across a restart of the service: the service starts without the
// controller; a cancel waits until Slurm takes it; a submission is answered at once and
// runs when the controller is back; the job followed again keeps every line once.
TEST_F(SlurmClusterTest, ControllerOutageDuringRestartCancelAndSubmit) {
  std::string printer;
  {
    testing::RunningService first(options());
    printer = testing::submit_raw(first.url(), first.key(),
                                  "import time\nfor i in range(1200):\n    print('line', i, flush=True)\n"
                                  "    time.sleep(0.1)\n");
    ASSERT_TRUE(wait_until([&] { return testing::all_entries(first.url(), first.key(), printer).size() >= 3; }));
  }
  Outage outage;
  testing::RunningService service(options());
  const std::string& url = service.url();
  const std::string& key = service.key();
  const long slurm_id = std::stol(status(url, key, printer)["slurm_job_id"].get<std::string>());

  CommandOutput cancel = pelmora(url, key, {"cancel", printer});
  EXPECT_EQ(cancel.status, 0) << cancel.err;
  EXPECT_THAT(cancel.out, HasSubstr("Cancelling " + printer + " (status: running)"));
  std::string later = testing::submit_raw(url, key, "print('after the outage')\n");
  json doc = status(url, key, printer);
  EXPECT_EQ(doc["status"], "running");
  EXPECT_EQ(doc["cancel_requested"], true);
  EXPECT_EQ(status(url, key, later)["status"], "queued");

  outage.back();
  json done = testing::wait_for_end(url, key, printer, 90);
  EXPECT_EQ(done["status"], "cancelled");
  EXPECT_FALSE(done.contains("cancel_requested"));
  EXPECT_EQ(final_state(slurm_id), "CANCELLED");
  std::vector<std::string> lines;
  for (const auto& entry : testing::all_entries(url, key, printer)) {
    if (entry["stream"] == "stdout") lines.push_back(entry["content"]);
  }
  ASSERT_GE(lines.size(), 3u);
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i) + "\n");
  json ran = testing::wait_for_end(url, key, later, 90);
  EXPECT_EQ(ran["status"], "completed");
  auto out = testing::all_entries(url, key, later);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]["content"], "after the outage\n");
}

}  // namespace
}  // namespace pelmora::service
