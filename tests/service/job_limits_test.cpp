// A local job's limits through the real service: memory and processes for the whole job in
// control groups (where this machine has them), the output and disk quotas, the status
// document saying how each limit applies, and jobs directories apart from the data directory.
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/platform/data_dir.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::RunningService;
using testing::TempDir;
using testing::all_entries;
using testing::submit_raw;
using testing::wait_for_end;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string output_of(const RunningService& s, const std::string& id) {
  std::string text;
  for (const auto& e : all_entries(s.url(), s.key(), id)) text += e["content"].get<std::string>();
  return text;
}

class JobLimitsTest : public ::testing::TestWithParam<Confinement> {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
    if (GetParam() == Confinement::bubblewrap &&
        probe_confinement().confinement != Confinement::bubblewrap) {
      GTEST_SKIP() << "bubblewrap cannot run here";
    }
  }
  ServiceOptions options() {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = 2;
    o.cancel_grace = 0.5;
    o.confinement = GetParam();
    return o;
  }
  TempDir dir;
};

// Four children that each touch 150 MiB: per process each fits under 200 MiB, together they
// do not.
constexpr const char* kFourChildren =
    "import os, time\n"
    "pids = []\n"
    "for i in range(4):\n"
    "    pid = os.fork()\n"
    "    if pid == 0:\n"
    "        block = bytearray(150 * 1024 * 1024)\n"
    "        for j in range(0, len(block), 4096): block[j] = 1\n"
    "        time.sleep(30)\n"
    "        os._exit(0)\n"
    "    pids.append(pid)\n"
    "for pid in pids: os.waitpid(pid, 0)\n"
    "print('all four lived')\n";

TEST_P(JobLimitsTest, MemoryCountsForTheWholeJob) {
  RunningService service(options());
  if (service.service().cgroups().memory.version == CgroupVersion::none) {
    GTEST_SKIP() << "no memory control group here: " << service.service().cgroups().problem;
  }
  std::string id = submit_raw(service.url(), service.key(), kFourChildren, false, json{{"memory", "200Mi"}});
  json done = wait_for_end(service.url(), service.key(), id, 60);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_THAT(done["error"].get<std::string>(), StartsWith("memory limit exceeded: "));
  EXPECT_THAT(done["error"].get<std::string>(), HasSubstr("200 MiB"));
  EXPECT_THAT(done["limits"]["memory"].get<std::string>(), HasSubstr("200 MiB for the whole job"));
  EXPECT_EQ(output_of(service, id), "");
  // The job's group is gone with it.
  const std::string group = service.service().cgroups().memory.parent + "/pelmora-" + id;
  EXPECT_FALSE(std::filesystem::exists(group)) << group;
}

TEST_P(JobLimitsTest, AForkBombEndsAtTheProcessLimitAndTheServiceGoesOn) {
  auto o = options();
  o.max_job_processes = 40;
  RunningService service(o);
  if (service.service().cgroups().pids.version == CgroupVersion::none) {
    GTEST_SKIP() << "no pids control group here: " << service.service().cgroups().problem;
  }
  std::string id = submit_raw(service.url(), service.key(),
                              "import os, time\n"
                              "while True:\n"
                              "    try:\n        os.fork()\n"
                              "    except OSError:\n        time.sleep(0.01)\n");
  json done = wait_for_end(service.url(), service.key(), id, 60);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["error"], "process limit exceeded: the job tried to run more than 40 processes and threads at once");
  EXPECT_THAT(done["limits"]["processes"].get<std::string>(), HasSubstr("40 processes and threads for the whole job"));
  id = submit_raw(service.url(), service.key(), "print('after')\n");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
  EXPECT_EQ(output_of(service, id), "after\n");
}

