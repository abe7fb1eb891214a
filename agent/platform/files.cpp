#include "agent/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "agent/platform/errors.h"
#include "agent/platform/fd.h"

namespace pelmora {
namespace {

[[noreturn]] void throw_errno(int err) { throw FileError(err, errno_text(err)); }

void append_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

}  // namespace

bool is_regular_file(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode);
}

std::string read_file_bytes(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw_errno(EINVAL);
  Fd fd = open_fd(path, O_RDONLY);
  if (!fd.valid()) throw_errno(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw_errno(errno);
  if (S_ISDIR(st.st_mode)) throw_errno(EISDIR);
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = read_some(fd.get(), buf.data(), buf.size());
    if (n < 0) throw_errno(errno);
    if (n == 0) break;
    data.append(buf.data(), static_cast<size_t>(n));
  }
  return data;
}

std::string decode_utf8_replace(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  const size_t n = in.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    if (b0 < 0x80) {
      // Copy the ASCII run in one go.
      size_t j = i + 1;
      while (j < n && static_cast<unsigned char>(in[j]) < 0x80) ++j;
      out.append(in.data() + i, j - i);
      i = j;
      continue;
    }
    int need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      append_replacement(out);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const auto b = static_cast<unsigned char>(in[j]);
      const unsigned char l = (k == 0) ? lo : 0x80;
      const unsigned char h = (k == 0) ? hi : 0xBF;
      if (b < l || b > h) {
        ok = false;
        break;
      }
    }
    if (ok) {
      out.append(in.data() + i, j - i);
    } else {
      append_replacement(out);  // the maximal valid prefix counts as one
    }
    i = j;
  }
  return out;
}

std::string normalize_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += c;
    }
  }
  return out;
}

std::string read_text_file(const std::string& path) {
  return normalize_newlines(decode_utf8_replace(read_file_bytes(path)));
}

std::string current_dir() {
  std::vector<char> buf(4096);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE) throw_errno(errno);
    buf.resize(buf.size() * 2);
  }
}

std::string normalize_path(std::string_view path) {
  if (path.empty()) return ".";
  const bool absolute = path.front() == '/';
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (part.empty() || part == ".") {
      // dropped
    } else if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (!absolute) {
        parts.push_back(part);
      }
    } else {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = absolute ? "/" : "";
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out += '/';
    out += parts[k];
  }
  if (out.empty()) out = ".";
  return out;
}

std::string absolute_path(std::string_view path, std::string_view base) {
  if (!path.empty() && path.front() == '/') return normalize_path(path);
  std::string root = base.empty() ? current_dir() : std::string(base);
  return normalize_path(join_path(root, path));
}

std::string parent_dir(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string join_path(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != '/') out += '/';
  out += b;
  return out;
}

}  // namespace pelmora
