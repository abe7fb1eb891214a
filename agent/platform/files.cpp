#include "agent/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "agent/platform/errors.h"
#include "agent/platform/fd.h"

namespace pelmora {
namespace {

[[noreturn]] void throw_errno(int err) { throw FileError(err, errno_text(err)); }

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
  // Read straight into the result: sized to the file (plus one byte, to see the end in one
  // read), grown when the file grows or has no size (a pipe, a /proc file).
  std::string data;
  data.resize(S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1
                                                    : size_t{1} << 16);
  size_t used = 0;
  for (;;) {
    if (used == data.size()) data.resize(data.size() * 2);
    const ssize_t n = read_some(fd.get(), data.data() + used, data.size() - used);
    if (n < 0) throw_errno(errno);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  data.resize(used);
  return data;
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
  std::string text = read_file_bytes(path);
  // Most source files are ASCII with LF line ends: then the bytes are the text.
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) text = decode_utf8_replace(text);
  if (text.find('\r') != std::string::npos) text = normalize_newlines(text);
  return text;
}

void make_private_dirs(const std::string& path) {
  if (path.empty()) throw std::runtime_error("empty directory path");
  for (std::size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    const std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create directory " + part + ": " + errno_text(errno));
    }
    if (pos == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw std::runtime_error("not a directory: " + path);
  }
}

void write_private_file(const std::string& path, const std::string& content, bool sync) {
  std::string temp = path + ".XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));  // mode 0600
  if (!fd.valid()) throw std::runtime_error("cannot write " + path + ": " + errno_text(errno));
  int error = write_all(fd.get(), content.data(), content.size());
  if (error == 0 && sync && ::fsync(fd.get()) != 0) error = errno;
  if (::close(fd.release()) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + errno_text(error));
  }
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
