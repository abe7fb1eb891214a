#include "service/dashboard.h"

#include <string>

namespace pelmora::service {
namespace {

// Nothing but the service's own files: no inline script or style, no other origin, no
// framing, no forms, no plugins.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string_view content_type_of(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  if (name.ends_with(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

}  // namespace

bool serve_dashboard(std::string_view path, Response& res) {
  std::string_view name = path == "/" ? "index.html" : path.substr(1);
  if (!path.starts_with("/") || (name == "index.html" && path != "/")) return false;
  for (std::size_t i = 0; i < kDashboardFileCount; ++i) {
    const auto& file = kDashboardFiles[i];
    if (file.name != name) continue;
    res.status = 200;
    res.content_type = std::string(content_type_of(file.name));
    res.body = std::string(file.content);
    res.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("X-Frame-Options", "DENY");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("Cache-Control", "no-cache");
    return true;
  }
  return false;
}

}  // namespace pelmora::service
