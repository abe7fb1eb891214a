#pragma once
// One HTTP exchange over libcurl: the small request function that every client operation
// (and the pelmora commands that talk to a job service) goes through.
//
// Every request stands alone on its own easy handle with: CURLOPT_NOSIGNAL, a total
// time-out over resolving, connecting, TLS and transfer, no redirects (a 3xx comes back as
// a status), and only the http and https protocols. Proxies from the environment apply as
// libcurl reads them. libcurl itself is loaded on the first request (curl_library.h).

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelmora {

// No answer came back: no connection, a time-out, a TLS failure, a URL that cannot be sent.
// what() is libcurl's own text (its error buffer, else curl_easy_strerror); `curl_code` is
// the CURLcode. Never carries request headers, so never an API key.
class TransportError : public std::runtime_error {
 public:
  TransportError(int curl_code_, const std::string& message)
      : std::runtime_error(message), curl_code(curl_code_) {}
  int curl_code;
};

// Whether `error` says the connection could not be made or broke before the answer came
// (refused, reset, closed): what a service that restarts causes, as opposed to a time-out, a
// TLS failure or a bad URL.
bool is_connection_lost(const TransportError& error);

// The default cap on an answer's body, and the fixed cap on its headers together.
inline constexpr std::size_t kDefaultMaxAnswerBytes = 64 * 1024 * 1024;
inline constexpr std::size_t kMaxAnswerHeaderBytes = 1024 * 1024;

struct HttpRequest {
  std::string method = "GET";  // "GET", "POST", "DELETE", ...
  std::string url;             // sent as given; query already encoded
  // Extra headers, sent in this order ("Authorization", "Content-Type", ...).
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::string> body;  // sent as the request body when present
  double timeout_seconds = 60.0;    // total cap; at least 1 ms
  // A longer answer body ends the exchange with a TransportError.
  std::size_t max_answer_bytes = kDefaultMaxAnswerBytes;
  // A CA bundle to verify the server against instead of the system's.
  std::optional<std::string> ca_file;
  // Called on the calling thread while the exchange is under way: at least once a second,
  // and more often while data moves. For work that must not wait for the answer (a stop
  // line owed to the terminal). Exceptions it throws are swallowed.
  std::function<void()> while_waiting;
  // When set, the body of a 200 or 206 answer goes here piece by piece instead of into the
  // response (max_answer_bytes does not apply to it), with the answer's status and headers;
  // other answers are kept as usual. Returning false ends the exchange with a
  // TransportError. Exceptions must not escape.
  std::function<bool(const struct HttpResponse& head, std::string_view data)> body_sink;
  // When set, the exchange fails once no byte came for this many seconds, and
  // timeout_seconds caps only the connection (for downloads of any size).
  std::optional<double> stall_seconds;
};

struct HttpResponse {
  long status = 0;  // the HTTP status code
  std::string body;
  // Response headers as received, names in their sent case (last response only).
  std::vector<std::pair<std::string, std::string>> headers;

  // The value of the first header named `name` (ASCII case-insensitive), if any.
  std::optional<std::string> header(std::string_view name) const;
};

// Sends `request` and waits for the whole answer. Any status, 4xx and 5xx included, is a
// response. Throws TransportError when no complete answer arrived, or when it is larger than
// the request's caps.
// Thread-safe (each call has its own handle).
HttpResponse http_request(const HttpRequest& request);

// `text` with every byte outside A-Z a-z 0-9 - . _ ~ written as %XX (upper-case hex), as
// curl_easy_escape does; for query values.
std::string percent_encode(std::string_view text);

// `text` as one path segment: percent_encode, except that "." and ".." become "%2E" and
// "%2E%2E" so the segment can never climb or stay in place. Text made of A-Z a-z 0-9 - . _ ~
// (other than those two) comes back unchanged.
std::string encode_path_segment(std::string_view text);

}  // namespace pelmora
