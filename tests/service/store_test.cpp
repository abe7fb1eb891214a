// The job store: transitions that must not overwrite each other, output pages.
#include "service/store.h"

#include <sqlite3.h>

#include <set>

#include <gtest/gtest.h>

#include "service/util.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

using testing::TempDir;

JobRecord make_job(JobStore& store, const std::string& owner, bool fast = false) {
  JobRecord job;
  job.id = new_job_id();
  job.owner = owner;
  job.created_at = 1000.0;
  job.fast = fast;
  store.insert(job);
  return job;
}

TEST(JobStore, TransitionsKeepCancelled) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  auto job = make_job(store, "a");
  EXPECT_TRUE(store.mark_running(job.id, 1001.0, 42, "local"));
  EXPECT_FALSE(store.mark_running(job.id, 1002.0, 43, "local"));  // only from queued
  EXPECT_EQ(store.mark_cancelled(job.id, 1003.0), std::optional<std::string>("running"));
  // The process ends later: the job stays cancelled and gets its exit code.
  store.mark_finished(job.id, kFailed, -15, 1004.0, std::string("killed"));
  auto got = store.get(job.id);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, "cancelled");
  EXPECT_EQ(got->exit_code, -15);
  EXPECT_FALSE(got->error);
  EXPECT_EQ(got->pid, 42);
  EXPECT_EQ(got->runner, "local");
  // Cancelling an ended job changes nothing and says what it was.
  EXPECT_EQ(store.mark_cancelled(job.id, 1005.0), std::optional<std::string>("cancelled"));
  EXPECT_EQ(store.mark_cancelled("job-unknown", 1005.0), std::nullopt);
}

TEST(JobStore, ListsByOwnerNewestFirstAndSumsCredits) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  JobRecord a1 = make_job(store, "a");
  make_job(store, "b");
  JobRecord a2;
  a2.id = new_job_id();
  a2.owner = "a";
  a2.cost = 3;
  store.insert(a2);
  auto jobs = store.list("a", 10);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].id, a2.id);
  EXPECT_EQ(jobs[1].id, a1.id);
  EXPECT_EQ(store.list("a", 1).size(), 1u);
  EXPECT_EQ(store.credits_used("a"), 4.0);
  EXPECT_EQ(store.credits_used("nobody"), 0.0);
}

TEST(JobStore, OutputPagesByCountAndBytes) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  auto job = make_job(store, "a");
  std::vector<OutputLine> lines;
  for (int i = 0; i < 10; ++i) {
    lines.push_back(OutputLine{i % 2 ? Stream::stderr_stream : Stream::stdout_stream,
                               std::string(100, static_cast<char>('a' + i)) + "\n"});
  }
  store.append_output(job.seq, 0, lines);
  EXPECT_EQ(store.output_count(job.seq), 10);

  auto page = store.read_output(job.seq, 0, 4, 1 << 20);
  ASSERT_EQ(page.entries.size(), 4u);
  EXPECT_TRUE(page.more);
  EXPECT_EQ(page.next, 4);
  EXPECT_EQ(page.entries[1].line.stream, Stream::stderr_stream);

  page = store.read_output(job.seq, 4, 100, 250);  // 101 bytes each: two fit
  EXPECT_EQ(page.entries.size(), 2u);
  EXPECT_TRUE(page.more);
  EXPECT_EQ(page.next, 6);

  page = store.read_output(job.seq, 6, 4, 1 << 20);  // exactly the rest: not cut
  EXPECT_EQ(page.entries.size(), 4u);
  EXPECT_FALSE(page.more);
  EXPECT_EQ(page.next, 10);

  page = store.read_output(job.seq, 0, 100, 10);  // one entry even when larger than the cap
  EXPECT_EQ(page.entries.size(), 1u);
  EXPECT_TRUE(page.more);

  page = store.read_output(job.seq, 50, 100, 1 << 20);  // past the end
  EXPECT_TRUE(page.entries.empty());
  EXPECT_FALSE(page.more);
  EXPECT_EQ(page.next, 50);
}

