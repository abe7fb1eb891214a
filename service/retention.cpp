#include "service/retention.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/files.h"
#include "agent/platform/clock.h"
#include "service/log.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

constexpr double kSecondsPerDay = 86400.0;
// Deeper than any job's own tree should be; it also bounds the descriptors held open.
constexpr int kMaxDepth = 128;
// Free pages handed back per step (4 MiB at SQLite's default page size).
constexpr int kReleasePages = 1024;

// An open directory descriptor, closed with the object.
class DirFd {
 public:
  explicit DirFd(int fd) : _fd(fd) {}
  ~DirFd() {
    if (_fd >= 0) close(_fd);
  }
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  int get() const { return _fd; }

 private:
  int _fd;
};

// The directory `parent_fd`/`name` opened without following a link: -1 with errno ELOOP or
// ENOTDIR when it is a link or not a directory.
int open_dir_at(int parent_fd, const char* name) {
  int fd;
  do {
    fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The names in the directory open as `fd` ("." and ".." left out); `fd` stays open.
bool list_names(int fd, std::vector<std::string>& names) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return false;
  }
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  bool ok = errno == 0;
  closedir(dir);
  return ok;
}

// Empties the directory open as `fd`. Entries are unlinked by name relative to `fd`, so a
// link is removed as a link and a directory swapped for a link meanwhile is not followed
// (O_NOFOLLOW). False when anything stayed.
bool empty_dir(int fd, int depth) {
  std::vector<std::string> names;
  bool ok = list_names(fd, names);
  for (const auto& name : names) {
    if (unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
    // Linux answers EISDIR for a directory.
    if (errno != EISDIR || depth >= kMaxDepth) {
      ok = false;
      continue;
    }
    DirFd child(open_dir_at(fd, name.c_str()));
    if (child.get() < 0) {
      ok = ok && errno == ENOENT;
      continue;
    }
    ok = empty_dir(child.get(), depth + 1) && ok;
    if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) ok = false;
  }
  return ok;
}

double sweep_interval(const RetentionOptions& options) {
  if (options.interval > 0) return options.interval;
  return std::clamp(options.keep_days * kSecondsPerDay / 4, 60.0, 3600.0);
}

}  // namespace

JobDirRemoval remove_job_dir(const std::string& jobs_dir, const std::string& id) {
  if (!is_job_id(id)) return JobDirRemoval::refused;
  DirFd parent(open(jobs_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.get() < 0) return errno == ENOENT ? JobDirRemoval::missing : JobDirRemoval::incomplete;
  DirFd dir(open_dir_at(parent.get(), id.c_str()));
  if (dir.get() < 0) {
    if (errno == ENOENT) return JobDirRemoval::missing;
    if (errno == ELOOP || errno == ENOTDIR) return JobDirRemoval::refused;
    return JobDirRemoval::incomplete;
  }
  bool ok = empty_dir(dir.get(), 1);
  // AT_REMOVEDIR fails on a link put in its place meanwhile: it is never followed.
  if (unlinkat(parent.get(), id.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) ok = false;
  return ok ? JobDirRemoval::removed : JobDirRemoval::incomplete;
}

RetentionSweeper::RetentionSweeper(JobStore& store, std::string jobs_dir, RetentionOptions options,
                                   std::function<std::set<std::string>()> active)
    : _store(store), _jobs_dir(std::move(jobs_dir)), _options(std::move(options)),
      _active(std::move(active)) {
  if (_options.clock == nullptr) _options.clock = &system_clock();
  if (_options.batch == 0) _options.batch = 1;
}

RetentionSweeper::~RetentionSweeper() { stop(); }

std::size_t RetentionSweeper::sweep() {
  double cutoff = _options.clock->wall() - _options.keep_days * kSecondsPerDay;
  std::set<std::string> skip = _active ? _active() : std::set<std::string>{};
  std::size_t deleted = 0;
  while (true) {
    // One batch per transaction: requests get the store between two batches.
    auto ids = _store.delete_ended(cutoff, _options.batch, skip);
    deleted += ids.size();
    for (const auto& id : ids) {
      switch (remove_job_dir(_jobs_dir, id)) {
        case JobDirRemoval::removed:
        case JobDirRemoval::missing:
          break;
        case JobDirRemoval::refused:
          service_logger()->warn("{}: left {} alone: not a directory of its own", id,
                                 join_path(_jobs_dir, id));
          break;
        case JobDirRemoval::incomplete:
          service_logger()->warn("{}: could not remove all of {}", id, join_path(_jobs_dir, id));
          break;
      }
    }
    if (ids.size() < _options.batch) break;
    std::lock_guard lock(_mutex);
    if (_stopping) break;
  }
  _remove_orphaned_dirs(cutoff, skip);
  if (deleted > 0) {
    service_logger()->info("pruned {} jobs finished more than {:g} days ago", deleted,
                           _options.keep_days);
    // Give the deleted jobs' pages back a step at a time, each its own short transaction.
    std::int64_t left = _store.release_free_pages(kReleasePages);
    while (left > 0) {
      {
        std::lock_guard lock(_mutex);
        if (_stopping) break;
      }
      std::int64_t now_left = _store.release_free_pages(kReleasePages);
      if (now_left >= left) break;
      left = now_left;
    }
  }
  return deleted;
}

void RetentionSweeper::_remove_orphaned_dirs(double cutoff, const std::set<std::string>& skip) {
  // A service that stopped between deleting a batch's rows and removing their directories
  // leaves directories without a job behind. Only directories older than the cutoff are
  // looked up: a job's directory is made just before its row is written, so a new one is
  // never taken for an orphan. After the sweep, the old directories that still have a row
  // are only those of jobs still queued or running: few lookups.
  DirFd jobs(open(_jobs_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<std::string> names;
  if (jobs.get() < 0 || !list_names(jobs.get(), names)) return;
  std::size_t removed = 0;
  for (const auto& name : names) {
    if (!is_job_id(name) || skip.contains(name)) continue;
    struct stat st {};
    if (fstatat(jobs.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode) || static_cast<double>(st.st_mtime) >= cutoff) continue;
    if (_store.get(name)) continue;
    if (remove_job_dir(_jobs_dir, name) == JobDirRemoval::removed) ++removed;
  }
  if (removed > 0) {
    service_logger()->info("removed {} job directories left without a job", removed);
  }
}

void RetentionSweeper::start() {
  _thread = std::thread([this] { _run(); });
}

void RetentionSweeper::stop() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  _wake.notify_all();
  if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
}

std::size_t RetentionSweeper::sweeps_done() {
  std::lock_guard lock(_mutex);
  return _sweeps;
}

void RetentionSweeper::_run() {
  auto interval = std::chrono::duration<double>(sweep_interval(_options));
  while (true) {
    try {
      sweep();
    } catch (const std::exception& e) {
      service_logger()->error("deleting old jobs failed: {}", e.what());
    }
    std::unique_lock lock(_mutex);
    ++_sweeps;
    if (_wake.wait_for(lock, interval, [this] { return _stopping; })) return;
  }
}

}  // namespace pelmora::service
