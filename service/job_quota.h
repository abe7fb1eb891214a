#pragma once
// What a local job may store: the measure of a job directory's size on disk, and sizes
// written for people.

#include <cstdint>
#include <string>

namespace pelmora::service {

// "1 GiB", "200 MiB", "512 KiB" for a whole number of such units, else "1500000 bytes".
std::string size_text(std::uint64_t bytes);

// The space allocated to the files under `dir` (st_blocks, each file once however many
// links it has), `dir` itself included. Symbolic links are counted, never followed; nothing
// outside `dir` is entered (no mount point is crossed). Entries that vanish meanwhile are
// skipped. Stops early, returning what it counted so far, once that passes `stop_above`.
// 0 when `dir` cannot be read.
std::uint64_t allocated_bytes(const std::string& dir, std::uint64_t stop_above = UINT64_MAX);

}  // namespace pelmora::service
