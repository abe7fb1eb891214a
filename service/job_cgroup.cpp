#include "service/job_cgroup.h"

#include <cerrno>
#include <csignal>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/errors.h"
#include "agent/platform/fd.h"
#include "agent/platform/files.h"
#include "service/log.h"

namespace pelmora::service {
namespace {

struct Mount {
  std::string root;         // the part of the hierarchy mounted
  std::string mount_point;  // where
  std::string fs_type;      // "cgroup", "cgroup2"
  std::string options;      // the super options: the v1 controllers among them
};

// A mountinfo field: "\040" and the like stand for a byte.
std::string unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  return parts;
}

bool has_word(const std::string& list, const std::string& word, char sep) {
  for (const auto& item : split(list, sep)) {
    if (item == word) return true;
  }
  return false;
}

std::vector<Mount> cgroup_mounts(const std::string& mountinfo) {
  std::vector<Mount> mounts;
  for (const auto& line : split(mountinfo, '\n')) {
    std::vector<std::string> fields;
    for (const auto& f : split(line, ' ')) {
      if (!f.empty()) fields.push_back(f);
    }
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 3 >= fields.size() || fields.size() < 6) continue;
    Mount m{unescape(fields[3]), unescape(fields[4]), fields[dash + 1], fields[dash + 3]};
    if (m.fs_type == "cgroup" || m.fs_type == "cgroup2") mounts.push_back(std::move(m));
  }
  return mounts;
}

// `path` of a hierarchy as a directory under `mount`; absent when it is not mounted there.
std::optional<std::string> under_mount(const Mount& mount, const std::string& path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  std::string rest = path;
  if (mount.root != "/") {
    if (path.compare(0, mount.root.size(), mount.root) != 0 ||
        (path.size() > mount.root.size() && path[mount.root.size()] != '/')) {
      return std::nullopt;
    }
    rest = path.substr(mount.root.size());
  }
  if (rest.find("/..") != std::string::npos) return std::nullopt;
  std::string dir = mount.mount_point;
  if (rest != "/" && !rest.empty()) dir += rest;
  return dir;
}

// The lines of /proc/self/cgroup: hierarchy id, controllers, path.
struct Membership {
  std::string controllers;
  std::string path;
};

std::vector<Membership> memberships(const std::string& self_cgroup) {
  std::vector<Membership> out;
  for (const auto& line : split(self_cgroup, '\n')) {
    auto first = line.find(':');
    auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    out.push_back({line.substr(first + 1, second - first - 1), line.substr(second + 1)});
  }
  return out;
}

std::string read_small(const std::string& path) {
  try {
    return read_file_bytes(path);
  } catch (const std::exception&) {
    return {};
  }
}

// Writes `text` to the control file `path`: 0, or the errno.
int write_control(const std::string& path, const std::string& text) {
  Fd fd = open_fd(path, O_WRONLY);
  if (!fd.valid()) return errno;
  return write_all(fd.get(), text.data(), text.size());
}

void write_or_throw(const std::string& path, const std::string& text) {
  if (int error = write_control(path, text); error != 0) {
    throw std::runtime_error("cannot write " + path + ": " + errno_text(error));
  }
}

// The number after `key` in a file of "key value" lines; 0 when missing.
std::uint64_t counter(const std::string& path, const std::string& key) {
  std::istringstream in(read_small(path));
  std::string name;
  std::uint64_t value = 0;
  while (in >> name >> value) {
    if (name == key) return value;
  }
  return 0;
}

// Makes sure `parent` hands `controller` to the groups below it (v2): enabled in its
// subtree_control, after moving this process into a leaf beside the jobs' when the group
// holds processes of its own. 0, or the errno of the write that failed.
int delegate_v2(const std::string& parent, const std::string& controller) {
  const std::string subtree = join_path(parent, "cgroup.subtree_control");
  if (has_word(read_small(subtree), controller, ' ')) return 0;
  int error = write_control(subtree, "+" + controller);
  if (error == EBUSY) {
    const std::string leaf = join_path(parent, "pelmora-service");
    if (::mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    for (const auto& pid : split(read_small(join_path(parent, "cgroup.procs")), '\n')) {
      if (!pid.empty()) write_control(join_path(leaf, "cgroup.procs"), pid);
    }
    error = write_control(subtree, "+" + controller);
  }
  return error;
}

// Makes and removes a group under `place` with a limit set: "" when that works, else why not.
std::string try_group(const CgroupPlace& place, const std::string& controller) {
  const std::string dir = join_path(place.parent, "pelmora-probe-" + std::to_string(::getpid()));
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return "cannot make a group in " + place.parent + ": " + errno_text(errno);
  }
  std::string file = controller == "pids"                  ? "pids.max"
                     : place.version == CgroupVersion::v2 ? "memory.max"
                                                          : "memory.limit_in_bytes";
  int error = write_control(join_path(dir, file), controller == "pids" ? "512" : "104857600");
  ::rmdir(dir.c_str());
  if (error != 0) return "cannot set " + file + " in " + place.parent + ": " + errno_text(error);
  return "";
}

}  // namespace

const char* cgroup_version_name(CgroupVersion version) {
  switch (version) {
    case CgroupVersion::v1: return "cgroup v1";
    case CgroupVersion::v2: return "cgroup v2";
    case CgroupVersion::none: break;
  }
  return "none";
}

std::optional<std::string> unified_group(const std::string& mountinfo,
                                         const std::string& self_cgroup) {
  for (const auto& member : memberships(self_cgroup)) {
    if (!member.controllers.empty()) continue;
    for (const auto& mount : cgroup_mounts(mountinfo)) {
      if (mount.fs_type != "cgroup2") continue;
      if (auto dir = under_mount(mount, member.path)) return dir;
    }
  }
  return std::nullopt;
}

