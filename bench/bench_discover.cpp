// Validity plus import names over every .py file of CPython 3.13's standard library (and
// its tests), against CPython's own ast.parse plus import walk over the same texts.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "python/source.h"
#include "python/tokenizer.h"
#include "tests/python/python_oracle.h"

namespace {


struct Corpus {
  std::vector<std::string> texts;
  std::size_t bytes = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus out;
    std::error_code ec;
    std::vector<std::string> paths;
    if (!pelmora::testing::cpython_stdlib()) return out;
    for (auto it = std::filesystem::recursive_directory_iterator(*pelmora::testing::cpython_stdlib(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file() && it->path().extension() == ".py") paths.push_back(it->path());
    }
    for (const std::string& p : paths) {
      try {
        out.texts.push_back(pelmora::read_text_file(p));
        out.bytes += out.texts.back().size();
      } catch (const pelmora::FileError&) {
      }
    }
    return out;
  }();
  return c;
}

void BM_Discover(benchmark::State& state) {
  const Corpus& c = corpus();
  if (c.texts.empty()) {
    state.SkipWithError("CPython 3.13's standard library not found");
    return;
  }
  std::size_t valid = 0;
  for (auto _ : state) {
    valid = 0;
    for (const std::string& text : c.texts) {
      const pelmora::SourceCheck scan = pelmora::check_source(text);
      valid += scan.valid ? 1 : 0;
      benchmark::DoNotOptimize(scan);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
  state.counters["files"] = static_cast<double>(c.texts.size());
  state.counters["valid"] = static_cast<double>(valid);
}
BENCHMARK(BM_Discover)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Tokenize(benchmark::State& state) {
  const Corpus& c = corpus();
  if (c.texts.empty()) {
    state.SkipWithError("CPython 3.13's standard library not found");
    return;
  }
  for (auto _ : state) {
    for (const std::string& text : c.texts) benchmark::DoNotOptimize(pelmora::tokenize(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}
BENCHMARK(BM_Tokenize)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The reference: bench/cpython_discover.py, run once; its MB/s as a counter.
void BM_CPythonAstParse(benchmark::State& state) {
  const std::string cmd = std::string("PYENV_VERSION=3.13.0 python3.13 ") + PELMORA_SOURCE_DIR +
                          "/bench/cpython_discover.py " +
                          pelmora::testing::cpython_stdlib().value_or("/nonexistent") + " 1 2>/dev/null";
  double mb_per_s = 0;
  double seconds = 0;
  for (auto _ : state) {
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) break;
    unsigned long long bytes = 0;
    if (std::fscanf(pipe, "%llu %lf %lf", &bytes, &seconds, &mb_per_s) != 3) mb_per_s = 0;
    ::pclose(pipe);
  }
  if (mb_per_s == 0) {
    state.SkipWithError("CPython 3.13 (PYENV_VERSION=3.13.0 python3.13) not found");
    return;
  }
  state.counters["cpython_MB_per_s"] = mb_per_s;
  state.counters["cpython_seconds"] = seconds;
}
BENCHMARK(BM_CPythonAstParse)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
