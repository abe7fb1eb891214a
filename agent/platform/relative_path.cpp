#include "agent/platform/relative_path.h"

#include <array>
#include <cstdint>

namespace pelmora {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::string> relative_path_problem(std::string_view path) {
  if (path.empty()) return "the path is empty";
  if (path.size() > kMaxRelativePath) {
    return "the path is longer than " + std::to_string(kMaxRelativePath) + " bytes";
  }
  if (path.front() == '/') return "the path is absolute";
  if (path.find('\0') != std::string_view::npos) return "the path holds a NUL byte";
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty()) return "the path has an empty component";
    if (part == "." || part == "..") return "the path has a '.' or '..' component";
    if (part.size() > kMaxPathComponent) {
      return "a component of the path is longer than " + std::to_string(kMaxPathComponent) +
             " bytes";
    }
    if (slash == std::string_view::npos) return std::nullopt;
    start = slash + 1;
  }
}

std::vector<std::string> path_components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) {
      parts.emplace_back(path.substr(start));
      return parts;
    }
    parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::array<int, 4> v{};
    int pad = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=' && last && j >= 2) {
        ++pad;
        v[j] = 0;
        continue;
      }
      if (pad > 0) return std::nullopt;  // a character after padding
      v[j] = base64_value(c);
      if (v[j] < 0) return std::nullopt;
    }
    const auto bits = static_cast<std::uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    out += static_cast<char>(bits >> 16);
    if (pad < 2) out += static_cast<char>((bits >> 8) & 255);
    if (pad < 1) out += static_cast<char>(bits & 255);
  }
  return out;
}

}  // namespace pelmora
