#include "agent/client/local_service.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "agent/platform/json_text.h"
#include "agent/client/job_client.h"
#include "agent/platform/errors.h"
#include "agent/platform/files.h"
#include "agent/platform/subprocess.h"

namespace pelmora {
namespace {

// The key a service of this data directory accepts: from local_key.json, the one named
// "default", else the first. Throws when the file cannot be read or holds no key.
std::string _service_key(const std::string& path) {
  const auto document = parse_json(read_file_bytes(path));
  const auto& keys = document.at("keys").get_ref<const nlohmann::json::array_t&>();
  for (const auto& entry : keys) {
    auto name = entry.find("name");  // end() for an entry that is not an object
    if (name != entry.end() && *name == "default") return entry.at("key").get<std::string>();
  }
  return keys.at(0).at("key").get<std::string>();
}

std::string default_url() { return "http://127.0.0.1:" + std::to_string(kDefaultServicePort); }

// Starts `argv` in a session of its own, detached from this process: standard input
// /dev/null, standard output and error appended to `log_path`.
void spawn_detached(const std::vector<std::string>& argv, const std::string& log_path) {
  SpawnOptions run;
  run.argv = argv;
  run.cwd = "/";  // keeps no caller's directory busy
  run.group = ProcessGroup::new_session;
  run.detach = true;
  run.output = ChildOutput::file;
  run.output_file = log_path;
  try {
    spawn(run);
  } catch (const SpawnError& e) {
    if (e.stage == SpawnStage::prepare) throw;
    throw std::runtime_error(std::string("cannot start the local job service: ") +
                             (e.stage == SpawnStage::fork ? errno_text(e.error_code) : e.what()));
  }
}

std::string self_binary() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) throw std::runtime_error("cannot find the pelmora program to start the service");
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::optional<LocalService> read_local_service(const std::string& data_dir) {
  try {
    const std::string key = _service_key(local_key_file(data_dir));
    std::string url = default_url();
    try {
      auto info = parse_json(read_file_bytes(service_info_file(data_dir)));
      if (info.is_object() && info.contains("url") && info["url"].is_string()) {
        url = info["url"].get<std::string>();
      }
    } catch (const std::exception&) {
      // Never started, or the file is damaged: the default address.
    }
    return LocalService{url, key};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

namespace {

bool _answers_here(const std::string& url, const std::string& api_key, double timeout_seconds) {
  try {
    return JobClient({.api_url = url, .api_key = api_key, .transport = {}}).health(timeout_seconds);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool local_service_answers(const std::string& url, const std::string& api_key,
                           double timeout_seconds) {
  // The request is made by a short-lived child: libcurl is loaded on first use and would
  // otherwise stay in this process for good, several megabytes that a watch agent which
  // never offloads has no use for.
  const pid_t child = ::fork();
  if (child < 0) return _answers_here(url, api_key, timeout_seconds);
  if (child == 0) ::_exit(_answers_here(url, api_key, timeout_seconds) ? 0 : 1);
  // The child's request has its own time-out; the deadline here only guards against a
  // child that hangs for any other reason.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(timeout_seconds + 5.0);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LocalService ensure_local_service(const EnsureOptions& options) {
  std::string data_dir =
      absolute_path(options.data_dir.empty() ? default_data_dir() : options.data_dir);
  if (auto found = read_local_service(data_dir)) {
    if (local_service_answers(found->url, found->api_key)) return *found;
  }
  make_private_dirs(data_dir);
  std::string binary = options.pelmora_binary.empty() ? self_binary() : options.pelmora_binary;
  std::vector<std::string> argv = {binary, "serve", "--data-dir", data_dir, "--port",
                                   std::to_string(options.port)};
  if (!options.python.empty()) {
    argv.push_back("--python");
    argv.push_back(options.python);
  }
  std::string log_path = join_path(data_dir, "service.log");
  spawn_detached(argv, log_path);

  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(options.timeout_seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto found = read_local_service(data_dir)) {
      if (local_service_answers(found->url, found->api_key, 1.0)) return *found;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  throw std::runtime_error("the local job service did not start; see " + log_path);
}

}  // namespace pelmora
