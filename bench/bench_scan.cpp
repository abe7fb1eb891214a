// One full scan of the live process table, as the watch loop runs it every tick.
// Compare with bench/psutil_scan.py, which does the same scan with psutil.
#include <benchmark/benchmark.h>

#include "agent/platform/process_table.h"
#include "agent/scanner/process_scanner.h"

namespace {

void BM_Scan(benchmark::State& state) {
  auto table = pelmora::make_linux_process_table();
  pelmora::ProcessScanner scanner(85.0, 85.0, *table);
  table->prime();
  std::size_t processes = 0;
  table->for_each_process([&](pelmora::ProcessHandle&) { ++processes; });
  for (auto _ : state) {
    auto heavy = scanner.scan();
    benchmark::DoNotOptimize(heavy);
  }
  state.counters["processes"] = static_cast<double>(processes);
  // Seconds of CPU per listed process (printed with an SI prefix, such as 5.2u).
  state.counters["per_process"] =
      benchmark::Counter(static_cast<double>(processes),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
