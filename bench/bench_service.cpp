// Figures of the local job service on loopback:
//   BM_SubmitLatency   1,000 submissions through the real client (submit_code), one at a
//                      time; p50/p99 in milliseconds. Jobs run /bin/true so that the
//                      interpreter's start does not load the machine during the measure.
//   BM_LogThroughput   a job printing 1,000,000 lines (unbuffered, one write per line, and
//                      in blocks of 10,000 lines); lines per second from submission to
//                      "completed", then every line read back through the output pages.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "agent/client/client.h"
#include "agent/client/local_service.h"
#include "service/server.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Service {
  explicit Service(const std::string& python, int max_jobs) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-bench-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    pelmora::service::ServiceOptions options;
    options.data_dir = dir + "/data";
    options.port = 0;
    options.python = python;
    options.max_jobs = max_jobs;
    service = std::make_unique<pelmora::service::JobService>(options);
    service->bind();
    thread = std::thread([this] { service->run(); });
    key = pelmora::read_local_service(options.data_dir)->api_key;
    while (!pelmora::local_service_answers(service->url(), key, 1.0)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Service() {
    service->stop();
    thread.join();
    service.reset();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  std::unique_ptr<pelmora::service::JobService> service;
  std::thread thread;
  std::string key;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

void BM_SubmitLatency(benchmark::State& state) {
  Service s("/bin/true", 2);
  pelmora::SubmitOptions options;
  options.api_key = s.key;
  options.api_url = s.service->url();
  std::vector<double> ms;
  for (auto _ : state) {
    ms.clear();
    for (int i = 0; i < 1000; ++i) {
      auto start = Clock::now();
      auto answer = pelmora::submit_code("print('hello')\n", options);
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      benchmark::DoNotOptimize(answer);
    }
  }
  state.counters["p50_ms"] = percentile(ms, 0.50);
  state.counters["p99_ms"] = percentile(ms, 0.99);
  state.counters["max_ms"] = percentile(ms, 1.0);
}
BENCHMARK(BM_SubmitLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

json get(httplib::Client& client, const std::string& path, const std::string& key) {
  auto res = client.Get(path.c_str(), {{"Authorization", "Bearer " + key}});
  if (!res || res->status != 200) throw std::runtime_error("request failed: " + path);
  return json::parse(res->body);
}

void BM_LogThroughput(benchmark::State& state) {
  const char* python = "/usr/bin/python3";
  if (access(python, X_OK) != 0) python = "python3";
  Service s(python, 2);
  bool blocks = state.range(0) == 1;
  std::string code = blocks
      ? "import sys\nfor b in range(100):\n"
        "    sys.stdout.write(''.join(f'line {i}\\n' for i in range(b * 10000, (b + 1) * 10000)))\n"
      : "import sys\nw = sys.stdout.write\nfor i in range(1000000):\n    w(f'line {i}\\n')\n";
  pelmora::SubmitOptions options;
  options.api_key = s.key;
  options.api_url = s.service->url();
  httplib::Client client(s.service->url());
  client.set_read_timeout(60, 0);
  double run_seconds = 0, read_seconds = 0;
  std::int64_t lines = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    std::string id = pelmora::submit_code(code, options)["job_id"];
    while (true) {
      json doc = get(client, "/v1/jobs/" + id, s.key);
      if (doc["status"] != "queued" && doc["status"] != "running") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    auto read_start = Clock::now();
    std::int64_t offset = 0;
    lines = 0;
    while (true) {
      json page = get(client, "/v1/jobs/" + id + "/output?offset=" + std::to_string(offset), s.key);
      lines += static_cast<std::int64_t>(page["entries"].size());
      offset = page["current_index"];
      if (!page.value("more", false)) break;
    }
    read_seconds = std::chrono::duration<double>(Clock::now() - read_start).count();
  }
  if (lines != 1000000) state.SkipWithError("not every line came back");
  state.counters["lines"] = static_cast<double>(lines);
  state.counters["run_lines_per_s"] = 1e6 / run_seconds;
  state.counters["read_lines_per_s"] = 1e6 / read_seconds;
}
BENCHMARK(BM_LogThroughput)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
