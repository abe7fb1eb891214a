#include "service/http_server.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include "agent/platform/errors.h"
#include "agent/platform/terminal_text.h"
#include "service/log.h"

namespace pelmora::service {
namespace {

using Clock = std::chrono::steady_clock;

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::optional<std::string> find_field(const HttpFields& fields, std::string_view name,
                                      bool any_case) {
  for (const auto& [key, value] : fields) {
    if (any_case ? same_name(key, name) : key == name) return value;
  }
  return std::nullopt;
}

// A request set aside (its connection suspended) until its later answer is due.
struct Parked {
  MHD_Connection* connection = nullptr;
  std::shared_ptr<LaterAnswer> later;
  std::mutex mutex;
  bool resumed = false;  // the connection went back to the library: never touched again

  // Hands the connection back to the library, which then calls the handler again. Only the
  // first call does anything.
  void wake() {
    std::lock_guard lock(mutex);
    if (resumed) return;
    resumed = true;
    MHD_resume_connection(connection);
  }
};

// The state of one request on its connection, from its headers to its end.
struct Exchange {
  Clock::time_point started = Clock::now();
  std::string body;
  bool answered = false;  // a refusal went out before the body was read
  std::shared_ptr<Parked> parked;  // set while the answer waits, and after
  bool counted = false;            // parked, and counted in Daemon::parked_count until it ends
  std::string method, path;       // of a parked request, for its log line
};

// A Content-Length value: decimal digits only, absent when malformed or beyond 2^60.
std::optional<std::uint64_t> parse_length(const char* text) {
  std::uint64_t value = 0;
  if (*text == '\0') return std::nullopt;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > (std::uint64_t{1} << 56)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  return value;
}

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpFields*>(cls)->emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
  return MHD_YES;
}

void log_request(const std::string& method, const std::string& path, const Response& res,
                 Clock::time_point started) {
  auto ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  // What the client sent is escaped, so that it can neither forge a line nor reach a
  // terminal; the key never appears, only its name.
  service_logger()->info("{} {} {} {:.1f}ms key={}", escape_for_terminal(method),
                         escape_for_terminal(path), res.status, ms, res.log_key);
}

ssize_t read_stream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto& stream = *static_cast<std::function<std::size_t(char*, std::size_t)>*>(cls);
  try {
    std::size_t n = stream(buffer, max);
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
  } catch (const std::exception& e) {
    service_logger()->error("an answer was cut short: {}", e.what());
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
}

void free_stream(void* cls) {
  delete static_cast<std::function<std::size_t(char*, std::size_t)>*>(cls);
}

MHD_Response* make_response(const Response& res) {
  if (res.file && res.file->valid()) {
    // The library closes the descriptor it is given: a duplicate, so `res` keeps its own.
    int fd = fcntl(res.file->get(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    MHD_Response* response = MHD_create_response_from_fd_at_offset64(
        res.file_length, fd, res.file_offset);
    if (response == nullptr) close(fd);
    return response;
  }
  if (res.stream) {
    auto* stream = new std::function<std::size_t(char*, std::size_t)>(res.stream);
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 256 * 1024,
                                                               &read_stream, stream, &free_stream);
    if (response == nullptr) delete stream;
    return response;
  }
  return MHD_create_response_from_buffer(res.body.size(), const_cast<char*>(res.body.data()),
                                         MHD_RESPMEM_MUST_COPY);
}

// Percent-decoding, once, in place, as the library's own does it (a '%' without two hex
// digits stays as it is), except that a text that would hold a NUL byte becomes "//".
std::size_t unescape(void*, MHD_Connection*, char* text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  char* out = text;
  for (const char* in = text; *in != '\0'; ++out) {
    int high = in[0] == '%' ? hex(in[1]) : -1;
    int low = high >= 0 ? hex(in[2]) : -1;
    if (low >= 0) {
      if (high == 0 && low == 0) {
        std::memcpy(text, "//", 3);
        return 2;
      }
      *out = static_cast<char>(high * 16 + low);
      in += 3;
    } else {
      *out = *in++;
    }
  }
  *out = '\0';
  return static_cast<std::size_t>(out - text);
}

MHD_Result send(MHD_Connection* connection, const Response& res) {
  MHD_Response* response = make_response(res);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type.c_str());
  for (const auto& [name, value] : res.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(res.status), response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

std::optional<std::string> Request::header(std::string_view name) const {
  return find_field(headers, name, true);
}

std::optional<std::string> Request::param(std::string_view name) const {
  return find_field(query, name, false);
}

std::string error_body(const std::string& message) {
  return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

struct HttpServer::Daemon {
  explicit Daemon(HttpServer& owner_) : owner(owner_) {
    timer = std::thread([this] { run_timer(); });
  }
  ~Daemon() {
    release_parked();
    if (daemon != nullptr) MHD_stop_daemon(daemon);
  }

  // Ends every wait and waits (a little) until each parked request has had its answer sent:
  // the library must not stop with suspended connections. Then stops the timer.
  void release_parked() {
    std::vector<std::shared_ptr<Parked>> all;
    {
      std::lock_guard lock(park_mutex);
      if (stopping) return;
      stopping = true;
      for (auto& [deadline, weak] : deadlines) {
        if (auto parked = weak.lock()) all.push_back(std::move(parked));
      }
      deadlines.clear();
    }
    park_changed.notify_all();
    for (auto& parked : all) parked->wake();
    {
      std::unique_lock lock(park_mutex);
      park_changed.wait_for(lock, std::chrono::seconds(5), [this] { return parked_count == 0; });
    }
    if (timer.joinable()) timer.join();
  }

  // Ends the waits whose deadline has come.
  void run_timer() {
    std::unique_lock lock(park_mutex);
    while (!stopping) {
      if (deadlines.empty()) {
        park_changed.wait(lock);
        continue;
      }
      auto first = deadlines.begin();
      if (first->first > Clock::now()) {
        // A copy: the entry may be erased while this waits.
        const auto until = first->first;
        park_changed.wait_until(lock, until);
        continue;
      }
      auto parked = first->second.lock();
      deadlines.erase(first);
      lock.unlock();
      if (parked) parked->wake();
      lock.lock();
    }
  }

  // Sets the request of `exchange` aside until `later` is due. False when the server stops:
  // the answer is then due at once.
  bool park(MHD_Connection* connection, Exchange& exchange, const Request& req,
            std::shared_ptr<LaterAnswer> later) {
    auto parked = std::make_shared<Parked>();
    parked->connection = connection;
    parked->later = later;
    {
      // Suspended before the timer can see it, since only a suspended connection may be
      // resumed.
      std::lock_guard lock(park_mutex);
      if (stopping) return false;
      MHD_suspend_connection(connection);
      ++parked_count;
      deadlines.emplace(later->deadline, parked);
    }
    park_changed.notify_all();
    exchange.parked = parked;
    exchange.counted = true;
    exchange.method = req.method;
    exchange.path = req.path;
    std::weak_ptr<Parked> weak = parked;
    try {
      later->arm([weak] {
        if (auto p = weak.lock()) p->wake();
      });
    } catch (const std::exception& e) {
      service_logger()->error("{} {}: {}", escape_for_terminal(req.method),
                              escape_for_terminal(req.path), e.what());
      parked->wake();
    }
    return true;
  }

  void uncount(Exchange& exchange) {
    if (!exchange.counted) return;
    exchange.counted = false;
    {
      std::lock_guard lock(park_mutex);
      --parked_count;
    }
    park_changed.notify_all();
  }

  // The parked request of `exchange` is back: its later answer goes out.
  MHD_Result answer_parked(MHD_Connection* connection, Exchange& exchange) {
    Response res;
    try {
      exchange.parked->later->answer(res);
    } catch (const std::exception& e) {
      service_logger()->error("{} {}: {}", escape_for_terminal(exchange.method),
                              escape_for_terminal(exchange.path), e.what());
      res = Response{.status = 500, .body = error_body(std::string("internal error: ") + e.what())};
    }
    log_request(exchange.method, exchange.path, res, exchange.started);
    return send(connection, res);
  }

  static MHD_Result on_request(void* cls, MHD_Connection* connection, const char* url,
                               const char* method, const char*, const char* upload_data,
                               std::size_t* upload_data_size, void** context) {
    auto& self = *static_cast<Daemon*>(cls);
    const auto& options = self.owner._options;
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) {
      // The headers are in: refuse a body announced too big before reading any of it.
      exchange = new Exchange;
      *context = exchange;
      const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                        MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (length != nullptr) {
        auto value = parse_length(length);
        if (!value || *value > options.max_body) return self.refuse(connection, *exchange, method, url);
      }
      return MHD_YES;
    }
    if (exchange->answered) {
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (exchange->parked) return self.answer_parked(connection, *exchange);
    if (*upload_data_size > 0) {
      if (*upload_data_size > options.max_body - exchange->body.size()) {
        *upload_data_size = 0;
        return self.refuse_mid_body(connection, *exchange, method, url);
      }
      exchange->body.append(upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    Request req;
    req.method = method;
    req.path = url;
    req.body = std::move(exchange->body);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collect, &req.headers);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collect, &req.query);
    Response res;
    try {
      self.owner._handler(req, res);
    } catch (const std::exception& e) {
      service_logger()->error("{} {}: {}", escape_for_terminal(req.method),
                              escape_for_terminal(req.path), e.what());
      res = Response{.status = 500, .body = error_body(std::string("internal error: ") + e.what())};
    }
    if (res.later) {
      auto later = std::move(res.later);
      if (self.park(connection, *exchange, req, later)) return MHD_YES;
      // The server stops: the answer is due now.
      try {
        res = Response{};
        later->answer(res);
      } catch (const std::exception& e) {
        res = Response{.status = 500, .body = error_body(std::string("internal error: ") + e.what())};
      }
    }
    log_request(req.method, req.path, res, exchange->started);
    return send(connection, res);
  }

  Response too_large() const {
    return Response{.status = 413,
                    .body = error_body("request body too large (at most " +
                                       std::to_string(owner._options.max_body) + " bytes)")};
  }

  MHD_Result refuse(MHD_Connection* connection, Exchange& exchange, const char* method,
                    const char* url) {
    exchange.answered = true;
    Response res = too_large();
    res.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
    log_request(method, url, res, exchange.started);
    return send(connection, res);
  }

  // The same refusal once part of the body has been read. The library takes an answer only
  // before the body or after all of it, so this one is written to the socket here, and the
  // connection ends with it.
  MHD_Result refuse_mid_body(MHD_Connection* connection, Exchange& exchange, const char* method,
                             const char* url) {
    exchange.answered = true;
    Response res = too_large();
    log_request(method, url, res, exchange.started);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
      std::string answer = "HTTP/1.1 413 Content Too Large\r\nConnection: close\r\n"
                           "Content-Type: " + res.content_type + "\r\nContent-Length: " +
                           std::to_string(res.body.size()) + "\r\n\r\n" + res.body;
      // Nothing else was written on this connection yet: the socket's buffer takes it whole.
      [[maybe_unused]] ssize_t sent =
          ::send(info->connect_fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      shutdown(info->connect_fd, SHUT_WR);
    }
    return MHD_NO;
  }

  static void on_completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange != nullptr) static_cast<Daemon*>(cls)->uncount(*exchange);
    delete exchange;
    *context = nullptr;
  }

  HttpServer& owner;
  MHD_Daemon* daemon = nullptr;
  // Parked requests: their count, their deadlines, and the timer that ends them.
  mutable std::mutex park_mutex;
  std::condition_variable park_changed;
  std::multimap<Clock::time_point, std::weak_ptr<Parked>> deadlines;
  std::size_t parked_count = 0;
  bool stopping = false;
  std::thread timer;
};

HttpServer::HttpServer(HttpServerOptions options, Handler handler)
    : _options(options), _handler(std::move(handler)) {}

HttpServer::~HttpServer() {
  stop();
  if (_listen_fd >= 0) close(_listen_fd);
}

int HttpServer::bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw std::runtime_error("cannot listen on " + host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
  if (fd < 0) throw std::runtime_error("cannot listen on " + host + ": " + errno_text(errno));
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
    int error = errno;
    close(fd);
    throw std::runtime_error("cannot listen on " + host + ":" + service + ": " + errno_text(error) +
                             (error == EADDRINUSE ? " (is the port in use?)" : ""));
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  _listen_fd = fd;
  return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void HttpServer::start() {
  if (_listen_fd < 0) throw std::runtime_error("the HTTP server is not bound");
  // Each connection holds a descriptor: take what the hard limit allows, and keep a margin
  // for the store, the jobs' pipes and the log.
  rlimit files{};
  unsigned limit = _options.max_connections;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t margin = 256;
    rlim_t usable = files.rlim_cur > 2 * margin ? files.rlim_cur - margin : files.rlim_cur / 2;
    limit = static_cast<unsigned>(std::min<rlim_t>(limit, usable));
  }
  auto daemon = std::make_unique<Daemon>(*this);
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&bound), &size);
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                   (bound.ss_family == AF_INET6 ? MHD_USE_IPv6 : 0);
  daemon->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Daemon::on_request, daemon.get(),
      MHD_OPTION_LISTEN_SOCKET, _listen_fd,
      MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, _options.threads),
      MHD_OPTION_CONNECTION_LIMIT, limit,
      MHD_OPTION_CONNECTION_TIMEOUT, _options.idle_timeout_seconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, _options.max_header_bytes,
      MHD_OPTION_NOTIFY_COMPLETED, &Daemon::on_completed, daemon.get(),
      MHD_OPTION_UNESCAPE_CALLBACK, &unescape, nullptr,
      MHD_OPTION_END);
  if (daemon->daemon == nullptr) throw std::runtime_error("cannot start the HTTP server");
  _listen_fd = -1;  // the daemon's now: it closes it when it stops
  _daemon = std::move(daemon);
}

void HttpServer::stop() {
  if (_daemon) _daemon->release_parked();
  _daemon.reset();
}

std::size_t HttpServer::waiting() const {
  if (!_daemon) return 0;
  std::lock_guard lock(_daemon->park_mutex);
  return _daemon->parked_count;
}

}  // namespace pelmora::service
