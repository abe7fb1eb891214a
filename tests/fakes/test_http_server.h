#pragma once
// A scripted HTTP server on 127.0.0.1 for tests: it runs in a thread of the test process,
// answers from a queue of scripted replies (then from a fallback), and records every request.
//
//   TestHttpServer server;
//   server.reply(200, R"({"job_id":"j1"})");
//   ... point the code under test at server.url() ...
//   EXPECT_EQ(server.requests().at(0).path, "/v1/jobs/submit/code");
//
// Handlers run on the server's worker threads; the recording is guarded, so a test reads it
// from its own thread. A handler made by hang() blocks until the server is destroyed.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <httplib.h>

namespace pelmora::testing {

struct RecordedRequest {
  std::string method;
  std::string path;    // decoded by the server
  std::string target;  // the request target as sent, query included, nothing decoded
  std::string body;
  httplib::Headers headers;
  httplib::Params params;  // decoded query parameters

  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  bool has_header(const std::string& name) const { return headers.count(name) != 0; }
};

class TestHttpServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  TestHttpServer() : TestHttpServer(std::make_unique<httplib::Server>(), "http") {}

  // For a server made elsewhere, such as an httplib::SSLServer (scheme "https").
  TestHttpServer(std::unique_ptr<httplib::Server> server, std::string scheme)
      : server_(std::move(server)), scheme_(std::move(scheme)) {
    if (!server_->is_valid()) throw std::runtime_error("test server could not be set up");
    // Every method on every path (a pre-routing handler would run before the body is read).
    // ".*" would not match a decoded path holding a line break.
    static constexpr const char* kAnyPath = "[\\s\\S]*";
    auto serve = [this](const httplib::Request& req, httplib::Response& res) { _serve(req, res); };
    server_->Get(kAnyPath, serve);
    server_->Post(kAnyPath, serve);
    server_->Put(kAnyPath, serve);
    server_->Patch(kAnyPath, serve);
    server_->Delete(kAnyPath, serve);
    server_->Options(kAnyPath, serve);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test server could not bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() does nothing to a server whose accept loop has not begun yet.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  ~TestHttpServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    released_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  int port() const { return port_; }
  std::string url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }

  // Queues one reply; replies are used in the order queued, one per request.
  void reply(int status, std::string body = "", httplib::Headers headers = {}) {
    reply([status, body = std::move(body), headers = std::move(headers)](
              const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.body = body;
      for (const auto& [name, value] : headers) res.set_header(name, value);
      if (!res.has_header("Content-Type")) res.set_header("Content-Type", "application/json");
    });
  }
  void reply(Handler handler) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(handler));
  }

  // What answers once the queue is empty (by default 599 "unscripted").
  void fallback(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
  }

  // A handler that never answers (until the server is destroyed).
  Handler hang() {
    return [this](const httplib::Request&, httplib::Response& res) {
      std::unique_lock lock(mutex_);
      released_.wait(lock, [this] { return stopping_; });
      res.status = 599;
    };
  }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  size_t request_count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }

 private:
  void _serve(const httplib::Request& req, httplib::Response& res) {
    Handler handler;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({req.method, req.path, req.target, req.body, req.headers, req.params});
      if (!script_.empty()) {
        handler = std::move(script_.front());
        script_.pop_front();
      } else {
        handler = fallback_;
      }
    }
    if (handler) {
      handler(req, res);
    } else {
      res.status = 599;
      res.set_content("unscripted", "text/plain");
    }
  }

  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool stopping_ = false;
  std::deque<Handler> script_;
  Handler fallback_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace pelmora::testing
