#include "service/job_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "agent/platform/errors.h"
#include "agent/platform/relative_path.h"
#include "agent/platform/tar.h"
#include "agent/platform/terminal_text.h"

namespace pelmora::service {
namespace {

using nlohmann::json;

// Deeper than any job's own tree should be; it also bounds the descriptors held open.
constexpr int kMaxDepth = 128;
constexpr std::string_view kProjectHead = "# pelmora project bundle:";
constexpr std::string_view kProjectCall = "\n_pelmora_run(b'";

bool is_service_file(std::string_view name) {
  static constexpr std::string_view kNames[] = {
      "main.py", "pelmora-job.sh", "pelmora-stdout.txt", "pelmora-stderr.txt",
      "pelmora-exit-status", "pelmora-exit-status.part", "pelmora-slurm-job-id"};
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = utf8_sequence_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Digits only, at most 19 of them.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

double seconds_of(const struct timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::int64_t nanoseconds_of(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

Fd open_at(int dir_fd, const std::string& name, int flags) {
  int fd;
  do {
    fd = openat(dir_fd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

Fd open_dir_at(int dir_fd, const std::string& name) {
  return open_at(dir_fd, name, O_RDONLY | O_DIRECTORY);
}

// The names in the directory open as `fd` ("." and ".." left out), in byte order.
std::vector<std::string> sorted_names(int fd) {
  std::vector<std::string> names;
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) throw FilesError(FilesError::Kind::failed, "cannot read a directory: " + errno_text(errno));
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    int error = errno;
    close(copy);
    throw FilesError(FilesError::Kind::failed, "cannot read a directory: " + errno_text(error));
  }
  rewinddir(dir);
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
    errno = 0;
  }
  int error = errno;
  closedir(dir);
  if (error != 0) throw FilesError(FilesError::Kind::failed, "cannot read a directory: " + errno_text(error));
  std::sort(names.begin(), names.end());
  return names;
}

// The entry for `name` in `dir_fd`, from lstat; nothing when it vanished.
std::optional<FileEntry> stat_entry(int dir_fd, const std::string& name, const std::string& path) {
  struct stat st {};
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  FileEntry entry;
  entry.path = path;
  entry.mtime = seconds_of(st.st_mtim);
  if (S_ISREG(st.st_mode)) {
    entry.type = FileType::file;
    entry.size = static_cast<std::uint64_t>(st.st_size);
    entry.executable = (st.st_mode & S_IXUSR) != 0;
    entry.etag = file_etag(st.st_ino, entry.size, nanoseconds_of(st.st_mtim));
  } else if (S_ISDIR(st.st_mode)) {
    entry.type = FileType::directory;
  } else if (S_ISLNK(st.st_mode)) {
    entry.type = FileType::symlink;
    std::string target(4096, '\0');
    ssize_t n = readlinkat(dir_fd, name.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    entry.link_target = std::move(target);
  } else {
    entry.type = FileType::other;
  }
  return entry;
}

// Calls `visit` for every entry under `dir_fd` in walk order until it returns false.
// Returns false when the walk was stopped.
bool walk(int dir_fd, const std::string& prefix, bool top, int depth,
          const std::function<bool(const FileEntry&)>& visit) {
  for (const std::string& name : sorted_names(dir_fd)) {
    if (top && is_service_file(name)) continue;
    auto entry = stat_entry(dir_fd, name, prefix + name);
    if (!entry) continue;
    if (!visit(*entry)) return false;
    if (entry->type == FileType::directory && depth < kMaxDepth) {
      Fd child = open_dir_at(dir_fd, name);
      if (!child.valid()) continue;  // gone or replaced meanwhile
      if (!walk(child.get(), entry->path + "/", false, depth + 1, visit)) return false;
    }
  }
  return true;
}

// The directory that holds the last component of `path` (checked), opened from `root`,
// and that component. No link on the way is followed.
std::pair<Fd, std::string> open_parent(int root, std::string_view path, bool top) {
  if (auto problem = relative_path_problem(path)) throw FilesError(FilesError::Kind::bad_path, *problem);
  std::vector<std::string> parts = path_components(path);
  if (top && is_service_file(parts.front())) {
    throw FilesError(FilesError::Kind::not_found, "no such file: " + escape_for_terminal(path));
  }
  Fd dir(fcntl(root, F_DUPFD_CLOEXEC, 0));
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    Fd next = open_dir_at(dir.get(), parts[i]);
    if (!next.valid()) {
      if (errno == ENOENT) throw FilesError(FilesError::Kind::not_found, "no such file: " + escape_for_terminal(path));
      if (errno == ELOOP || errno == ENOTDIR) {
        throw FilesError(FilesError::Kind::refused,
                         "not a directory (symbolic links are not followed): " +
                             escape_for_terminal(parts[i]));
      }
      throw FilesError(FilesError::Kind::failed, "cannot open " + escape_for_terminal(path) + ": " + errno_text(errno));
    }
    dir = std::move(next);
  }
  return {std::move(dir), parts.back()};
}

// The regular file `name` in `dir_fd`: opened non-blocking without following a link, then
// checked with fstat, so neither a FIFO nor a device is ever read.
OpenFile open_regular(int dir_fd, const std::string& name, std::string_view shown_path) {
  Fd fd = open_at(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd.valid()) {
    if (errno == ENOENT) throw FilesError(FilesError::Kind::not_found, "no such file: " + escape_for_terminal(shown_path));
    if (errno == ELOOP) throw FilesError(FilesError::Kind::refused, "a symbolic link is not followed: " + escape_for_terminal(shown_path));
    throw FilesError(FilesError::Kind::failed, "cannot open " + escape_for_terminal(shown_path) + ": " + errno_text(errno));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    throw FilesError(FilesError::Kind::failed, "cannot read " + escape_for_terminal(shown_path) + ": " + errno_text(errno));
  }
  if (S_ISDIR(st.st_mode)) {
    throw FilesError(FilesError::Kind::refused, "a directory (fetch it with the archive): " + escape_for_terminal(shown_path));
  }
  if (!S_ISREG(st.st_mode)) {
    throw FilesError(FilesError::Kind::refused, "not a regular file: " + escape_for_terminal(shown_path));
  }
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  OpenFile file;
  file.size = static_cast<std::uint64_t>(st.st_size);
  file.mtime = seconds_of(st.st_mtim);
  file.etag = file_etag(st.st_ino, file.size, nanoseconds_of(st.st_mtim));
  file.fd = std::move(fd);
  return file;
}

class TarStream final : public ArchiveStream {
 public:
  TarStream(Fd root, std::vector<FileEntry> entries, bool gzip)
      : _root(std::move(root)), _entries(std::move(entries)), _gzip(gzip) {
    if (_gzip) {
      _z.zalloc = Z_NULL;
      _z.zfree = Z_NULL;
      _z.opaque = Z_NULL;
      // 15 + 16: a gzip wrapper around the deflate stream.
      if (deflateInit2(&_z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw FilesError(FilesError::Kind::failed, "cannot start compression");
      }
    }
  }
  ~TarStream() override {
    if (_gzip) deflateEnd(&_z);
  }
  TarStream(const TarStream&) = delete;
  TarStream& operator=(const TarStream&) = delete;

  std::size_t read(char* buffer, std::size_t max) override {
    if (!_gzip) return _read_tar(buffer, max);
    while (_zout_pos == _zout.size()) {
      if (_z_done) return 0;
      _zout.resize(256 * 1024);
      _zout_pos = 0;
      std::string raw(64 * 1024, '\0');
      std::size_t n = _read_tar(raw.data(), raw.size());
      _z.next_in = reinterpret_cast<Bytef*>(raw.data());
      _z.avail_in = static_cast<uInt>(n);
      std::size_t produced = 0;
      const int flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
      do {
        if (produced == _zout.size()) _zout.resize(_zout.size() * 2);
        _z.next_out = reinterpret_cast<Bytef*>(_zout.data() + produced);
        _z.avail_out = static_cast<uInt>(_zout.size() - produced);
        int rc = deflate(&_z, flush);
        if (rc == Z_STREAM_ERROR) throw FilesError(FilesError::Kind::failed, "compression failed");
        produced = _zout.size() - _z.avail_out;
        if (rc == Z_STREAM_END) _z_done = true;
      } while (_z.avail_out == 0 || (flush == Z_FINISH && !_z_done));
      _zout.resize(produced);
    }
    std::size_t n = std::min(max, _zout.size() - _zout_pos);
    std::memcpy(buffer, _zout.data() + _zout_pos, n);
    _zout_pos += n;
    return n;
  }

 private:
  std::size_t _read_tar(char* buffer, std::size_t max) {
    std::size_t produced = 0;
    while (produced < max) {
      if (_pending_pos < _pending.size()) {
        std::size_t n = std::min(max - produced, _pending.size() - _pending_pos);
        std::memcpy(buffer + produced, _pending.data() + _pending_pos, n);
        _pending_pos += n;
        produced += n;
      } else if (_file_left > 0) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(max - produced, _file_left));
        ssize_t n = _file.valid() ? read_some(_file.get(), buffer + produced, want) : 0;
        if (n <= 0) {
          // The file shrank or failed under us: the entry keeps its announced size.
          _file.reset();
          std::memset(buffer + produced, 0, want);
          n = static_cast<ssize_t>(want);
        }
        produced += static_cast<std::size_t>(n);
        _file_left -= static_cast<std::uint64_t>(n);
        if (_file_left == 0) {
          _file.reset();
          _pending = tar_padding(_file_size);
          _pending_pos = 0;
        }
      } else if (_next < _entries.size()) {
        _start(_entries[_next++]);
      } else if (!_trailer) {
        _trailer = true;
        _pending.assign(2 * kTarBlock, '\0');
        _pending_pos = 0;
      } else {
        break;
      }
    }
    return produced;
  }

  void _start(const FileEntry& entry) {
    const auto mtime = static_cast<std::uint64_t>(std::max(0.0, entry.mtime));
    _pending_pos = 0;
    _pending.clear();
    switch (entry.type) {
      case FileType::directory:
        _pending = tar_entry_headers(entry.path + "/", '5', 0, 0755, mtime, {});
        break;
      case FileType::symlink:
        _pending = tar_entry_headers(entry.path, '2', 0, 0777, mtime, entry.link_target);
        break;
      case FileType::file:
        try {
          auto [dir, name] = open_parent(_root.get(), entry.path, false);
          OpenFile file = open_regular(dir.get(), name, entry.path);
          _file_size = file.size;
          _file_left = file.size;
          _file = std::move(file.fd);
          _pending = tar_entry_headers(entry.path, '0', _file_size, entry.executable ? 0755u : 0644u,
                                   mtime, {});
          if (_file_left == 0) _file.reset();
        } catch (const FilesError&) {
          // Gone or replaced since the walk: left out.
        }
        break;
      case FileType::other:
        break;
    }
  }

  Fd _root;
  std::vector<FileEntry> _entries;
  std::size_t _next = 0;
  std::string _pending;
  std::size_t _pending_pos = 0;
  Fd _file;
  std::uint64_t _file_size = 0;
  std::uint64_t _file_left = 0;
  bool _trailer = false;
  bool _gzip;
  z_stream _z{};
  std::string _zout;
  std::size_t _zout_pos = 0;
  bool _z_done = false;
};

// Reads up to `size` bytes at `offset` of `fd`.
std::string read_at(int fd, std::uint64_t offset, std::size_t size) {
  std::string out(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

}  // namespace

json entry_json(const FileEntry& entry) {
  json doc = json::object();
  put_path(doc, "path", entry.path);
  static constexpr const char* kTypes[] = {"file", "directory", "symlink", "other"};
  doc["type"] = kTypes[static_cast<int>(entry.type)];
  doc["size"] = entry.size;
  doc["mtime"] = entry.mtime;
  doc["executable"] = entry.executable;
  if (entry.type == FileType::file) doc["etag"] = entry.etag;
  if (entry.type == FileType::symlink) put_path(doc, "target", entry.link_target);
  return doc;
}

void put_path(json& doc, const std::string& key, const std::string& bytes) {
  if (is_utf8(bytes)) {
    doc[key] = bytes;
  } else {
    doc[key + "_b64"] = base64_encode(bytes);
  }
}

RangeAnswer parse_byte_range(std::string_view header, std::uint64_t size, ByteRange& range) {
  header = trimmed(header);
  if (header.size() < 6) return RangeAnswer::whole;
  std::string unit(header.substr(0, 6));
  for (char& c : unit) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (unit != "bytes=") return RangeAnswer::whole;
  std::string_view wanted = trimmed(header.substr(6));
  const std::size_t dash = wanted.find('-');
  if (dash == std::string_view::npos || wanted.find(',') != std::string_view::npos) return RangeAnswer::whole;
  const std::string_view from = trimmed(wanted.substr(0, dash));
  const std::string_view to = trimmed(wanted.substr(dash + 1));
  if (from.empty()) {
    auto suffix = parse_decimal(to);
    if (!suffix) return RangeAnswer::whole;
    if (*suffix == 0 || size == 0) return RangeAnswer::unsatisfiable;
    range.length = std::min(*suffix, size);
    range.first = size - range.length;
    return RangeAnswer::partial;
  }
  auto first = parse_decimal(from);
  if (!first) return RangeAnswer::whole;
  std::uint64_t last = size == 0 ? 0 : size - 1;
  if (!to.empty()) {
    auto given = parse_decimal(to);
    if (!given || *given < *first) return RangeAnswer::whole;
    last = std::min(last, *given);
  }
  if (*first >= size) return RangeAnswer::unsatisfiable;
  range.first = *first;
  range.length = last - *first + 1;
  return RangeAnswer::partial;
}

std::string file_etag(std::uint64_t inode, std::uint64_t size, std::int64_t mtime_ns) {
  char text[80];
  std::snprintf(text, sizeof text, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(inode),
                static_cast<unsigned long long>(size), static_cast<unsigned long long>(mtime_ns));
  return text;
}

std::optional<std::string> project_root_name(std::string_view head, std::string_view tail) {
  if (!head.starts_with(kProjectHead)) return std::nullopt;
  std::size_t at = tail.rfind(kProjectCall);
  if (at == std::string_view::npos) return std::nullopt;
  std::string name;
  static constexpr std::string_view kHex = "0123456789abcdef";
  for (std::size_t i = at + kProjectCall.size(); i < tail.size(); ++i) {
    char c = tail[i];
    if (c == '\'') {
      if (name.empty()) name = "project";  // as the bootstrap names a nameless root
      if (relative_path_problem(name) || name.find('/') != std::string::npos) return std::nullopt;
      return name;
    }
    if (c != '\\') {
      name += c;
      continue;
    }
    if (++i >= tail.size()) return std::nullopt;
    c = tail[i];
    if (c == '\\' || c == '\'') {
      name += c;
    } else if (c == 'x' && i + 2 < tail.size() && kHex.find(tail[i + 1]) != std::string_view::npos &&
               kHex.find(tail[i + 2]) != std::string_view::npos) {
      name += static_cast<char>(kHex.find(tail[i + 1]) * 16 + kHex.find(tail[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

JobFiles JobFiles::open(const std::string& job_dir) {
  Fd dir = open_fd(job_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (!dir.valid()) {
    if (errno == ENOENT) throw FilesError(FilesError::Kind::not_found, "the job's directory is gone");
    throw FilesError(FilesError::Kind::failed, "cannot open the job's directory: " + errno_text(errno));
  }
  Fd main = open_at(dir.get(), "main.py", O_RDONLY | O_NONBLOCK | O_NOCTTY);
  struct stat st {};
  if (main.valid() && fstat(main.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, 64 * 1024));
    auto name = project_root_name(read_at(main.get(), 0, 64), read_at(main.get(), size - tail_size, tail_size));
    if (name) {
      // The bootstrap took the first free name of NAME, NAME-2, NAME-3, ...
      for (int n = 1; n <= 1000; ++n) {
        std::string candidate = n == 1 ? *name : *name + "-" + std::to_string(n);
        Fd sub = open_dir_at(dir.get(), candidate);
        if (sub.valid()) return JobFiles(std::move(sub), false, candidate);
        if (errno == ENOENT) break;  // not unpacked (yet)
      }
    }
  }
  return JobFiles(std::move(dir), true, "");
}

FilesPage JobFiles::list(std::int64_t offset, std::size_t max_entries, std::size_t max_bytes) const {
  FilesPage page;
  page.next = offset;
  std::int64_t index = 0;
  std::size_t bytes = 0;
  walk(_root.get(), "", _top, 1, [&](const FileEntry& entry) {
    if (index++ < offset) return true;
    if (!page.entries.empty()) {
      bytes += entry_json(entry).dump(-1, ' ', false, json::error_handler_t::replace).size();
      if (page.entries.size() >= max_entries || bytes > max_bytes) {
        page.more = true;
        return false;
      }
    } else {
      bytes += entry_json(entry).dump(-1, ' ', false, json::error_handler_t::replace).size();
    }
    page.entries.push_back(entry);
    ++page.next;
    return true;
  });
  return page;
}

OpenFile JobFiles::open_file(std::string_view path) const {
  auto [dir, name] = open_parent(_root.get(), path, _top);
  return open_regular(dir.get(), name, path);
}

std::unique_ptr<ArchiveStream> JobFiles::archive(std::string_view path, bool gzip) const {
  std::vector<FileEntry> entries;
  auto collect = [&entries](const FileEntry& entry) {
    if (entry.type != FileType::other) entries.push_back(entry);
    return true;
  };
  if (path.empty()) {
    walk(_root.get(), "", _top, 1, collect);
  } else {
    auto [dir, name] = open_parent(_root.get(), path, _top);
    auto entry = stat_entry(dir.get(), name, std::string(path));
    if (!entry) throw FilesError(FilesError::Kind::not_found, "no such file: " + escape_for_terminal(path));
    collect(*entry);
    if (entry->type == FileType::directory) {
      Fd sub = open_dir_at(dir.get(), name);
      if (!sub.valid()) throw FilesError(FilesError::Kind::refused, "not a directory: " + escape_for_terminal(path));
      walk(sub.get(), entry->path + "/", false, 2, collect);
    }
  }
  Fd root(fcntl(_root.get(), F_DUPFD_CLOEXEC, 0));
  return std::make_unique<TarStream>(std::move(root), std::move(entries), gzip);
}

}  // namespace pelmora::service
