#pragma once
// The web dashboard: a page and its script and style, built into the program (no network
// beyond the service is needed). The page holds no data: it asks for a key and reads the
// caller's jobs from the /v1 API like any client, with the key in the Authorization header.

#include <string_view>

#include "service/http_server.h"

namespace pelmora::service {

// One file of the dashboard, as generated from service/dashboard/ at build time.
struct DashboardFile {
  std::string_view name;  // "index.html", "dashboard.js", ...
  std::string_view content;
};

// Every file of the dashboard (defined in the generated source).
extern const DashboardFile kDashboardFiles[];
extern const std::size_t kDashboardFileCount;

// Fills `res` with the dashboard's file at `path` ("/" is the page) and its security
// headers; false when `path` is none of them.
bool serve_dashboard(std::string_view path, Response& res);

}  // namespace pelmora::service
