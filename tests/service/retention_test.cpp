// Forgetting old jobs: removing a job's directory without following links, and a service
// started with keep_days over a data directory that holds old jobs.
#include "service/retention.h"

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "agent/platform/files.h"
#include "agent/platform/clock.h"
#include "service/keys.h"
#include "service/util.h"
#include "service_fixture.h"
#include "tests/fakes/manual_clock.h"

namespace pelmora::service {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

TEST(RemoveJobDir, RemovesTheTreeButNeverFollowsLinks) {
  TempDir dir;
  fs::path jobs = fs::path(dir.path()) / "jobs";
  fs::path outside = fs::path(dir.path()) / "outside";
  fs::create_directories(outside / "sub");
  write(outside / "keep.txt", "precious");
  write(outside / "sub" / "keep2.txt", "precious");

  std::string id = new_job_id();
  fs::create_directories(jobs / id / "a" / "b");
  write(jobs / id / "main.py", "print(1)\n");
  write(jobs / id / "a" / "b" / "deep.txt", "x");
  fs::create_directory_symlink(outside, jobs / id / "link-to-dir");
  fs::create_symlink(outside / "keep.txt", jobs / id / "a" / "link-to-file");
  fs::create_directory_symlink(outside / "sub", jobs / id / "a" / "b" / "c");
  EXPECT_EQ(remove_job_dir(jobs.string(), id), JobDirRemoval::removed);
  EXPECT_FALSE(fs::exists(fs::symlink_status(jobs / id)));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_TRUE(fs::exists(outside / "sub" / "keep2.txt"));
  EXPECT_EQ(remove_job_dir(jobs.string(), id), JobDirRemoval::missing);

  // A link or a file at jobs/<id> itself is left as it is.
  std::string linked = new_job_id();
  fs::create_directory_symlink(outside, jobs / linked);
  EXPECT_EQ(remove_job_dir(jobs.string(), linked), JobDirRemoval::refused);
  EXPECT_TRUE(fs::is_symlink(jobs / linked));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  std::string file = new_job_id();
  write(jobs / file, "not a directory");
  EXPECT_EQ(remove_job_dir(jobs.string(), file), JobDirRemoval::refused);
  EXPECT_TRUE(fs::exists(jobs / file));

  // Only job ids name a directory to remove.
  fs::create_directories(jobs / "notes");
  for (const char* bad : {"", ".", "..", "../outside", "notes", "job-", "job-../../outside"}) {
    EXPECT_EQ(remove_job_dir(jobs.string(), bad), JobDirRemoval::refused) << bad;
  }
  EXPECT_TRUE(fs::exists(jobs / "notes"));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
}

class Retention : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::test_python().empty()) GTEST_SKIP() << "no python3 to run jobs with";
    data = dir.path() + "/data";
    make_private_dirs(jobs_dir(data));
    make_private_dirs(state_dir(data));
    // The jobs belong to the key the service will use.
    prepare_keys_file(keys_file(data), local_key_file(data));
    owner = KeyRing(keys_file(data)).authenticate(read_local_service(data)->api_key)->owner;
  }

  // A job in the store that ended `days_ago`, with output and a working directory.
  std::string ended(JobStore& store, const char* status, double days_ago) {
    JobRecord job;
    job.id = new_job_id();
    job.owner = owner;
    job.status = status;
    job.finished_at = wall_clock_now() - days_ago * 86400;
    job.created_at = *job.finished_at - 5;
    store.insert(job);
    store.append_output(job.seq, 0, {OutputLine{Stream::stdout_stream, "hi\n", 3}});
    make_private_dirs(join_path(jobs_dir(data), job.id));
    write(fs::path(jobs_dir(data)) / job.id / "main.py", "print('hi')\n");
    return job.id;
  }

  TempDir dir;
  std::string data;
  std::string owner;
};

TEST_F(Retention, ServiceDeletesOldJobsAtStartAndKeepsTheRest) {
  std::string old_completed, old_failed, old_cancelled, linked, recent;
  fs::path outside = fs::path(dir.path()) / "outside";
  fs::create_directories(outside);
  write(outside / "keep.txt", "precious");
  {
    JobStore store(jobs_db_file(data));
    old_completed = ended(store, kCompleted, 30);
    old_failed = ended(store, kFailed, 8);
    old_cancelled = ended(store, kCancelled, 400);
    linked = ended(store, kCompleted, 20);
    recent = ended(store, kCompleted, 6.5);
  }
  fs::path linked_dir = fs::path(jobs_dir(data)) / linked;
  fs::remove_all(linked_dir);
  fs::create_directory_symlink(outside, linked_dir);

  ServiceOptions options;
  options.data_dir = data;
  options.keep_days = 7;
  testing::RunningService service(options);
  for (int i = 0; i < 1000 && service.service().retention_sweeps() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(service.service().retention_sweeps(), 1u);

  for (const auto& id : {old_completed, old_failed, old_cancelled, linked}) {
    EXPECT_EQ(testing::raw_get(service.url(), "/v1/jobs/" + id, service.key())->status, 404);
    EXPECT_EQ(testing::raw_get(service.url(), "/v1/jobs/" + id + "/output", service.key())->status, 404);
  }
  for (const auto& id : {old_completed, old_failed, old_cancelled}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(fs::path(jobs_dir(data)) / id))) << id;
  }
  EXPECT_TRUE(fs::is_symlink(linked_dir));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));

  auto res = testing::raw_get(service.url(), "/v1/jobs/" + recent + "/output", service.key());
  ASSERT_EQ(res->status, 200);
  EXPECT_EQ(testing::body_of(res)["entries"].size(), 1u);
  EXPECT_TRUE(fs::exists(fs::path(jobs_dir(data)) / recent / "main.py"));

  std::string fresh = testing::submit_raw(service.url(), service.key(), "print('new')\n");
  EXPECT_EQ(testing::wait_for_end(service.url(), service.key(), fresh)["status"], "completed");
  EXPECT_EQ(testing::raw_get(service.url(), "/v1/jobs/" + fresh, service.key())->status, 200);
  EXPECT_TRUE(fs::exists(fs::path(jobs_dir(data)) / fresh));
}

