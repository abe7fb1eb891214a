#include "agent/client/http.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "agent/client/curl_library.h"

namespace pelmora {

namespace {

// Owns one easy handle, the header list set on it and its error buffer; move-only.
class CurlHandle {
 public:
  explicit CurlHandle(const CurlLibrary& lib)
      : lib_(&lib), handle_(lib.easy_init()), error_(std::make_unique<char[]>(CURL_ERROR_SIZE)) {
    if (handle_ == nullptr) throw TransportError(CURLE_FAILED_INIT, "Could not start libcurl");
    error_[0] = '\0';
    lib_->easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_.get());
  }
  CurlHandle(CurlHandle&& other) noexcept
      : lib_(other.lib_),
        handle_(std::exchange(other.handle_, nullptr)),
        headers_(std::exchange(other.headers_, nullptr)),
        error_(std::move(other.error_)) {}
  CurlHandle& operator=(CurlHandle&& other) noexcept {
    if (this != &other) {
      _release();
      lib_ = other.lib_;
      handle_ = std::exchange(other.handle_, nullptr);
      headers_ = std::exchange(other.headers_, nullptr);
      error_ = std::move(other.error_);
    }
    return *this;
  }
  CurlHandle(const CurlHandle&) = delete;
  CurlHandle& operator=(const CurlHandle&) = delete;
  ~CurlHandle() { _release(); }

  CURL* get() const { return handle_; }
  const CurlLibrary& lib() const { return *lib_; }

  // Adds "Name: value" to the header list (set on the handle by set_headers).
  void append_header(const std::string& line) {
    curl_slist* next = lib_->slist_append(headers_, line.c_str());
    if (next == nullptr) throw TransportError(CURLE_OUT_OF_MEMORY, "Out of memory");
    headers_ = next;
  }
  void set_headers() { lib_->easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_); }

  // The text for a failed transfer: the error buffer, else libcurl's text for the code.
  std::string error_text(CURLcode code) const {
    if (error_ && error_[0] != '\0') return std::string(error_.get());
    return lib_->easy_strerror(code);
  }

 private:
  void _release() {
    if (handle_ != nullptr) lib_->easy_cleanup(handle_);
    if (headers_ != nullptr) lib_->slist_free_all(headers_);
    handle_ = nullptr;
    headers_ = nullptr;
  }

  const CurlLibrary* lib_;
  CURL* handle_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::unique_ptr<char[]> error_;
};

// Where the answer goes, and how much of it may come.
struct AnswerSink {
  HttpResponse* response;
  std::size_t max_bytes;
  std::size_t header_bytes = 0;
  bool too_large = false;
  const std::function<bool(const HttpResponse&, std::string_view)>* body_sink = nullptr;
  const CurlHandle* curl = nullptr;
  bool sink_refused = false;
};

// Returning less than was given makes libcurl stop with CURLE_WRITE_ERROR.
size_t _append_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<AnswerSink*>(user);
  if (sink->body_sink != nullptr && *sink->body_sink) {
    long status = 0;
    sink->curl->lib().easy_getinfo(sink->curl->get(), CURLINFO_RESPONSE_CODE, &status);
    if (status == 200 || status == 206) {
      sink->response->status = status;
      if ((*sink->body_sink)(*sink->response, std::string_view(data, size * count))) return size * count;
      sink->sink_refused = true;
      return 0;
    }
  }
  if (size * count > sink->max_bytes - sink->response->body.size()) {
    sink->too_large = true;
    return 0;
  }
  sink->response->body.append(data, size * count);
  return size * count;
}

// Header lines of the last response; a status line starts a fresh list (1xx, proxies).
size_t _append_header(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<AnswerSink*>(user);
  auto* headers = &sink->response->headers;
  sink->header_bytes += size * count;
  if (sink->header_bytes > kMaxAnswerHeaderBytes) {
    sink->too_large = true;
    return 0;
  }
  std::string_view line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    headers->clear();
  } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    headers->emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return size * count;
}

int _progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  try {
    (*static_cast<const std::function<void()>*>(user))();
  } catch (...) {
    // Nothing may unwind through libcurl.
  }
  return 0;  // carry on
}

// Fails with a TransportError when a setopt was refused.
void _check(CURLcode code, const CurlHandle& curl) {
  if (code != CURLE_OK) throw TransportError(static_cast<int>(code), curl.error_text(code));
}