TEST_P(JobLimitsTest, OutputAndDiskQuotasEndTheJob) {
  auto o = options();
  o.max_job_output = 1000;
  o.max_job_disk = 1024 * 1024;
  o.disk_check_interval = 0.1;
  RunningService service(o);
  // 100 lines of 20 bytes: the quota is passed in the middle of line 51.
  std::string id = submit_raw(service.url(), service.key(),
                              "import sys, time\n"
                              "for i in range(100): print('%019d' % i)\n"
                              "sys.stdout.flush()\ntime.sleep(60)\n");
  json done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["error"], "output quota exceeded: the job wrote more than 1000 bytes of output; what followed was not stored");
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    std::string n = std::to_string(i);
    expected += std::string(19 - n.size(), '0') + n + "\n";
  }
  EXPECT_EQ(output_of(service, id), expected.substr(0, 1000));

  // 4 MiB in the job's directory, then a long wait: ended by the periodic measure.
  id = submit_raw(service.url(), service.key(),
                  "import os, time\n"
                  "with open('blob', 'wb') as f:\n    f.write(os.urandom(4 * 1024 * 1024))\n"
                  "time.sleep(60)\n");
  done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "failed");
  EXPECT_EQ(done["error"], "disk quota exceeded: the job's directory took more than 1 MiB on disk");
  EXPECT_EQ(done["limits"]["output"], "1000 bytes stored (standard output and error)");
  EXPECT_EQ(done["limits"]["disk"], "1 MiB in the job's directory");
}

TEST_P(JobLimitsTest, WithoutControlGroupsTheStatusSaysTheLimitIsPerProcess) {
  auto o = options();
  o.use_cgroups = false;
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(), "print(1)\n", false, json{{"memory", "300Mi"}});
  json done = wait_for_end(service.url(), service.key(), id);
  EXPECT_EQ(done["status"], "completed");
  EXPECT_EQ(done["limits"]["memory"],
            "300 MiB per process (an address-space limit: no memory control group can be used here)");
  EXPECT_THAT(done["limits"]["processes"].get<std::string>(), StartsWith("not limited per job"));
}

TEST_P(JobLimitsTest, JobsLiveInTheirOwnDirectoryApartFromTheData) {
  auto o = options();
  o.jobs_dir = dir.path() + "/shared/jobs";
  RunningService service(o);
  std::string id = submit_raw(service.url(), service.key(),
                              "import os\nprint(os.getcwd())\n"
                              "print(sorted(os.listdir('..')))\n");
  EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
  std::string text = output_of(service, id);
  EXPECT_THAT(text, StartsWith(o.jobs_dir + "/" + id + "\n"));
  // Confined, it sees no other job there either.
  if (GetParam() == Confinement::bubblewrap) {
    EXPECT_THAT(text, HasSubstr("['" + id + "']"));
  }
  EXPECT_TRUE(std::filesystem::exists(o.jobs_dir + "/" + id + "/main.py"));
  EXPECT_FALSE(std::filesystem::exists(jobs_dir(service.data_dir()) + "/" + id));
}

INSTANTIATE_TEST_SUITE_P(Confinements, JobLimitsTest,
                         ::testing::Values(Confinement::bubblewrap, Confinement::supervisor),
                         [](const auto& p) { return std::string(confinement_name(p.param)); });

TEST(JobsDir, RefusesOneThatHoldsOrLiesInTheState) {
  TempDir dir;
  const std::string data = dir.path() + "/data";
  for (const std::string& jobs : {data, data + "/state", data + "/state/jobs", dir.path()}) {
    ServiceOptions o;
    o.data_dir = data;
    o.jobs_dir = jobs;
    o.port = 0;
    EXPECT_THROW(JobService service(o), ServeError) << jobs;
  }
}

TEST(JobsDir, RetentionDeletesJobsThere) {
  if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  TempDir dir;
  ServiceOptions o;
  o.data_dir = dir.path() + "/data";
  o.jobs_dir = dir.path() + "/jobs";
  o.keep_days = 1e-6;  // about 0.09 s
  std::string id;
  {
    RunningService service(o);
    id = submit_raw(service.url(), service.key(), "print(1)\n");
    EXPECT_EQ(wait_for_end(service.url(), service.key(), id)["status"], "completed");
    ASSERT_TRUE(std::filesystem::exists(o.jobs_dir + "/" + id));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the retention time
  RunningService again(o);
  for (int i = 0; i < 500 && again.service().retention_sweeps() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(again.service().retention_sweeps(), 1u);
  EXPECT_FALSE(std::filesystem::exists(o.jobs_dir + "/" + id));
}

}  // namespace
}  // namespace pelmora::service
