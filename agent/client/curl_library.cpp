#include "agent/client/curl_library.h"

#include <dlfcn.h>

#include <atomic>
#include <string>

#include "agent/client/http.h"

namespace pelmora {

namespace {

// The sonames of libcurl's builds; they share one ABI.
constexpr const char* kSonames[] = {"libcurl.so.4", "libcurl-gnutls.so.4", "libcurl-nss.so.4"};

std::atomic<bool> g_loaded{false};

template <typename Fn>
void _resolve(void* handle, const char* name, Fn& out, std::string& missing) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    missing += missing.empty() ? name : std::string(", ") + name;
    return;
  }
  // dlsym hands back functions as void*; POSIX guarantees the round trip.
  out = reinterpret_cast<Fn>(symbol);
}

CurlLibrary _load() {
  void* handle = nullptr;
  std::string tried;
  for (const char* soname : kSonames) {
    handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) break;
    const char* why = dlerror();
    if (!tried.empty()) tried += "; ";
    tried += why != nullptr ? why : soname;
  }
  if (handle == nullptr) {
    throw TransportError(CURLE_FAILED_INIT,
                         "cannot load libcurl (install the libcurl4 package): " + tried);
  }
  CurlLibrary lib{};
  std::string missing;
  _resolve(handle, "curl_easy_init", lib.easy_init, missing);
  _resolve(handle, "curl_easy_setopt", lib.easy_setopt, missing);
  _resolve(handle, "curl_easy_perform", lib.easy_perform, missing);
  _resolve(handle, "curl_easy_getinfo", lib.easy_getinfo, missing);
  _resolve(handle, "curl_easy_cleanup", lib.easy_cleanup, missing);
  _resolve(handle, "curl_easy_strerror", lib.easy_strerror, missing);
  _resolve(handle, "curl_slist_append", lib.slist_append, missing);
  _resolve(handle, "curl_slist_free_all", lib.slist_free_all, missing);
  decltype(&curl_global_init) global_init = nullptr;
  _resolve(handle, "curl_global_init", global_init, missing);
  if (!missing.empty()) {
    throw TransportError(CURLE_FAILED_INIT, "the libcurl found lacks " + missing);
  }
  // The library stays loaded for the life of the process; curl_global_cleanup is never
  // needed at exit.
  CURLcode code = global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    throw TransportError(static_cast<int>(code), "Could not start libcurl");
  }
  return lib;
}

}  // namespace

const CurlLibrary& curl_library() {
  // A failed load throws out of the function-local static's initialisation, which is then
  // tried again by the next call.
  static const CurlLibrary lib = [] {
    CurlLibrary loaded = _load();
    g_loaded.store(true);
    return loaded;
  }();
  return lib;
}

bool curl_library_loaded() { return g_loaded.load(); }

}  // namespace pelmora
