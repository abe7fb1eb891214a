// Jobs kept apart: under bubblewrap a job sees neither the service's files nor other jobs
// nor the service's /proc; under either confinement every process a job starts ends with it.
#include "service/sandbox.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "service/util.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using nlohmann::json;
using testing::RunningService;
using testing::TempDir;

std::string output_text(const RunningService& service, const std::string& id) {
  std::string text;
  for (const auto& e : testing::all_entries(service.url(), service.key(), id)) {
    text += e["content"].get<std::string>();
  }
  return text;
}

class SandboxTest : public ::testing::TestWithParam<Confinement> {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
    if (GetParam() == Confinement::bubblewrap) {
      auto probe = probe_confinement();
      if (probe.confinement != Confinement::bubblewrap) {
        GTEST_SKIP() << "bubblewrap cannot run here: " << probe.problem;
      }
    }
  }
  ServiceOptions options(int max_jobs) {
    ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    o.max_jobs = max_jobs;
    o.cancel_grace = 0.5;
    o.confinement = GetParam();
    return o;
  }
  TempDir dir;
};

TEST_P(SandboxTest, JobSeesNeitherTheServiceNorOtherJobs) {
  if (GetParam() != Confinement::bubblewrap) GTEST_SKIP() << "only bubblewrap hides files";
  ::setenv("SERVICE_ONLY_SECRET", "hunter2", 1);
  RunningService service(options(2));
  std::string other = testing::submit_raw(service.url(), service.key(), "print('other')\n");
  testing::wait_for_end(service.url(), service.key(), other);
  const std::string data = service.data_dir();
  std::string code =
      "import os\n"
      "def tried(f):\n"
      "    try:\n        f()\n        return 'read'\n"
      "    except OSError as e:\n        return type(e).__name__\n"
      "print(sorted(os.listdir('" + data + "')), os.listdir('" + jobs_dir(data) + "') == [os.path.basename(os.getcwd())])\n"
      "print(tried(lambda: open('" + keys_file(data) + "').read()))\n"
      "print(tried(lambda: open('" + jobs_db_file(data) + "', 'rb').read()))\n"
      "print(tried(lambda: open('" + jobs_dir(data) + "/" + other + "/main.py').read()))\n"
      "print(tried(lambda: open('" + data + "/planted', 'w').write('x')))\n"
      "print(os.path.exists('/proc/" + std::to_string(getpid()) + "/environ'), os.getppid())\n"
      "print(open('main.py').read().startswith('import os'), 'SERVICE_ONLY_SECRET' in os.environ)\n";
  std::string id = testing::submit_raw(service.url(), service.key(), code);
  json done = testing::wait_for_end(service.url(), service.key(), id);
  ::unsetenv("SERVICE_ONLY_SECRET");
  EXPECT_EQ(done["status"], "completed") << output_text(service, id);
  EXPECT_EQ(output_text(service, id),
            "['jobs'] True\n"
            "FileNotFoundError\nFileNotFoundError\nFileNotFoundError\n"
            "read\n"  // an empty stand-in of the data directory, not the real one
            "False 1\n"
            "True False\n");
  EXPECT_FALSE(std::ifstream(data + "/planted").good());
}

TEST_P(SandboxTest, DetachedChildrenEndWithTheJobAndWithItsCancel) {
  const std::string marker = "pelmora-detached-" + std::to_string(getpid()) + "-" +
                             confinement_name(GetParam());
  const std::string code =
      "import subprocess, sys, time\n"
      "subprocess.Popen([sys.executable, '-c', 'import os, time\\nos.setsid()\\ntime.sleep(300)', '" +
      marker + "'], start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
      "time.sleep(0.2)\n"
      "print('started', flush=True)\n"
      "if len(sys.argv) < 2:\n    time.sleep(300)\n";
  constexpr int kBatch = 10;
  constexpr int kJobs = 100;
  RunningService service(options(kBatch));
  // One that ends by itself, leaving its child behind.
  std::string ended = testing::submit_raw(service.url(), service.key(),
                                          "import sys\nsys.argv.append('end')\n" + code);
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), ended)["status"], "completed");
  EXPECT_EQ(testing::count_processes(marker), 0);

  int cancelled = 0;
  for (int round = 0; round < kJobs / kBatch; ++round) {
    std::vector<std::string> ids;
    for (int i = 0; i < kBatch; ++i) ids.push_back(testing::submit_raw(service.url(), service.key(), code));
    for (const auto& id : ids) {
      for (int tries = 0; tries < 1500 && output_text(service, id).empty(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    for (const auto& id : ids) {
      auto res = testing::raw_post(service.url(), "/v1/jobs/" + id + "/cancel", service.key(), "");
      ASSERT_TRUE(res);
      // Shown cancelled only once its processes are gone.
      if (res->status == 200 && testing::body_of(res)["status"] == "cancelled") ++cancelled;
    }
  }
  EXPECT_EQ(cancelled, kJobs);
  EXPECT_EQ(testing::count_processes(marker), 0);
}

INSTANTIATE_TEST_SUITE_P(Confinements, SandboxTest,
                         ::testing::Values(Confinement::bubblewrap, Confinement::supervisor),
                         [](const auto& p) { return std::string(confinement_name(p.param)); });

}  // namespace
}  // namespace pelmora::service
