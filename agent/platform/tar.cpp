#include "agent/platform/tar.h"

#include <cstring>

namespace pelmora {
namespace {

void put_octal(char* field, std::size_t width, std::uint64_t value) {
  // width - 1 digits and a NUL.
  for (std::size_t i = width - 1; i-- > 0;) {
    field[i] = static_cast<char>('0' + (value & 7));
    value >>= 3;
  }
  field[width - 1] = '\0';
}

// A number field: octal when it fits, else GNU base-256 (sizes of 8 GiB and more).
void put_number(char* field, std::size_t width, std::uint64_t value) {
  if (value < (std::uint64_t{1} << (3 * (width - 1)))) return put_octal(field, width, value);
  for (std::size_t i = width; i-- > 1;) {
    field[i] = static_cast<char>(value & 0xff);
    value >>= 8;
  }
  field[0] = static_cast<char>(0x80);
}

std::string tar_header(std::string_view name, char type, std::uint64_t size, unsigned mode,
                       std::uint64_t mtime, std::string_view link) {
  std::string block(kTarBlock, '\0');
  char* h = block.data();
  name.substr(0, 100).copy(h, 100);  // a longer name goes ahead in an 'L' entry
  put_octal(h + 100, 8, mode);
  put_octal(h + 108, 8, 0);
  put_octal(h + 116, 8, 0);
  put_number(h + 124, 12, size);
  put_number(h + 136, 12, mtime);
  h[156] = type;
  link.substr(0, 100).copy(h + 157, 100);
  std::memcpy(h + 257, "ustar  ", 8);  // GNU: long names as 'L' and 'K' entries
  std::memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (std::size_t i = 0; i < kTarBlock; ++i) sum += static_cast<unsigned char>(h[i]);
  put_octal(h + 148, 7, sum);
  h[155] = ' ';
  return block;
}

}  // namespace

std::string tar_padding(std::uint64_t size) {
  return std::string((kTarBlock - size % kTarBlock) % kTarBlock, '\0');
}

std::string tar_entry_headers(std::string_view name, char type, std::uint64_t size,
                              unsigned mode, std::uint64_t mtime, std::string_view link) {
  std::string out;
  auto long_entry = [&out](char kind, std::string_view text) {
    out += tar_header("././@LongLink", kind, text.size() + 1, 0644, 0, {});
    out += text;
    out += '\0';
    out += tar_padding(text.size() + 1);
  };
  if (link.size() > 100) long_entry('K', link);
  if (name.size() > 100) long_entry('L', name);
  out += tar_header(name, type, size, mode, mtime, link);
  return out;
}

}  // namespace pelmora
