#pragma once
// The job service's HTTP/1.1 server, on libmicrohttpd: a few threads, each an epoll loop
// over many connections, so idle and slow clients cost a socket and a small buffer each,
// never a thread. Bounded per connection: the request line and headers (together at most
// `max_header_bytes`, else 431 or 414 from the library), the body (`max_body`: 413 as soon
// as a Content-Length announces more or the body received passes it, chunked or not), and
// idle time. A POST without Content-Length nor chunks has an empty body. The path and the
// query are percent-decoded once; a path or query value that would decode to a NUL byte
// becomes "//", which names no route and no relative path. A handler may answer later
// (Response::later): the connection is then set aside, holding no thread, until its answer
// is due.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/platform/fd.h"

namespace pelmora::service {

using HttpFields = std::vector<std::pair<std::string, std::string>>;

// One complete request, as the handler sees it.
struct Request {
  std::string method;
  std::string path;   // percent-decoded, without the query
  HttpFields headers;  // as received
  HttpFields query;    // decoded; a name without "=" has the empty value
  std::string body;

  // The first header named `name` (ASCII case-insensitive), if any.
  std::optional<std::string> header(std::string_view name) const;
  // The first query parameter named `name`, if any.
  std::optional<std::string> param(std::string_view name) const;
};

struct Response;

// The answer to a request, given later (a long poll). The server sets the connection aside,
// so that no thread waits with it, then calls `arm` once, on its own thread, with a function
// that ends the wait: that function is safe from any thread, at any time (also before `arm`
// returns), any number of times, and after the request is gone. The wait also ends at
// `deadline` and when the server stops. Then `answer` fills the response on one of the
// server's threads; exceptions it throws become a 500 answer.
struct LaterAnswer {
  std::chrono::steady_clock::time_point deadline;
  std::function<void(std::function<void()> wake)> arm;
  std::function<void(Response&)> answer;
};

struct Response {
  int status = 200;
  std::string body;
  // Instead of `body`, one of two streamed bodies (for HEAD, only their length goes out):
  // `file_length` bytes of the open regular file `file` from `file_offset`, sent from the
  // file by the kernel; or, of a length not known in advance (chunked), what `stream` gives:
  // each call fills at most `max` bytes of `buffer` and returns how many, 0 at the end only.
  // A stream that throws ends the answer cut short. Called on a server thread after the
  // handler returned: it must own what it reads.
  std::shared_ptr<Fd> file;
  std::uint64_t file_offset = 0;
  std::uint64_t file_length = 0;
  std::function<std::size_t(char* buffer, std::size_t max)> stream;
  std::string content_type = "application/json";
  HttpFields headers;
  // Who asked, for the request log line: the key's name, "-" when none was accepted.
  std::string log_key = "-";
  // Set by a handler that answers later; the rest of this response is then not sent.
  std::shared_ptr<LaterAnswer> later;
};

struct HttpServerOptions {
  std::size_t max_body = 10 * 1024 * 1024;
  // Memory of one connection for the request line, the headers and the read buffer.
  std::size_t max_header_bytes = 64 * 1024;
  unsigned max_connections = 4096;  // lowered to what the open-files limit allows
  unsigned idle_timeout_seconds = 30;  // a connection that sends nothing for this long ends
  unsigned threads = 4;
};

// A one-line description of an error answer, as JSON: {"error": MESSAGE}.
std::string error_body(const std::string& message);

class HttpServer {
 public:
  // Called on one of the server's threads for every complete request that was not refused
  // for its size; several at once. Exceptions it throws become a 500 answer.
  using Handler = std::function<void(const Request&, Response&)>;

  HttpServer(HttpServerOptions options, Handler handler);
  ~HttpServer();  // stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds `host` (a numeric IPv4 or IPv6 address) and `port` (0: a free one) and returns
  // the port. Connections wait in the kernel's queue until start().
  // Throws std::runtime_error with a one-line message.
  int bind(const std::string& host, int port);

  // Serves on threads of its own. Requires bind(). Throws std::runtime_error.
  void start();

  // Stops serving and closes the socket; requests under way end, and those that wait for a
  // later answer get it at once. Safe more than once.
  void stop();

  // How many requests wait for a later answer now.
  std::size_t waiting() const;

 private:
  struct Daemon;
  HttpServerOptions _options;
  Handler _handler;
  int _listen_fd = -1;
  std::unique_ptr<Daemon> _daemon;
};

}  // namespace pelmora::service
