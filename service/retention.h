#pragma once
// Forgetting old jobs: a sweeper that deletes the jobs which ended more than a set number of
// days ago, their rows first (a batch per transaction), then their working directories.
// Queued and running jobs are never touched, however old.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "agent/platform/clock.h"
#include "service/store.h"

namespace pelmora::service {

// What remove_job_dir did.
enum class JobDirRemoval {
  removed,
  missing,        // there was nothing at jobs/<id>
  refused,        // not a job id, or jobs/<id> is not a directory itself (a symlink, a file)
  incomplete,     // some of it could not be removed; what could be is gone
};

// Removes `jobs_dir`/`id` and everything in it, never following a symbolic link: a link
// inside is removed as a link, and a link (or anything but a directory) at jobs/<id> itself
// is left alone. Does nothing for an `id` that is not a job id. Never throws.
JobDirRemoval remove_job_dir(const std::string& jobs_dir, const std::string& id);

struct RetentionOptions {
  double keep_days = 0;     // > 0: jobs that ended longer ago than this are deleted
  std::size_t batch = 500;  // jobs deleted per transaction
  // Seconds between two sweeps; 0: an hour, or a quarter of keep_days when that is shorter
  // (but at least a minute).
  double interval = 0;
  // Its wall() tells the age of jobs; null: system_clock(). Read from the sweeper's thread.
  Clock* clock = nullptr;
};

class RetentionSweeper {
 public:
  // `active` names the jobs the runner still has (a cancelled job whose process has not
  // ended yet): they are left for a later sweep. Empty: none.
  RetentionSweeper(JobStore& store, std::string jobs_dir, RetentionOptions options,
                   std::function<std::set<std::string>()> active = {});
  ~RetentionSweeper();  // stop()
  RetentionSweeper(const RetentionSweeper&) = delete;
  RetentionSweeper& operator=(const RetentionSweeper&) = delete;

  // One sweep on the calling thread; returns the number of jobs deleted. Logs a line when
  // it deleted any. Job directories older than the cutoff that no job owns any more (a
  // sweep cut short by a crash) are removed too. Throws StoreError (the batches committed before stay deleted).
  std::size_t sweep();

  // Starts the sweeper's thread: a sweep at once, then one every interval. Once only.
  void start();

  // Stops the thread, waiting for a sweep under way to finish its current batch. Safe from
  // any thread, more than once.
  void stop();

  // Sweeps finished by the thread so far (failed ones included).
  std::size_t sweeps_done();

 private:
  void _run();
  // Removes the job directories older than `cutoff` that no job of the store owns.
  void _remove_orphaned_dirs(double cutoff, const std::set<std::string>& skip);

  JobStore& _store;
  std::string _jobs_dir;
  RetentionOptions _options;
  std::function<std::set<std::string>()> _active;
  std::mutex _mutex;
  std::condition_variable _wake;
  bool _stopping = false;
  std::size_t _sweeps = 0;
  std::thread _thread;
};

}  // namespace pelmora::service
