// The measure of a job directory: allocated blocks, links counted once, symbolic links never
// followed, an early stop; and sizes written for people.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "service/job_quota.h"
#include "service_fixture.h"

namespace pelmora::service {
namespace {

namespace fs = std::filesystem;

void write_bytes(const fs::path& path, std::size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

TEST(SizeText, WholeUnitsOrBytes) {
  EXPECT_EQ(size_text(std::uint64_t{1} << 30), "1 GiB");
  EXPECT_EQ(size_text(std::uint64_t{10} << 30), "10 GiB");
  EXPECT_EQ(size_text(200 * 1024 * 1024), "200 MiB");
  EXPECT_EQ(size_text(1536 * 1024), "1536 KiB");
  EXPECT_EQ(size_text(1500000000), "1500000000 bytes");
  EXPECT_EQ(size_text(1), "1 byte");
}

TEST(AllocatedBytes, CountsBlocksOnceWithoutFollowingLinks) {
  testing::TempDir tmp;
  const fs::path job = fs::path(tmp.path()) / "job";
  const fs::path outside = fs::path(tmp.path()) / "outside";
  fs::create_directories(job / "a" / "b");
  fs::create_directories(outside);
  const std::size_t mib = 1024 * 1024;
  write_bytes(job / "a" / "b" / "data", 3 * mib);
  write_bytes(outside / "big", 8 * mib);
  fs::create_hard_link(job / "a" / "b" / "data", job / "again");
  fs::create_symlink(outside, job / "to_outside");
  fs::create_symlink(outside / "big", job / "big_link");
  // A sparse file takes almost nothing on disk.
  { std::ofstream(job / "sparse", std::ios::binary).seekp(100 * mib) << 'x'; }

  const std::uint64_t used = allocated_bytes(job.string());
  EXPECT_GE(used, 3 * mib);
  EXPECT_LT(used, 4 * mib);
  // Asked to stop at 1 MiB, it stops past it without reading everything.
  EXPECT_GT(allocated_bytes(job.string(), mib), mib);
  // A directory that cannot be opened as one (a symbolic link, nothing): 0.
  EXPECT_EQ(allocated_bytes((job / "to_outside").string()), 0u);
  EXPECT_EQ(allocated_bytes((job / "missing").string()), 0u);
}

}  // namespace
}  // namespace pelmora::service
