// Fuzz target: the paths a request names inside a job's directory, the Range headers and the
// root name of a project bundle (all from outside).
// Checks: an accepted path never climbs, starts at the root, holds a NUL or an empty
// component, and its components join back into it; base64 round-trips; a partial range
// lies inside the file; a root name is one component.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/platform/relative_path.h"
#include "service/job_files.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!pelmora::relative_path_problem(text)) {
    check(!text.empty() && text.front() != '/' && text.find('\0') == std::string::npos);
    std::string joined;
    for (const std::string& part : pelmora::path_components(text)) {
      check(!part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos);
      joined += (joined.empty() ? "" : "/") + part;
    }
    check(joined == text);
  }
  check(pelmora::base64_decode(pelmora::base64_encode(text)) == text);
  if (auto decoded = pelmora::base64_decode(text)) check(pelmora::base64_encode(*decoded) == text);

  for (std::uint64_t file_size : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1000},
                                  std::uint64_t{1} << 62}) {
    pelmora::service::ByteRange range;
    if (pelmora::service::parse_byte_range(text, file_size, range) ==
        pelmora::service::RangeAnswer::partial) {
      check(range.length > 0 && range.first < file_size && range.length <= file_size - range.first);
    }
  }

  const std::size_t half = size / 2;
  const std::string head = "# pelmora project bundle:" + text.substr(0, half);
  if (auto name = pelmora::service::project_root_name(head, text.substr(half))) {
    check(!pelmora::relative_path_problem(*name) && name->find('/') == std::string::npos);
  }
  return 0;
}