CgroupPlace find_cgroup(const std::string& mountinfo, const std::string& self_cgroup,
                        const std::string& controller, const std::string& v2_controllers) {
  std::string listed = v2_controllers;
  for (char& c : listed) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  if (has_word(listed, controller, ' ')) {
    if (auto dir = unified_group(mountinfo, self_cgroup)) return {CgroupVersion::v2, *dir};
  }
  for (const auto& member : memberships(self_cgroup)) {
    if (!has_word(member.controllers, controller, ',')) continue;
    for (const auto& mount : cgroup_mounts(mountinfo)) {
      if (mount.fs_type != "cgroup" || !has_word(mount.options, controller, ',')) continue;
      if (auto dir = under_mount(mount, member.path)) return {CgroupVersion::v1, *dir};
    }
  }
  return {};
}

CgroupProbe probe_cgroups() {
  CgroupProbe probe;
  const std::string mountinfo = read_small("/proc/self/mountinfo");
  const std::string self = read_small("/proc/self/cgroup");
  std::string v2_controllers;
  if (auto dir = unified_group(mountinfo, self)) {
    v2_controllers = read_small(join_path(*dir, "cgroup.controllers"));
  }
  std::vector<std::string> problems;
  for (const char* controller : {"memory", "pids"}) {
    CgroupPlace& place = std::string(controller) == "memory" ? probe.memory : probe.pids;
    place = find_cgroup(mountinfo, self, controller, v2_controllers);
    if (place.version == CgroupVersion::v2) {
      if (int error = delegate_v2(place.parent, controller); error != 0) {
        problems.push_back(std::string("cannot hand the ") + controller + " controller to groups below " +
                           place.parent + ": " + errno_text(error));
        place = find_cgroup(mountinfo, self, controller, "");
      }
    }
    if (place.version == CgroupVersion::none) {
      problems.push_back(std::string("no ") + controller + " controller is mounted");
      continue;
    }
    if (std::string why = try_group(place, controller); !why.empty()) {
      problems.push_back(why);
      place = {};
    }
  }
  for (const auto& p : problems) probe.problem += (probe.problem.empty() ? "" : "; ") + p;
  return probe;
}

JobCgroup::JobCgroup(const CgroupProbe& probe, const std::string& name,
                     std::optional<std::uint64_t> memory, std::optional<std::uint64_t> processes) {
  auto make = [&](const CgroupPlace& place) {
    const std::string dir = join_path(place.parent, name);
    for (const auto& made : _dirs) {
      if (made == dir) return dir;  // v2: one group for both controllers
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot make the control group " + dir + ": " + errno_text(errno));
    }
    _dirs.push_back(dir);
    return dir;
  };
  try {
    if (memory && probe.memory.version != CgroupVersion::none) {
      _memory_dir = make(probe.memory);
      const std::string bytes = std::to_string(*memory);
      if (probe.memory.version == CgroupVersion::v2) {
        write_or_throw(join_path(_memory_dir, "memory.max"), bytes);
        // Best effort: no swap beyond the limit, and an OOM kill ends the whole group.
        write_control(join_path(_memory_dir, "memory.swap.max"), "0");
        write_control(join_path(_memory_dir, "memory.oom.group"), "1");
      } else {
        write_or_throw(join_path(_memory_dir, "memory.limit_in_bytes"), bytes);
        write_control(join_path(_memory_dir, "memory.memsw.limit_in_bytes"), bytes);
      }
      _memory_version = probe.memory.version;
    }
    if (processes && probe.pids.version != CgroupVersion::none) {
      _pids_dir = make(probe.pids);
      write_or_throw(join_path(_pids_dir, "pids.max"), std::to_string(*processes));
      _pids_version = probe.pids.version;
    }
  } catch (...) {
    for (auto it = _dirs.rbegin(); it != _dirs.rend(); ++it) ::rmdir(it->c_str());
    throw;
  }
}

JobCgroup::~JobCgroup() {
  for (auto it = _dirs.rbegin(); it != _dirs.rend(); ++it) {
    bool removed = false;
    for (int round = 0; round < 100 && !removed; ++round) {
      removed = ::rmdir(it->c_str()) == 0 || errno == ENOENT;
      if (!removed && errno != EBUSY) break;
      if (!removed) {
        kill_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (!removed) service_logger()->warn("cannot remove the control group {}: {}", *it, errno_text(errno));
  }
}

std::vector<std::string> JobCgroup::procs_files() const {
  std::vector<std::string> files;
  for (const auto& dir : _dirs) files.push_back(join_path(dir, "cgroup.procs"));
  return files;
}

std::uint64_t JobCgroup::oom_kills() const {
  if (_memory_version == CgroupVersion::v2) return counter(join_path(_memory_dir, "memory.events"), "oom_kill");
  if (_memory_version == CgroupVersion::v1) return counter(join_path(_memory_dir, "memory.oom_control"), "oom_kill");
  return 0;
}

std::uint64_t JobCgroup::fork_refusals() const {
  if (_pids_version == CgroupVersion::none) return 0;
  return counter(join_path(_pids_dir, "pids.events"), "max");
}

void JobCgroup::kill_all() const {
  for (const auto& dir : _dirs) {
    write_control(join_path(dir, "cgroup.kill"), "1");  // v2 from Linux 5.14
    for (int round = 0; round < 50; ++round) {
      std::istringstream pids(read_small(join_path(dir, "cgroup.procs")));
      long pid = 0;
      bool any = false;
      while (pids >> pid) {
        if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
        any = true;
      }
      if (!any) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

}  // namespace pelmora::service
