#pragma once
// Writing tar archives (GNU format): what a project bundle and a job's archive are made of.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora {

inline constexpr std::size_t kTarBlock = 512;

// The header blocks of one entry: GNU long-name entries ('K' for the link, 'L' for the
// name) ahead when either is longer than 100 bytes, then the entry's own header. Owner and
// group are 0; a size or time too large for its octal field is written in base-256.
std::string tar_entry_headers(std::string_view name, char type, std::uint64_t size,
                              unsigned mode, std::uint64_t mtime, std::string_view link);

// The zero bytes that fill an entry of `size` bytes up to a whole block.
std::string tar_padding(std::uint64_t size);

}  // namespace pelmora
