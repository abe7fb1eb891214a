// Every fuzz corpus (the seeds and the crashers the fuzzers found) replayed through its fuzz
// target's entry, in every build: a target aborts on a broken invariant, so a crasher that
// comes back fails this test. Each fuzz/fuzz_NAME.cpp is compiled into this program with its
// entry renamed fuzz_NAME_one (tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

extern "C" int fuzz_grammar_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_discover_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_bundle_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_proc_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_resources_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_request_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_ignore_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_project_imports_one(const std::uint8_t* data, std::size_t size);
extern "C" int fuzz_job_path_one(const std::uint8_t* data, std::size_t size);

namespace pelmora {
namespace {

using Entry = int (*)(const std::uint8_t*, std::size_t);

struct Replay {
  const char* target;
  const char* corpus;  // under fuzz/corpus
  Entry entry;
  int min_files;
};

void PrintTo(const Replay& r, std::ostream* os) { *os << r.target << " on fuzz/corpus/" << r.corpus; }

class CorpusReplay : public ::testing::TestWithParam<Replay> {};

TEST_P(CorpusReplay, EveryFileRunsThroughItsTarget) {
  const Replay& r = GetParam();
  const std::filesystem::path dir = std::filesystem::path(PELMORA_SOURCE_DIR) / "fuzz/corpus" / r.corpus;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    EXPECT_EQ(r.entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
    ++files;
  }
  EXPECT_GE(files, r.min_files);
}

// fuzz_bundle and fuzz_project_imports have no corpus of their own: they take module texts,
// as the grammar corpus holds.
INSTANTIATE_TEST_SUITE_P(
    Targets, CorpusReplay,
    ::testing::Values(Replay{"grammar", "grammar", fuzz_grammar_one, 400},
                      Replay{"discover", "discover", fuzz_discover_one, 50},
                      Replay{"bundle", "grammar", fuzz_bundle_one, 400},
                      Replay{"proc", "proc", fuzz_proc_one, 5},
                      Replay{"resources", "resources", fuzz_resources_one, 4},
                      Replay{"request", "request", fuzz_request_one, 6},
                      Replay{"ignore", "ignore", fuzz_ignore_one, 5},
                      Replay{"project_imports", "grammar", fuzz_project_imports_one, 400},
                      Replay{"job_path", "job_path", fuzz_job_path_one, 8}),
    [](const ::testing::TestParamInfo<Replay>& param_info) { return std::string(param_info.param.target); });

}  // namespace
}  // namespace pelmora
