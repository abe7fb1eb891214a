#include "service/state_dir.h"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/data_dir.h"
#include "agent/platform/errors.h"
#include "agent/platform/fd.h"
#include "agent/platform/files.h"
#include "service/log.h"

namespace pelmora::service {
namespace {

// The store's files: the database first, then what SQLite keeps beside it.
constexpr const char* kStoreSuffixes[] = {"", "-wal", "-shm"};

void make_dir_private(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::runtime_error("cannot read " + path + ": " + errno_text(errno));
  }
  if ((st.st_mode & 077) == 0) return;
  if (st.st_uid != ::geteuid() || ::chmod(path.c_str(), 0700) != 0) {
    throw std::runtime_error("refusing the state directory " + path +
                             ", which other users can read: it cannot be made private (mode " +
                             "0700)");
  }
  service_logger()->warn("{} could be read by other users: now mode 0700", path);
}

// Moves `from` to `to` when `from` exists and `to` does not. Returns true when it moved.
bool move_if_missing(const std::string& from, const std::string& to) {
  if (::access(from.c_str(), F_OK) != 0 || ::access(to.c_str(), F_OK) == 0) return false;
  if (::rename(from.c_str(), to.c_str()) != 0) {
    throw std::runtime_error("cannot move " + from + " to " + to + ": " + errno_text(errno));
  }
  return true;
}

void chmod_if_present(const std::string& path) {
  if (::chmod(path.c_str(), 0600) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot make " + path + " private: " + errno_text(errno));
  }
}

}  // namespace

void make_private_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid() || ::fchmod(fd.get(), 0600) != 0) {
    throw std::runtime_error("cannot make " + path + " private: " + errno_text(errno));
  }
}

void prepare_data_dir(const std::string& data_dir, bool move_store) {
  const std::string state = state_dir(data_dir);
  make_private_dirs(data_dir);
  make_private_dirs(state);
  make_private_dirs(jobs_dir(data_dir));
  make_dir_private(state);
  const std::string old_db = join_path(data_dir, "jobs.db");
  const std::string new_db = jobs_db_file(data_dir);
  if (move_store && ::access(new_db.c_str(), F_OK) != 0 && ::access(old_db.c_str(), F_OK) == 0) {
    // The -wal file holds committed transactions: it moves with its database, before it.
    for (const char* suffix : {"-wal", "-shm", ""}) {
      move_if_missing(old_db + suffix, new_db + suffix);
    }
    service_logger()->info("moved the job store into {}", state);
  }
  if (move_if_missing(join_path(data_dir, "keys.json"), keys_file(data_dir))) {
    ::unlink(join_path(data_dir, "keys.json.lock").c_str());
    service_logger()->info("moved the keys file into {}", state);
  }
  for (const char* suffix : kStoreSuffixes) chmod_if_present(new_db + suffix);
  chmod_if_present(keys_file(data_dir));
  chmod_if_present(local_key_file(data_dir));
}

}  // namespace pelmora::service
