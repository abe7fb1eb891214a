// Fuzz target: what a client sends over a connection to the job service (request line,
// query, headers, framing, body), through the HTTP server into the API, on a service
// started once per process on a fresh data directory, with a runner that starts nothing.
// The text "KEY" in the input stands for a valid API key, so that authenticated paths are
// reached too.
// Checks: the service survives; an answer starts with a status line; the key is never in it.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "agent/platform/data_dir.h"
#include "service/keys.h"
#include "service/server.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// A runner whose jobs never start: the fuzzer exercises the requests, not the jobs.
class IdleRunner : public pelmora::service::JobRunner {
 public:
  std::string name() const override { return "local"; }
  void launch(const pelmora::service::LaunchSpec&) override {}
  void cancel(const std::string&) override {}
  void stop_all() override {}
};

struct Target {
  Target() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-fuzz-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    pelmora::service::ServiceOptions options;
    options.data_dir = dir + "/data";
    options.port = 0;
    options.max_jobs = 1000000;
    options.limits.max_body = 64 * 1024;
    options.make_runner = [](pelmora::service::RunnerEvents&) {
      return std::make_unique<IdleRunner>();
    };
    service = std::make_unique<pelmora::service::JobService>(options);
    port = service->bind();
    key = pelmora::service::add_key(pelmora::keys_file(options.data_dir), "fuzz", {});
  }
  std::string dir;
  std::unique_ptr<pelmora::service::JobService> service;  // serves until the process ends
  int port = 0;
  std::string key;
};

Target& target() {
  static Target* t = [] {
    auto* made = new Target;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(target().dir, ec);
    });
    return made;
  }();
  return *t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Target& t = target();
  std::string request(reinterpret_cast<const char*>(data), size);
  for (auto at = request.find("KEY"); at != std::string::npos; at = request.find("KEY", at + t.key.size())) {
    request.replace(at, 3, t.key);
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(fd >= 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(t.port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  // The server keeps a half-closed connection until its idle time-out: read until the
  // answers stop coming (a short silence after some, a longer one before any).
  for (int waited = 0; waited < (answer.empty() ? 15 : 3);) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) == 0) {
      ++waited;
      continue;
    }
    waited = 0;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  check(answer.empty() || answer.starts_with("HTTP/1."));
  check(answer.find(t.key) == std::string::npos);
  return 0;
}
