// A Slurm job's files, read by the service from the job's directory on the cluster's file
// system, on a real single-node cluster started by the test.
#include <gtest/gtest.h>

#include <memory>

#include "slurm_cluster.h"

namespace pelmora::service {
namespace {

using nlohmann::json;

TEST(SlurmJobFiles, AJobsFilesAreListedAndDownloaded) {
  testing::SlurmCluster cluster;
  if (!cluster.why_not().empty()) GTEST_SKIP() << cluster.why_not();
  testing::TempDir data;
  ServiceOptions o;
  o.data_dir = data.path() + "/data";
  o.runner = "slurm";
  o.slurm.poll_interval = 0.2;
  o.slurm.output_interval = 0.1;
  o.slurm.command_timeout = 20;
  testing::RunningService service(o);
  std::string id = testing::submit_raw(
      service.url(), service.key(),
      "import os\nos.makedirs('res', exist_ok=True)\n"
      "open('res/out.bin', 'wb').write(bytes(range(256)) * 64)\n");
  ASSERT_EQ(testing::wait_for_end(service.url(), service.key(), id)["status"], "completed");
  auto listed = testing::raw_get(service.url(), "/v1/jobs/" + id + "/files", service.key());
  ASSERT_TRUE(listed);
  std::vector<std::string> paths;
  const json page = testing::body_of(listed);
  for (const json& e : page["files"]) paths.push_back(e["path"]);
  // The runner's own files (batch script, output, exit status) are not the job's.
  EXPECT_EQ(paths, (std::vector<std::string>{"res", "res/out.bin"})) << listed->body;
  std::string expected;
  for (int i = 0; i < 64; ++i) {
    for (int b = 0; b < 256; ++b) expected += static_cast<char>(b);
  }
  auto file = testing::raw_get(service.url(), "/v1/jobs/" + id + "/files/res/out.bin", service.key());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 200);
  EXPECT_TRUE(file->body == expected);
}

}  // namespace
}  // namespace pelmora::service
