#pragma once
// A job service running in-process on 127.0.0.1 (a free port) with a fresh data directory,
// for the service tests, plus small helpers to talk to it and to run `pelmora serve` as a
// child process.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "agent/platform/subprocess.h"
#include "service/keys.h"
#include "agent/client/local_service.h"
#include "service/local_runner.h"
#include "service/server.h"

namespace pelmora::service::testing {

// The interpreter for test jobs: Debian's when there is one (fast to start), else python3.
inline std::string test_python() {
  if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
  auto found = find_program("python3");
  return found ? *found : "";
}

// The port of a service URL "http://HOST:PORT".
inline int port_of(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelmora-svc-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class RunningService {
 public:
  explicit RunningService(ServiceOptions options) {
    options.host = "127.0.0.1";
    options.port = 0;
    if (options.python.empty() || options.python == "python3") options.python = test_python();
    service_ = std::make_unique<JobService>(options);
    service_->bind();
    thread_ = std::thread([this] { service_->run(); });
    key_ = read_local_service(service_->options().data_dir)->api_key;
    for (int i = 0; i < 200 && !local_service_answers(url(), key_, 1.0); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~RunningService() { stop(); }
  void stop() {
    if (!service_) return;
    service_->stop();
    thread_.join();
    service_.reset();
  }
  std::string url() const { return service_->url(); }
  const std::string& key() const { return key_; }
  const std::string& data_dir() const { return service_->options().data_dir; }
  JobService& service() { return *service_; }

 private:
  std::unique_ptr<JobService> service_;
  std::thread thread_;
  std::string key_;
};

// Raw requests, for what the client does not send.
inline httplib::Result raw_get(const std::string& url, const std::string& path,
                               const std::string& key) {
  httplib::Client client(url);
  client.set_read_timeout(20, 0);
  httplib::Headers headers;
  if (!key.empty()) headers.emplace("Authorization", "Bearer " + key);
  return client.Get(path.c_str(), headers);
}

inline httplib::Result raw_post(const std::string& url, const std::string& path,
                                const std::string& key, const std::string& body) {
  httplib::Client client(url);
  client.set_read_timeout(20, 0);
  httplib::Headers headers;
  if (!key.empty()) headers.emplace("Authorization", "Bearer " + key);
  return client.Post(path.c_str(), headers, body, "application/json");
}

inline nlohmann::json body_of(const httplib::Result& res) {
  return nlohmann::json::parse(res->body);
}

// Submits `code` with a raw request and returns the job id.
inline std::string submit_raw(const std::string& url, const std::string& key,
                              const std::string& code, bool fast = false,
                              nlohmann::json resources = nlohmann::json::object()) {
  nlohmann::json payload = {{"code", code}, {"file_path", nullptr}, {"resources", resources}, {"fast", fast}};
  auto res = raw_post(url, "/v1/jobs/submit/code", key, payload.dump());
  if (!res || res->status != 200) {
    ADD_FAILURE() << "submission failed: " << (res ? res->body : "no answer");
    return "";
  }
  return body_of(res)["job_id"].get<std::string>();
}

// Waits (at most `seconds`) until the job's status is terminal; returns its status document.
inline nlohmann::json wait_for_end(const std::string& url, const std::string& key,
                                   const std::string& id, double seconds = 30) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  nlohmann::json doc;
  while (std::chrono::steady_clock::now() < deadline) {
    auto res = raw_get(url, "/v1/jobs/" + id, key);
    if (res && res->status == 200) {
      doc = body_of(res);
      std::string status = doc["status"];
      if (status == "completed" || status == "failed" || status == "cancelled") return doc;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "job " << id << " did not end: " << doc.dump();
  return doc;
}

// Every output entry of a job, following pages.
inline std::vector<nlohmann::json> all_entries(const std::string& url, const std::string& key,
                                               const std::string& id, int* pages = nullptr) {
  std::vector<nlohmann::json> entries;
  std::int64_t offset = 0;
  int count = 0;
  while (true) {
    auto res = raw_get(url, "/v1/jobs/" + id + "/output?offset=" + std::to_string(offset), key);
    if (!res || res->status != 200) {
      ADD_FAILURE() << "output request failed";
      break;
    }
    auto doc = body_of(res);
    ++count;
    for (auto& e : doc["entries"]) entries.push_back(e);
    offset = doc["current_index"].get<std::int64_t>();
    if (!doc.value("more", false)) break;
  }
  if (pages != nullptr) *pages = count;
  return entries;
}

// `pelmora serve` on `data_dir`, any free port, as a child of this process; its log goes to
// `data_dir`.log. `path_first`, when given, goes ahead of PATH in its environment.
inline pid_t start_serve(const std::string& data_dir, const std::vector<std::string>& extra = {},
                         const std::string& path_first = "", int port = 0) {
  std::vector<std::string> args = {PELMORA_BINARY, "serve", "--data-dir", data_dir, "--port",
                                   std::to_string(port), "--python", test_python()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string log = data_dir + ".log";
  // Everything the child needs is made before fork.
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (!path_first.empty() && entry.rfind("PATH=", 0) == 0) entry = "PATH=" + path_first + ":" + entry.substr(5);
    env.push_back(std::move(entry));
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    FILE* f = std::freopen(log.c_str(), "a", stderr);
    FILE* g = std::freopen("/dev/null", "w", stdout);
    (void)f;
    (void)g;
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// The URL and key once the service started by `pid` answers.
inline LocalService await_service(const std::string& data_dir, pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    std::ifstream info(service_info_file(data_dir));
    nlohmann::json doc = nlohmann::json::parse(info, nullptr, false);
    if (doc.is_object() && doc.value("pid", 0L) == pid) {
      auto found = read_local_service(data_dir);
      if (found && local_service_answers(found->url, found->api_key, 1.0)) return *found;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the service did not answer";
  return {};
}

// Its exit status, or 128 + the signal that ended it.
inline int wait_exit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// How many processes have `marker` in their command line.
inline int count_processes(const std::string& marker) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(in)), {});
    if (cmdline.find(marker) != std::string::npos) ++count;
  }
  return count;
}

// Python code that starts a child, marked with `marker` in its command line, that sleeps
// for a minute.
inline std::string marked_child_code(const std::string& marker) {
  return "import subprocess, sys\nsubprocess.Popen([sys.executable, '-c', 'import time; "
         "time.sleep(60)', '" + marker + "'])\n";
}

// Whether any process of process group `pgid` is alive.
inline bool group_alive(long pgid) { return pgid > 0 && kill(-static_cast<pid_t>(pgid), 0) == 0; }

}  // namespace pelmora::service::testing
