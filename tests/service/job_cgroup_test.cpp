// Where a process's memory and pids controllers live, read from mountinfo and
// /proc/self/cgroup texts: v1 hierarchies, the unified hierarchy, a container's partial mount.
#include <gtest/gtest.h>

#include "service/job_cgroup.h"

namespace pelmora::service {
namespace {

// A hybrid host (this project's machines): memory and pids are v1, the unified hierarchy
// has no controllers.
constexpr const char* kHybridMounts =
    "30 25 0:26 / /sys/fs/cgroup ro,nosuid - tmpfs tmpfs ro,mode=755\n"
    "33 30 0:29 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
    "34 30 0:30 / /sys/fs/cgroup/pids rw,relatime - cgroup cgroup rw,pids\n"
    "35 30 0:31 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "36 30 0:32 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n";
constexpr const char* kHybridSelf =
    "8:pids:/\n4:memory:/process_api/1146e1bc\n2:cpu,cpuacct:/\n0::/\n";

// A v2-only host, and a container that sees a part of the hierarchy as its root.
constexpr const char* kUnifiedMounts =
    "24 1 0:22 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr const char* kContainerMounts =
    "24 1 0:22 /kubepods/pod7 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";

struct Case {
  const char* what;
  const char* mounts;
  const char* self;
  const char* controller;
  const char* v2_controllers;
  CgroupVersion version;
  const char* parent;
};

class FindCgroupTest : public ::testing::TestWithParam<Case> {};

TEST_P(FindCgroupTest, FindsTheGroupOfTheController) {
  const Case& c = GetParam();
  CgroupPlace place = find_cgroup(c.mounts, c.self, c.controller, c.v2_controllers);
  EXPECT_EQ(place.version, c.version) << c.what;
  EXPECT_EQ(place.parent, c.parent) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, FindCgroupTest,
    ::testing::Values(
        Case{"v1 memory in a sub-group", kHybridMounts, kHybridSelf, "memory", "", CgroupVersion::v1,
             "/sys/fs/cgroup/memory/process_api/1146e1bc"},
        Case{"v1 pids at the root", kHybridMounts, kHybridSelf, "pids", "", CgroupVersion::v1,
             "/sys/fs/cgroup/pids"},
        Case{"unified hierarchy without the controller: v1", kHybridMounts, kHybridSelf, "memory",
             "cpu io\n", CgroupVersion::v1, "/sys/fs/cgroup/memory/process_api/1146e1bc"},
        Case{"no such controller", kHybridMounts, kHybridSelf, "hugetlb", "", CgroupVersion::none, ""},
        Case{"v2", kUnifiedMounts, "0::/user.slice/session-2.scope\n", "pids", "cpuset cpu io memory pids\n",
             CgroupVersion::v2, "/sys/fs/cgroup/user.slice/session-2.scope"},
        Case{"v2 without the controller", kUnifiedMounts, "0::/a\n", "memory", "cpu pids\n",
             CgroupVersion::none, ""},
        Case{"container root", kContainerMounts, "0::/kubepods/pod7/app\n", "memory", "memory pids",
             CgroupVersion::v2, "/sys/fs/cgroup/app"},
        Case{"group outside the mount", kContainerMounts, "0::/kubepods/pod8\n", "memory", "memory",
             CgroupVersion::none, ""},
        Case{"a path that climbs", kUnifiedMounts, "0::/../x\n", "memory", "memory", CgroupVersion::none, ""},
        Case{"garbage", "not a mount line\n- - -\n", "junk\n::\n", "memory", "memory", CgroupVersion::none, ""}));

}  // namespace
}  // namespace pelmora::service