bool _unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

bool _iequals(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (_iequals(key, name)) return value;
  }
  return std::nullopt;
}

HttpResponse http_request(const HttpRequest& request) {
  const CurlLibrary& lib = curl_library();
  CurlHandle curl(lib);
  CURL* h = curl.get();
  HttpResponse response;

  // A total cap of at least one millisecond: 0 would mean "no time-out" to libcurl.
  double ms = std::ceil(request.timeout_seconds * 1000.0);
  if (!(ms >= 1.0)) ms = 1.0;
  if (ms > 1e11) ms = 1e11;
  const auto timeout_ms = static_cast<long>(ms);

  _check(lib.easy_setopt(h, CURLOPT_URL, request.url.c_str()), curl);
  _check(lib.easy_setopt(h, CURLOPT_NOSIGNAL, 1L), curl);
  if (request.stall_seconds) {
    const auto stall = static_cast<long>(std::max(1.0, std::ceil(*request.stall_seconds)));
    _check(lib.easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms), curl);
    _check(lib.easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L), curl);
    _check(lib.easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stall), curl);
  } else {
    _check(lib.easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms), curl);
  }
  _check(lib.easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L), curl);
  _check(lib.easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"), curl);
  AnswerSink sink{.response = &response, .max_bytes = request.max_answer_bytes,
                  .body_sink = &request.body_sink, .curl = &curl};
  _check(lib.easy_setopt(h, CURLOPT_WRITEFUNCTION, &_append_body), curl);
  _check(lib.easy_setopt(h, CURLOPT_WRITEDATA, &sink), curl);
  _check(lib.easy_setopt(h, CURLOPT_HEADERFUNCTION, &_append_header), curl);
  _check(lib.easy_setopt(h, CURLOPT_HEADERDATA, &sink), curl);
  if (request.while_waiting) {
    _check(lib.easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &_progress), curl);
    _check(lib.easy_setopt(h, CURLOPT_XFERINFODATA, &request.while_waiting), curl);
    _check(lib.easy_setopt(h, CURLOPT_NOPROGRESS, 0L), curl);
  }
  if (request.ca_file) {
    _check(lib.easy_setopt(h, CURLOPT_CAINFO, request.ca_file->c_str()), curl);
  }

  if (request.method == "GET") {
    _check(lib.easy_setopt(h, CURLOPT_HTTPGET, 1L), curl);
  } else if (request.method == "POST") {
    _check(lib.easy_setopt(h, CURLOPT_POST, 1L), curl);
  } else if (request.method == "HEAD") {
    _check(lib.easy_setopt(h, CURLOPT_NOBODY, 1L), curl);
  } else {
    _check(lib.easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str()), curl);
  }
  if (request.body) {
    _check(lib.easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                            static_cast<curl_off_t>(request.body->size())),
           curl);
    _check(lib.easy_setopt(h, CURLOPT_POSTFIELDS, request.body->data()), curl);
  } else if (request.method == "POST") {
    _check(lib.easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0}), curl);
    _check(lib.easy_setopt(h, CURLOPT_POSTFIELDS, ""), curl);
  }

  for (const auto& [name, value] : request.headers) curl.append_header(name + ": " + value);
  // libcurl would otherwise hold a large body back for a "100 Continue" for up to a second.
  if (request.body) curl.append_header("Expect:");
  curl.set_headers();

  CURLcode code = lib.easy_perform(h);
  if (code != CURLE_OK && sink.too_large) {
    throw TransportError(static_cast<int>(code),
                         "the answer is larger than " + std::to_string(request.max_answer_bytes) +
                             " bytes of body or " + std::to_string(kMaxAnswerHeaderBytes) +
                             " bytes of headers");
  }
  if (code != CURLE_OK && sink.sink_refused) {
    throw TransportError(static_cast<int>(code), "the answer's body could not be stored");
  }
  if (code != CURLE_OK) throw TransportError(static_cast<int>(code), curl.error_text(code));
  _check(lib.easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status), curl);
  return response;
}

bool is_connection_lost(const TransportError& error) {
  switch (error.curl_code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
      return true;
    default:
      return false;
  }
}

std::string percent_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (_unreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

std::string encode_path_segment(std::string_view text) {
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  return percent_encode(text);
}

}  // namespace pelmora