TEST(JobStore, SurvivesReopenAndKeepsBytes) {
  TempDir dir;
  std::string id;
  std::int64_t seq;
  {
    JobStore store(dir.path() + "/jobs.db");
    auto job = make_job(store, "a");
    id = job.id;
    seq = job.seq;
    store.append_output(seq, 0, {OutputLine{Stream::stdout_stream, std::string("\xff\x00z\r\n", 5)}});
  }
  JobStore again(dir.path() + "/jobs.db");
  ASSERT_TRUE(again.get(id));
  auto page = again.read_output(seq, 0, 10, 1000);
  ASSERT_EQ(page.entries.size(), 1u);
  EXPECT_EQ(page.entries[0].line.content, std::string("\xff\x00z\r\n", 5));
}

TEST(JobStore, SubmittedJobStaysQueuedAndOutputProgressIsKeptPerStream) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  auto job = make_job(store, "a");
  store.mark_submitted(job.id, 7, "slurm");
  auto got = store.get(job.id);
  EXPECT_EQ(got->status, "queued");
  EXPECT_EQ(got->pid, 7);
  EXPECT_EQ(got->runner, "slurm");
  EXPECT_TRUE(store.mark_running(job.id, 1001.0, 7, "slurm"));

  auto line = [](Stream stream, const char* text, std::optional<std::uint64_t> end) {
    return OutputLine{stream, text, end};
  };
  EXPECT_EQ(store.stream_positions(job.seq), (std::array<std::uint64_t, 2>{0, 0}));
  store.append_output(job.seq, 0, {line(Stream::stdout_stream, "a\n", 2),
                                   line(Stream::stderr_stream, "e\n", 2),
                                   line(Stream::stdout_stream, "bb\n", 5)});
  EXPECT_EQ(store.stream_positions(job.seq), (std::array<std::uint64_t, 2>{5, 2}));
  // A batch lost on the way leaves a gap; the position never goes back.
  store.append_output(job.seq, 5, {line(Stream::stdout_stream, "z\n", 20)});
  store.append_output(job.seq, 6, {line(Stream::stdout_stream, "late\n", 9),
                                   line(Stream::stderr_stream, "no position\n", std::nullopt)});
  EXPECT_EQ(store.stream_positions(job.seq), (std::array<std::uint64_t, 2>{20, 2}));
  EXPECT_EQ(store.output_count(job.seq), 8);
  auto other = make_job(store, "a");
  EXPECT_EQ(store.stream_positions(other.seq), (std::array<std::uint64_t, 2>{0, 0}));
}

