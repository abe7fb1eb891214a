// The data directory on disk: an older layout moved into the state directory with its jobs
// and keys, and state files and directories private whatever they were.
#include "service/state_dir.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "agent/platform/files.h"
#include "service/store.h"
#include "service/util.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using testing::TempDir;

unsigned mode_of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 01000;  // missing
  return st.st_mode & 0777;
}

TEST(StateDir, StoreFilesPrivateInADirectoryOthersCanRead) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  mode_t old_mask = umask(022);
  {
    JobStore store(dir.path() + "/jobs.db");
    JobRecord job;
    job.id = new_job_id();
    job.owner = "o";
    store.insert(job);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      EXPECT_EQ(mode_of(dir.path() + "/jobs.db" + suffix), 0600u) << suffix;
    }
  }
  umask(old_mask);
}

TEST(StateDir, OldLayoutMovedWithItsJobsAndKeysAndMadePrivate) {
  if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
  TempDir dir;
  const std::string data = dir.path() + "/data";
  make_private_dirs(data);
  std::ofstream(data + "/keys.json") << R"({"keys": [{"name": "default", "key": "pmk_old"}]})";
  std::string id = new_job_id();
  {
    // The layout of an earlier version, left readable by others.
    JobStore store(data + "/jobs.db");
    JobRecord job;
    job.id = id;
    job.owner = KeyRing(data + "/keys.json").authenticate("pmk_old")->owner;
    job.status = kCompleted;
    job.created_at = wall_clock_now();
    job.finished_at = job.created_at;
    store.insert(job);
    store.append_output(job.seq, 0, {OutputLine{Stream::stdout_stream, "kept\n", 5}});
  }
  ASSERT_EQ(chmod((data + "/jobs.db").c_str(), 0644), 0);
  make_private_dirs(state_dir(data));
  ASSERT_EQ(chmod(state_dir(data).c_str(), 0755), 0);

  testing::RunningService service(ServiceOptions{.data_dir = data});
  EXPECT_EQ(service.key(), "pmk_old");
  EXPECT_EQ(mode_of(state_dir(data)), 0700u);
  for (const auto& file : {jobs_db_file(data), keys_file(data), local_key_file(data)}) {
    EXPECT_EQ(mode_of(file), 0600u) << file;
  }
  EXPECT_EQ(mode_of(data + "/jobs.db"), 01000u);
  EXPECT_EQ(mode_of(data + "/keys.json"), 01000u);
  EXPECT_EQ(read_file_bytes(keys_file(data)).find("pmk_old"), std::string::npos);
  auto entries = testing::all_entries(service.url(), service.key(), id);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["content"], "kept\n");
}

}  // namespace
}  // namespace pelmora::service
