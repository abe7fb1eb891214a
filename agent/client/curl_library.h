#pragma once
// libcurl, opened the first time a request is made rather than when the program starts.
//
// libcurl brings in a TLS stack, Kerberos, LDAP, SSH and compression libraries: together
// several megabytes of resident pages and a few milliseconds of start-up work. The watch
// agent may run for days without ever offloading a job, so it should not pay for them up
// front. The functions below are looked up with dlopen/dlsym on first use; the types and
// constants still come from <curl/curl.h>.

#include <curl/curl.h>

namespace pelmora {

struct CurlLibrary {
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
};

// The loaded library, with curl_global_init done (once, thread-safely). Throws
// TransportError (CURLE_FAILED_INIT) naming the libraries tried when none can be loaded.
const CurlLibrary& curl_library();

// Whether libcurl has been loaded into this process yet (for tests and measurements).
bool curl_library_loaded();

}  // namespace pelmora
