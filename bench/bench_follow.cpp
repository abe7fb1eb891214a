// Line lag of a follower: from the job's print to the line written by the follower
// (poll_job_at, as `pelmora logs --follow` runs it). Each line the job prints is the wall
// time at which it printed it; the follower's output stream takes the time again when the
// line arrives. Median and 99th percentile in milliseconds, in one run:
//   BM_LineLag/local/polling     the plain follower: a cycle every 2 s, no "wait"
//   BM_LineLag/local/long_poll   the long-polling follower (wait=30)
//   BM_LineLag/slurm/...         the same on a private single-node Slurm cluster (the test
//                                fixture, root only; skipped with the reason otherwise),
//                                with the Slurm runner's default intervals
// The job prints 40 lines at intervals of 0.1 to 0.3 s (a fixed pseudo-random sequence).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/client/client.h"
#include "agent/client/local_service.h"
#include "agent/platform/clock.h"
#include "service/server.h"
#include "tests/service/slurm_cluster.h"

namespace {

constexpr const char* kJob =
    "import random, time\n"
    "random.seed(7)\n"
    "for i in range(40):\n"
    "    time.sleep(random.uniform(0.1, 0.3))\n"
    "    print('%.6f' % time.time(), flush=True)\n";

// Takes each line's lag (now minus the time the line holds) as it is written.
class LagBuf : public std::streambuf {
 public:
  std::vector<double> lags_ms;

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return 0;
    if (c != '\n') {
      _line.push_back(static_cast<char>(c));
      return c;
    }
    const double now = pelmora::wall_clock_now();
    try {
      lags_ms.push_back((now - std::stod(_line)) * 1000.0);
    } catch (const std::exception&) {
      // Not a time: not counted.
    }
    _line.clear();
    return c;
  }

 private:
  std::string _line;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

void line_lag(benchmark::State& state, bool slurm, bool long_poll) {
  std::unique_ptr<pelmora::service::testing::SlurmCluster> cluster;
  if (slurm) {
    cluster = std::make_unique<pelmora::service::testing::SlurmCluster>();
    if (!cluster->why_not().empty()) {
      state.SkipWithError(cluster->why_not().c_str());
      return;
    }
  }
  pelmora::service::testing::TempDir dir;
  pelmora::service::ServiceOptions options;
  options.data_dir = dir.path() + "/data";
  options.python = pelmora::service::testing::test_python();
  if (slurm) options.runner = "slurm";
  pelmora::service::testing::RunningService service(options);
  const pelmora::Endpoint endpoint{.api_url = service.url(), .api_key = service.key()};
  std::vector<double> lags;
  for (auto _ : state) {
    const std::string id = pelmora::service::testing::submit_raw(service.url(), service.key(), kJob);
    LagBuf buf;
    std::ostream out(&buf);
    const auto document = pelmora::poll_job_at(
        endpoint, id, {.out = &out, .long_poll = long_poll ? 30.0 : 0.0});
    benchmark::DoNotOptimize(document);
    lags.insert(lags.end(), buf.lags_ms.begin(), buf.lags_ms.end());
  }
  state.counters["median_ms"] = percentile(lags, 0.50);
  state.counters["p99_ms"] = percentile(lags, 0.99);
  state.counters["lines"] = static_cast<double>(lags.size());
}

void BM_LineLag_local_polling(benchmark::State& state) { line_lag(state, false, false); }
void BM_LineLag_local_long_poll(benchmark::State& state) { line_lag(state, false, true); }
void BM_LineLag_slurm_polling(benchmark::State& state) { line_lag(state, true, false); }
void BM_LineLag_slurm_long_poll(benchmark::State& state) { line_lag(state, true, true); }

BENCHMARK(BM_LineLag_local_polling)->Name("BM_LineLag/local/polling")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_LineLag_local_long_poll)->Name("BM_LineLag/local/long_poll")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_LineLag_slurm_polling)->Name("BM_LineLag/slurm/polling")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_LineLag_slurm_long_poll)->Name("BM_LineLag/slurm/long_poll")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
