// The service with the Slurm runner on a real single-node cluster started by the tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

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

  static std::unique_ptr<testing::SlurmCluster> cluster_;
  testing::TempDir data_;
};

std::unique_ptr<testing::SlurmCluster> SlurmClusterTest::cluster_;

TEST_F(SlurmClusterTest, JobsCompleteFailAndCancelOnTheCluster) {
  testing::RunningService service(options());
  const std::string& url = service.url();
  const std::string& key = service.key();

  std::string id = testing::submit_raw(
      url, key, "import sys\nprint('out')\nsys.stderr.write('err\\n')\nraise SystemExit(3)\n");
  json done = testing::wait_for_end(url, key, id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["exit_code"], 3);
  ASSERT_TRUE(done.contains("slurm_job_id"));
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
  std::string id = testing::submit_raw(service.url(), service.key(), "print('never')\n", false,
                                       {{"gpu", "1"}});
  json done = testing::wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("gres"));
}

}  // namespace
}  // namespace pelmora::service
