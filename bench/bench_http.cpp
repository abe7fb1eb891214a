// Figures of the job service's HTTP layer under hostile clients, against a pelmora-service
// child process on loopback:
//   BM_HealthWithSlowClients  latency of a normal GET /v1/health (fresh connection, with a
//                             key) while 1,000 other connections are open and trickle one
//                             header byte each per second without ever ending their
//                             headers; p50 and max in milliseconds, and how many of the
//                             requests got no answer within 10 s.
//   BM_PeakRssChunkedFlood    the service's peak resident memory (VmHWM) after a submission
//                             that sends 200 MiB in chunks (no Content-Length).
//   BM_PeakRssHeaderFlood     the same after a request with a million header lines.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/client/local_service.h"

namespace {

using Clock = std::chrono::steady_clock;

// pelmora-service on a fresh data directory and a free port, its log thrown away.
struct ServiceProcess {
  ServiceProcess() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-bench-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    std::string data = dir + "/data";
    pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(PELMORA_SERVICE_BINARY, PELMORA_SERVICE_BINARY, "serve", "--data-dir", data.c_str(),
            "--port", "0", nullptr);
      _exit(127);
    }
    for (int i = 0; i < 1000; ++i) {
      auto found = pelmora::read_local_service(data);
      if (found && found->url != "http://127.0.0.1:" + std::to_string(pelmora::kDefaultServicePort) &&
          pelmora::local_service_answers(found->url, found->api_key, 1.0)) {
        key = found->api_key;
        port = std::stoi(found->url.substr(found->url.rfind(':') + 1));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ServiceProcess() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
  }
  // Peak resident memory in MiB.
  double peak_rss_mib() const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
  }
  std::string dir;
  pid_t pid = -1;
  int port = 0;
  std::string key;
};

int connect_to(int port, bool nonblocking) {
  int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

// Sends all of `data` (waiting up to `deadline`); false when the peer stopped taking it.
bool send_all(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() > deadline) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 100);
  }
  return true;
}

// Reads until the answer's status line has arrived or `deadline`; returns what came.
std::string read_answer(int fd, Clock::time_point deadline) {
  std::string got;
  char buffer[4096];
  while (got.find("\r\n") == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

void BM_HealthWithSlowClients(benchmark::State& state) {
  ServiceProcess service;
  const int slow_count = 1000;
  std::vector<int> slow;
  for (int i = 0; i < slow_count; ++i) slow.push_back(connect_to(service.port, true));
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    const std::string head = "GET /v1/health HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    std::size_t sent = 0;
    while (!done) {
      char byte = sent < head.size() ? head[sent] : 'a';
      for (int fd : slow) send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ++sent;
      for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(2));  // every slow connection in place
  const std::string request = "GET /v1/health HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                              service.key + "\r\nConnection: close\r\n\r\n";
  std::vector<double> ms;
  int unanswered = 0;
  for (auto _ : state) {
    for (int i = 0; i < 20; ++i) {
      auto start = Clock::now();
      auto deadline = start + std::chrono::seconds(10);
      int fd = connect_to(service.port, true);
      std::string answer;
      if (send_all(fd, request.data(), request.size(), deadline)) answer = read_answer(fd, deadline);
      close(fd);
      if (answer.rfind("HTTP/1.1 200", 0) == 0) {
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      } else {
        ++unanswered;
      }
    }
  }
  done = true;
  trickler.join();
  for (int fd : slow) close(fd);
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms.empty() ? -1 : ms[ms.size() / 2];
  state.counters["max_ms"] = ms.empty() ? -1 : ms.back();
  state.counters["unanswered"] = unanswered;
}
BENCHMARK(BM_HealthWithSlowClients)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeakRssChunkedFlood(benchmark::State& state) {
  ServiceProcess service;
  double before = service.peak_rss_mib();
  std::string answer;
  for (auto _ : state) {
    int fd = connect_to(service.port, false);
    auto deadline = Clock::now() + std::chrono::seconds(60);
    std::string head = "POST /v1/jobs/submit/code HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                       service.key + "\r\nContent-Type: application/json\r\n"
                       "Transfer-Encoding: chunked\r\n\r\n";
    send_all(fd, head.data(), head.size(), deadline);
    std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
    for (int i = 0; i < 200 * 16; ++i) {
      if (!send_all(fd, chunk.data(), chunk.size(), deadline)) break;
    }
    send_all(fd, "0\r\n\r\n", 5, deadline);
    answer = read_answer(fd, deadline);
    close(fd);
  }
  state.counters["rss_before_mib"] = before;
  state.counters["peak_rss_mib"] = service.peak_rss_mib();
  state.SetLabel(answer.substr(0, answer.find("\r\n")));
}
BENCHMARK(BM_PeakRssChunkedFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeakRssHeaderFlood(benchmark::State& state) {
  ServiceProcess service;
  double before = service.peak_rss_mib();
  std::string answer;
  for (auto _ : state) {
    int fd = connect_to(service.port, false);
    auto deadline = Clock::now() + std::chrono::seconds(60);
    std::string head = "GET /v1/health HTTP/1.1\r\nHost: x\r\n";
    send_all(fd, head.data(), head.size(), deadline);
    std::string block;
    for (int i = 0; i < 1000; ++i) block += "X-Flood: " + std::to_string(i) + "\r\n";
    for (int i = 0; i < 1000; ++i) {
      if (!send_all(fd, block.data(), block.size(), deadline)) break;
    }
    send_all(fd, "\r\n", 2, deadline);
    answer = read_answer(fd, deadline);
    close(fd);
  }
  state.counters["rss_before_mib"] = before;
  state.counters["peak_rss_mib"] = service.peak_rss_mib();
  state.SetLabel(answer.substr(0, answer.find("\r\n")));
}
BENCHMARK(BM_PeakRssHeaderFlood)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