// A jobs.db written before jobs recorded their runner: it opens, gains the column, and its
// jobs read back with no runner.
TEST(JobStore, DatabaseWithoutRunnerColumnIsMigrated) {
  TempDir dir;
  std::string path = dir.path() + "/jobs.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const char* old_schema = R"sql(
CREATE TABLE jobs(seq INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT UNIQUE NOT NULL,
  owner TEXT NOT NULL, status TEXT NOT NULL, exit_code INTEGER, created_at REAL NOT NULL,
  started_at REAL, finished_at REAL, file_path TEXT, resources TEXT NOT NULL,
  fast INTEGER NOT NULL, error TEXT, pid INTEGER, cost REAL NOT NULL);
CREATE TABLE output(job_seq INTEGER NOT NULL, idx INTEGER NOT NULL, stream INTEGER NOT NULL,
  content BLOB NOT NULL, PRIMARY KEY(job_seq, idx)) WITHOUT ROWID;
INSERT INTO jobs(id, owner, status, created_at, started_at, resources, fast, pid, cost)
  VALUES('job-old', 'a', 'running', 1000, 1001, '{}', 0, 4242, 1);
INSERT INTO output VALUES(1, 0, 0, CAST('old line' || char(10) AS BLOB));
)sql";
  ASSERT_EQ(sqlite3_exec(db, old_schema, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  for (int open = 0; open < 2; ++open) {  // the second open finds the column there
    JobStore store(path);
    auto old = store.get("job-old");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->status, "running");
    EXPECT_EQ(old->pid, 4242);
    EXPECT_FALSE(old->runner);
    EXPECT_EQ(store.read_output(old->seq, 0, 10, 1000).entries.at(0).line.content, "old line\n");
    EXPECT_EQ(store.with_status(kRunning).size(), 1u);
  }
  JobStore store(path);
  auto job = make_job(store, "a");
  EXPECT_TRUE(store.mark_running(job.id, 1002.0, 5, "slurm"));
  EXPECT_EQ(store.get(job.id)->runner, "slurm");
  store.append_output(job.seq, 0, {OutputLine{Stream::stdout_stream, "x\n", 2}});
  EXPECT_EQ(store.stream_positions(job.seq)[0], 2u);
}

// An ended job with the given status and end time, with output and output progress.
JobRecord ended_job(JobStore& store, const char* status, double finished_at) {
  JobRecord job;
  job.id = new_job_id();
  job.owner = "a";
  job.status = status;
  job.created_at = finished_at - 10;
  job.finished_at = finished_at;
  store.insert(job);
  store.append_output(job.seq, 0, {OutputLine{Stream::stdout_stream, "out\n", 4},
                                   OutputLine{Stream::stderr_stream, "err\n", 4}});
  return job;
}

TEST(JobStore, DeletesOnlyJobsThatEndedBeforeTheCutoff) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  auto completed = ended_job(store, kCompleted, 100);
  auto failed = ended_job(store, kFailed, 200);
  auto cancelled = ended_job(store, kCancelled, 300);
  auto recent = ended_job(store, kCompleted, 5000);
  auto at_cutoff = ended_job(store, kFailed, 1000);
  auto queued = make_job(store, "a");  // created at 1000, long before any cutoff below
  auto running = make_job(store, "a");
  ASSERT_TRUE(store.mark_running(running.id, 1.0, 9, "local"));
  // A status that is not ended protects a job even with an end time.
  auto odd = ended_job(store, kRunning, 50);
  auto active = ended_job(store, kCancelled, 60);

  auto deleted = store.delete_ended(1000, 100, {active.id});
  EXPECT_EQ(deleted, (std::vector<std::string>{completed.id, failed.id, cancelled.id}));
  for (const auto& gone : {completed, failed, cancelled}) {
    EXPECT_FALSE(store.get(gone.id));
    EXPECT_EQ(store.output_count(gone.seq), 0);
    EXPECT_TRUE(store.read_output(gone.seq, 0, 10, 1000).entries.empty());
    EXPECT_EQ(store.stream_positions(gone.seq), (std::array<std::uint64_t, 2>{0, 0}));
  }
  for (const auto& kept : {recent, at_cutoff, queued, running, odd, active}) {
    EXPECT_TRUE(store.get(kept.id)) << kept.status;
  }
  EXPECT_EQ(store.output_count(recent.seq), 2);
  EXPECT_EQ(store.stream_positions(recent.seq), (std::array<std::uint64_t, 2>{4, 4}));
  EXPECT_TRUE(store.delete_ended(1000, 100, {active.id}).empty());
  EXPECT_EQ(store.delete_ended(1000, 100), std::vector<std::string>{active.id});
}

TEST(JobStore, DeletesInBatchesAndGivesPagesBack) {
  TempDir dir;
  JobStore store(dir.path() + "/jobs.db");
  std::set<std::string> old;
  for (int i = 0; i < 7; ++i) {
    auto job = ended_job(store, kCompleted, 100 + i);
    store.append_output(job.seq, 2, std::vector<OutputLine>(20, OutputLine{Stream::stdout_stream,
                                                                            std::string(4000, 'x'), {}}));
    old.insert(job.id);
  }
  auto kept = ended_job(store, kCompleted, 9000);
  // A skipped job among the first due ones still leaves full batches.
  std::string skipped = store.with_status(kCompleted).front().id;
  std::set<std::string> seen;
  std::vector<std::size_t> sizes;
  while (true) {
    auto batch = store.delete_ended(1000, 3, {skipped});
    sizes.push_back(batch.size());
    seen.insert(batch.begin(), batch.end());
    if (batch.size() < 3) break;
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 0}));
  old.erase(skipped);
  EXPECT_EQ(seen, old);
  EXPECT_TRUE(store.get(skipped));
  EXPECT_TRUE(store.get(kept.id));

  // A new database vacuums incrementally: the output's pages go back a few at a time.
  std::int64_t free_pages = store.release_free_pages(10);
  EXPECT_GT(free_pages, 0);
  EXPECT_EQ(store.release_free_pages(10), free_pages - 10);
  EXPECT_EQ(store.release_free_pages(1 << 20), 0);
}

TEST(JobStore, UnopenableDatabaseIsAnError) {
  EXPECT_THROW(JobStore("/nonexistent-dir/x/jobs.db"), StoreError);
}

}  // namespace
}  // namespace pelmora::service
