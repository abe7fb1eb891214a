// The project bundle of a tree of 1,000 files and 50 MB (half text that compresses, half
// random bytes), against `tar -czf` of the same tree in the same run. Counters give the
// sizes: the compressed archive and the bundle text for pelmora, the .tar.gz for tar.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "agent/bundle/project.h"

namespace {

constexpr int kFiles = 1000;
constexpr std::size_t kFileBytes = 50 * 1000 * 1000 / kFiles;

// Text like a log of measurements: compresses about 4 to 1, as real data files do.
std::string text_file(std::mt19937& gen, std::size_t size) {
  std::string s;
  s.reserve(size + 64);
  std::uniform_int_distribution<int> value(0, 99999);
  static const char* kWords[] = {"train", "valid", "test", "epoch", "loss", "accuracy", "batch"};
  while (s.size() < size) {
    s += kWords[gen() % 7];
    s += ',';
    s += std::to_string(value(gen));
    s += ',';
    s += std::to_string(value(gen) % 10);
    s += kWords[gen() % 7];
    s += '\n';
  }
  s.resize(size);
  return s;
}

class Tree {
 public:
  Tree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-bench-project-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    std::mt19937 gen(42);
    std::ofstream(root_ + "/main.py") << "import os\nprint(len(os.listdir('.')))\n";
    for (int i = 1; i < kFiles; ++i) {
      const std::string dir = root_ + "/d" + std::to_string(i % 20);
      std::filesystem::create_directories(dir);
      std::string bytes;
      if (i % 2 == 0) {
        bytes = text_file(gen, kFileBytes);
      } else {
        bytes.resize(kFileBytes);
        for (char& c : bytes) c = static_cast<char>(gen() & 0xff);
      }
      std::ofstream(dir + "/f" + std::to_string(i) + (i % 2 == 0 ? ".csv" : ".bin"), std::ios::binary) << bytes;
    }
  }
  ~Tree() { std::filesystem::remove_all(root_); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

const Tree& tree() {
  static const Tree t;
  return t;
}

void BM_ProjectBundle(benchmark::State& state) {
  const std::string& root = tree().root();
  pelmora::ProjectBundle bundle;
  for (auto _ : state) {
    // A cap above the tree's compressed size: the whole tree ships, as tar packs it.
    bundle = pelmora::build_project_bundle({.script = "main.py", .cwd = root, .home = "/nonexistent",
                                            .limits = {.max_compressed = 64ull << 20}});
    benchmark::DoNotOptimize(bundle.text.data());
  }
  state.counters["files"] = static_cast<double>(bundle.selection.entries.size());
  state.counters["input_bytes"] = static_cast<double>(bundle.bytes);
  state.counters["archive_bytes"] = static_cast<double>(bundle.archive_bytes);
  state.counters["text_bytes"] = static_cast<double>(bundle.text.size());
}
BENCHMARK(BM_ProjectBundle)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_TarCzf(benchmark::State& state) {
  const std::string& root = tree().root();
  const std::string out = root + ".tar.gz";
  const std::string command = "tar -czf '" + out + "' -C '" + root + "' .";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("tar -czf failed");
  }
  struct stat st{};
  ::stat(out.c_str(), &st);
  state.counters["archive_bytes"] = static_cast<double>(st.st_size);
  std::filesystem::remove(out);
}
BENCHMARK(BM_TarCzf)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