TEST_F(Retention, KeepsEverythingWithoutKeepDaysAndRefusesBadValues) {
  std::string ancient;
  {
    JobStore store(jobs_db_file(data));
    ancient = ended(store, kCompleted, 10000);
  }
  {
    ServiceOptions options;
    options.data_dir = data;
    testing::RunningService service(options);
    EXPECT_EQ(testing::raw_get(service.url(), "/v1/jobs/" + ancient, service.key())->status, 200);
    EXPECT_EQ(service.service().retention_sweeps(), 0u);
  }
  for (double bad : {0.0, -1.0, std::nan("")}) {
    ServiceOptions options;
    options.data_dir = data;
    options.keep_days = bad;
    EXPECT_THROW(JobService{options}, ServeError) << bad;
  }
}

// Sweeps run again on their own; a job the runner still has is left for a later one.
TEST(RetentionSweeper, SweepsPeriodicallyAndSkipsActiveJobs) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  std::string jobs = dir.path() + "/jobs";
  make_private_dirs(jobs);
  pelmora::testing::ManualClock clock(0, 100 * 86400.0);
  const double now = clock.wall();
  auto add = [&](double finished_at) {
    JobRecord job;
    job.id = new_job_id();
    job.owner = "a";
    job.status = kCancelled;
    job.finished_at = finished_at;
    store.insert(job);
    make_private_dirs(join_path(jobs, job.id));
    return job.id;
  };
  std::string busy = add(now - 3 * 86400);
  std::string later = add(now - 0.5 * 86400);
  std::mutex mutex;
  std::set<std::string> active{busy};
  RetentionSweeper sweeper(
      store, jobs,
      RetentionOptions{.keep_days = 1, .batch = 1, .interval = 0.01,
                       .clock = &clock},
      [&] { std::lock_guard lock(mutex); return active; });
  EXPECT_EQ(sweeper.sweep(), 0u);
  {
    std::lock_guard lock(mutex);
    active.clear();
    clock.advance(86400);  // `later` is now 1.5 days old
  }
  sweeper.start();
  for (int i = 0; i < 1000 && fs::exists(join_path(jobs, later)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(store.get(busy));
  EXPECT_FALSE(store.get(later));
  EXPECT_FALSE(fs::exists(join_path(jobs, later)));
  sweeper.stop();
  sweeper.stop();
}

// A sweep cut short by a crash leaves directories without a job: a later sweep removes the
// old ones, and nothing else.
TEST(RetentionSweeper, RemovesOldDirectoriesThatNoJobOwns) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  const fs::path jobs = dir.path() + "/jobs";
  make_private_dirs(jobs.string());
  const auto long_ago = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  auto old_dir = [&](const std::string& name) {
    fs::create_directories(jobs / name / "sub");
    write(jobs / name / "sub" / "main.py", "pass\n");
    fs::last_write_time(jobs / name, long_ago);
    return jobs / name;
  };
  const fs::path orphan = old_dir(new_job_id());
  const fs::path not_a_job = old_dir("notes");
  const fs::path young = jobs / new_job_id();
  fs::create_directories(young);
  JobRecord queued;  // old, but still waiting: it keeps its directory
  queued.id = new_job_id();
  queued.owner = "a";
  queued.status = kQueued;
  store.insert(queued);
  const fs::path queued_dir = old_dir(queued.id);
  const fs::path outside = dir.path() + "/outside";
  fs::create_directories(outside);
  write(outside / "keep.txt", "x");
  const fs::path link = jobs / new_job_id();
  fs::create_directory_symlink(outside, link);

  RetentionSweeper sweeper(store, jobs.string(), RetentionOptions{.keep_days = 1});
  EXPECT_EQ(sweeper.sweep(), 0u);  // no job deleted; the orphan's directory goes
  EXPECT_FALSE(fs::exists(orphan));
  EXPECT_TRUE(fs::exists(not_a_job / "sub" / "main.py"));
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(queued_dir / "sub" / "main.py"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
}

}  // namespace
}  // namespace pelmora::service
