// Fuzz target: the /proc parsers on arbitrary bytes (another process controls its command
// line and its comm, so these texts are not to be trusted).
// Checks: the pieces of a command line never hold more bytes than the data; a name is the
// comm or the base name of the first argument; decoded lengths never exceed the byte count;
// a parsed stat line's comm comes from the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/platform/proc_parse.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto stat = pelmora::parse_proc_stat(text)) {
    check(text.find(stat->comm) != std::string_view::npos);
  }
  (void)pelmora::parse_status_real_uid(text);
  (void)pelmora::parse_statm_resident_pages(text);
  (void)pelmora::parse_schedstat_runtime(text);
  (void)pelmora::parse_meminfo_total_bytes(text);
  (void)pelmora::parse_boot_time(text);
  check(pelmora::decoded_length(text) <= size);

  const auto args = pelmora::parse_cmdline(text);
  std::size_t total = 0;
  for (const auto& arg : args) total += arg.size();
  check(total <= size);
  if (size == 0) check(args.empty());

  // The first bytes up to a NUL play the comm.
  const std::string_view comm = text.substr(0, text.find('\0'));
  const std::string name = pelmora::process_name(comm, args);
  check(name == comm || (!args.empty() && args.front().ends_with(name)));
  (void)pelmora::name_may_be_cut(comm);
  return 0;
}
