#pragma once
// Control groups for local jobs: each job in a group of its own, made under the service's own
// group, so that its memory and its number of processes are limited for the whole job (every
// process it starts, bubblewrap included) rather than per process.
//
// cgroup v2 is used when the unified hierarchy offers the controller and the service may
// hand it to groups below its own (when the service's group holds processes, they are first
// moved, the service among them, into a leaf group "pelmora-service" beside the jobs'); else
// cgroup v1, where memory and pids are hierarchies of their own. Where neither can be written (no
// privileges, no such controller), a job gets no group for that controller.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelmora::service {

enum class CgroupVersion { none, v1, v2 };

// "cgroup v1", "cgroup v2" or "none".
const char* cgroup_version_name(CgroupVersion version);

// Where job groups of one controller are made.
struct CgroupPlace {
  CgroupVersion version = CgroupVersion::none;
  std::string parent;  // the service's own group: an absolute directory
};

// The calling process's group in the unified (v2) hierarchy, from the text of
// /proc/self/mountinfo and /proc/self/cgroup; absent when that hierarchy is not mounted or
// the group lies outside what is mounted. Pure: touches nothing.
std::optional<std::string> unified_group(const std::string& mountinfo,
                                         const std::string& self_cgroup);

// Where `controller` ("memory", "pids") of the calling process lives: the v2 group
// (unified_group) when `v2_controllers`, the text of that group's cgroup.controllers as the
// caller read it, lists the controller; else the v1 hierarchy that has it. Version none when
// it is in neither, or when the group lies outside what is mounted. Pure: touches nothing.
CgroupPlace find_cgroup(const std::string& mountinfo, const std::string& self_cgroup,
                        const std::string& controller, const std::string& v2_controllers);

// The controllers this service can give its jobs, found and tried at start.
struct CgroupProbe {
  CgroupPlace memory;
  CgroupPlace pids;
  std::string problem;  // why one of them is missing, when one is
};

// Finds the memory and pids controllers (find_cgroup, over /proc/self) and tries, for each,
// to make a group under the service's own, set its limit and remove it. Never throws.
CgroupProbe probe_cgroups();

// One job's groups. The destructor kills what is left in them and removes them. Not
// thread-safe; the counters may be read from any thread.
class JobCgroup {
 public:
  // Makes the groups named `name` where `probe` found a controller: memory limited to
  // `memory` bytes (absent: no memory group), processes and threads to `processes` (absent:
  // no pids group). Throws std::runtime_error naming the file that failed; nothing is left
  // behind then.
  JobCgroup(const CgroupProbe& probe, const std::string& name, std::optional<std::uint64_t> memory,
            std::optional<std::uint64_t> processes);
  ~JobCgroup();
  JobCgroup(const JobCgroup&) = delete;
  JobCgroup& operator=(const JobCgroup&) = delete;

  // The cgroup.procs files a process writes "0" into to join (SpawnOptions::join_cgroups).
  std::vector<std::string> procs_files() const;
  CgroupVersion memory_version() const { return _memory_version; }
  CgroupVersion pids_version() const { return _pids_version; }
  // How often the kernel killed a process of the group for want of memory.
  std::uint64_t oom_kills() const;
  // How often a fork or clone of the group was refused at the process limit.
  std::uint64_t fork_refusals() const;
  // SIGKILL to every process in the groups, until none is left (a few rounds at most).
  void kill_all() const;

 private:
  std::vector<std::string> _dirs;  // each made here, removed by the destructor
  std::string _memory_dir;
  std::string _pids_dir;
  CgroupVersion _memory_version = CgroupVersion::none;
  CgroupVersion _pids_version = CgroupVersion::none;
};

}  // namespace pelmora::service
