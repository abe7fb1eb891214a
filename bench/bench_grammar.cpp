// Throughput of the validity check plus import discovery on a real library: every .py file
// under PELMORA_BENCH_PYTHON_DIR (default: CPython 3.13's standard library), read the way
// module files are read. Compare with bench/cpython_grammar.py (ast.parse plus the import
// walk on the same files) in the same run.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "python/grammar.h"
#include "python/source.h"
#include "python/tokenizer.h"
#include "tests/python/python_oracle.h"

namespace {

const std::vector<std::string>& library_texts() {
  static const std::vector<std::string> texts = [] {
    const char* env = std::getenv("PELMORA_BENCH_PYTHON_DIR");
    if (env == nullptr && !pelmora::testing::cpython_stdlib()) return std::vector<std::string>{};
    const std::string root = env != nullptr ? env : *pelmora::testing::cpython_stdlib();
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      const auto& path = it->path();
      if (path.string().find("site-packages") != std::string::npos) continue;
      if (it->is_regular_file(ec) && path.extension() == ".py") {
        out.push_back(pelmora::normalize_newlines(
            pelmora::decode_utf8_replace(pelmora::read_file_bytes(path.string()))));
      }
    }
    return out;
  }();
  return texts;
}

int64_t total_bytes(const std::vector<std::string>& texts) {
  int64_t n = 0;
  for (const auto& t : texts) n += static_cast<int64_t>(t.size());
  return n;
}

// Tokenizing, the grammar verdict and the import names of every file: check_source.
void BM_ValidityAndImports(benchmark::State& state) {
  const auto& texts = library_texts();
  if (texts.empty()) {
    state.SkipWithError("no Python files (set PELMORA_BENCH_PYTHON_DIR, or install CPython 3.13)");
    return;
  }
  size_t valid = 0;
  for (auto _ : state) {
    for (const auto& text : texts) {
      auto check = pelmora::check_source(text);
      valid += check.valid ? 1 : 0;
      benchmark::DoNotOptimize(check);
    }
  }
  state.SetBytesProcessed(total_bytes(texts) * state.iterations());
  state.counters["files"] = static_cast<double>(texts.size());
  benchmark::DoNotOptimize(valid);
}
BENCHMARK(BM_ValidityAndImports)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The grammar recognizer alone (the layer below check_source) on already tokenized files.
void BM_GrammarOnly(benchmark::State& state) {
  const auto& texts = library_texts();
  std::vector<pelmora::TokenStream> streams;
  for (const auto& t : texts) streams.push_back(pelmora::tokenize(t));
  size_t valid = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < texts.size(); ++i) {
      valid += pelmora::check_python_syntax(texts[i], streams[i]).valid ? 1 : 0;
    }
  }
  state.SetBytesProcessed(total_bytes(texts) * state.iterations());
  benchmark::DoNotOptimize(valid);
}
BENCHMARK(BM_GrammarOnly)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// The tokenizer alone.
void BM_TokenizeOnly(benchmark::State& state) {
  const auto& texts = library_texts();
  for (auto _ : state) {
    for (const auto& text : texts) {
      auto stream = pelmora::tokenize(text);
      benchmark::DoNotOptimize(stream);
    }
  }
  state.SetBytesProcessed(total_bytes(texts) * state.iterations());
}
BENCHMARK(BM_TokenizeOnly)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
