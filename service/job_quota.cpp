#include "service/job_quota.h"

#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelmora::service {

std::string size_text(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"TiB", "GiB", "MiB", "KiB"};
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t unit = std::uint64_t{1} << (10 * (4 - i));
    if (bytes >= unit && bytes % unit == 0) return std::to_string(bytes / unit) + " " + kUnits[i];
  }
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

namespace {

// Directories deeper than this below the job's are counted but not entered: each level
// holds one descriptor while the walk is below it.
constexpr int kMaxDepth = 256;

struct Walk {
  dev_t device;
  std::uint64_t stop_above;
  std::uint64_t total = 0;
  std::set<std::pair<dev_t, ino_t>> linked;  // files with more than one link, seen once
};

// Adds what lies in the directory open as `fd` (taken and closed here).
void walk_dir(int fd, int depth, Walk& walk) {
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::string> subdirs;
  struct stat st {};
  while (dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::fstatat(::dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_nlink > 1 && !S_ISDIR(st.st_mode) && !walk.linked.insert({st.st_dev, st.st_ino}).second) {
      continue;
    }
    walk.total += static_cast<std::uint64_t>(st.st_blocks) * 512;
    if (walk.total > walk.stop_above) break;
    if (S_ISDIR(st.st_mode) && st.st_dev == walk.device && depth < kMaxDepth) {
      subdirs.emplace_back(name);
    }
  }
  for (const auto& name : subdirs) {
    if (walk.total > walk.stop_above) break;
    const int child = ::openat(::dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child >= 0) walk_dir(child, depth + 1, walk);
  }
  ::closedir(d);
}

}  // namespace

std::uint64_t allocated_bytes(const std::string& dir, std::uint64_t stop_above) {
  const int top = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) return 0;
  struct stat st {};
  if (::fstat(top, &st) != 0) {
    ::close(top);
    return 0;
  }
  Walk walk{st.st_dev, stop_above};
  walk.total = static_cast<std::uint64_t>(st.st_blocks) * 512;
  walk_dir(top, 0, walk);
  return walk.total;
}

}  // namespace pelmora::service
