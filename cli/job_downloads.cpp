#include "cli/job_downloads.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/client/errors.h"
#include "agent/client/http.h"
#include "agent/platform/errors.h"
#include "agent/platform/fd.h"
#include "agent/platform/relative_path.h"
#include "agent/platform/terminal_text.h"

namespace pelmora::cli {
namespace {

using nlohmann::json;

// Files at least this large show their progress on a terminal.
constexpr std::uint64_t kProgressBytes = 8 * 1024 * 1024;

Fd open_at(int dir_fd, const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = openat(dir_fd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

// `name` in `dir_fd` as a directory, made when missing; a link there is not followed.
Fd enter_dir(int dir_fd, const std::string& name, const std::string& shown) {
  if (mkdirat(dir_fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
    throw std::runtime_error("cannot make " + shown + ": " + errno_text(errno));
  }
  Fd fd = open_at(dir_fd, name, O_RDONLY | O_DIRECTORY);
  if (!fd.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) {
      throw std::runtime_error(shown + " is in the way (not a directory; links are not followed)");
    }
    throw std::runtime_error("cannot open " + shown + ": " + errno_text(errno));
  }
  return fd;
}

// The directory that will hold `path` under `root`, made as needed.
Fd parent_of(int root, const std::vector<std::string>& parts, std::size_t count) {
  Fd dir(fcntl(root, F_DUPFD_CLOEXEC, 0));
  std::string shown;
  for (std::size_t i = 0; i < count; ++i) {
    shown += (i ? "/" : "") + escape_for_terminal(parts[i]);
    dir = enter_dir(dir.get(), parts[i], shown);
  }
  return dir;
}

std::string read_small(int dir_fd, const std::string& name) {
  Fd fd = open_at(dir_fd, name, O_RDONLY | O_NONBLOCK);
  if (!fd.valid()) return "";
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  char buffer[512];
  ssize_t n = read_some(fd.get(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
}

void write_small(int dir_fd, const std::string& name, const std::string& text) {
  Fd fd = open_at(dir_fd, name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!fd.valid() || write_all(fd.get(), text.data(), text.size()) != 0) {
    throw std::runtime_error("cannot write " + escape_for_terminal(name) + ": " + errno_text(errno));
  }
}

std::string mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

bool selected(const RemoteFile& file, const GetRequest& request, std::vector<bool>& used) {
  bool by_path = request.paths.empty();
  for (std::size_t i = 0; i < request.paths.size(); ++i) {
    const std::string& p = request.paths[i];
    if (file.path == p || (file.path.size() > p.size() && file.path.starts_with(p) && file.path[p.size()] == '/')) {
      used[i] = true;
      by_path = true;
    }
  }
  if (!by_path) return false;
  if (request.patterns.empty()) return true;
  for (const std::string& pattern : request.patterns) {
    if (fnmatch(pattern.c_str(), file.path.c_str(), 0) == 0) return true;
  }
  return false;
}

// Fetches one regular file into `root`. Returns the bytes transferred.
std::uint64_t fetch_file(const JobClient& client, const GetRequest& request, int root,
                         const RemoteFile& file) {
  const std::string shown = escape_for_terminal(file.path);
  const std::vector<std::string> parts = path_components(file.path);
  Fd dir = parent_of(root, parts, parts.size() - 1);
  const std::string& name = parts.back();
  const std::string part = name + ".part";
  const std::string tag = name + ".part.etag";
  if (tag.size() > kMaxPathComponent) throw std::runtime_error("the name is too long to download beside a .part file");

  std::uint64_t from = 0;
  Fd out = open_at(dir.get(), part, O_RDWR | O_NONBLOCK);
  struct stat st {};
  if (out.valid() && fstat(out.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    const auto held = static_cast<std::uint64_t>(st.st_size);
    if (!file.etag.empty() && read_small(dir.get(), tag) == file.etag && held <= file.size) from = held;
  } else {
    out.reset();
    if (unlinkat(dir.get(), part.c_str(), 0) != 0 && errno != ENOENT) {
      throw std::runtime_error(escape_for_terminal(part) + " is in the way: " + errno_text(errno));
    }
    out = open_at(dir.get(), part, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (!out.valid()) throw std::runtime_error("cannot create " + escape_for_terminal(part) + ": " + errno_text(errno));
  }
  if (from == 0 && ftruncate(out.get(), 0) != 0) {
    throw std::runtime_error("cannot write " + escape_for_terminal(part) + ": " + errno_text(errno));
  }
  write_small(dir.get(), tag, file.etag);

  std::uint64_t position = from;
  std::uint64_t fetched = 0;
  std::uint64_t total = file.size;
  bool progress = request.progress && file.size >= kProgressBytes;
  auto last_shown = std::chrono::steady_clock::now();
  std::string write_error;
  const bool complete = from > 0 && from == file.size;
  if (!complete) {
    DownloadRequest download;
    download.from = from;
    if (from > 0) download.if_range = file.etag;
    download.write = [&](const DownloadAnswer& answer, std::string_view data) {
      if (position == from && fetched == 0) {
        // A resume answered with the whole file (it changed): start over.
        if (answer.status == 200 && from > 0) {
          if (ftruncate(out.get(), 0) != 0) return false;
          position = 0;
        } else if (answer.status == 206 && answer.first != from) {
          write_error = "the service sent another range than the one asked for";
          return false;
        }
        if (answer.total) total = *answer.total;
      }
      if (position + data.size() > total) {
        write_error = "the service sent more bytes than the file holds";
        return false;
      }
      ssize_t n;
      do {
        n = pwrite(out.get(), data.data(), data.size(), static_cast<off_t>(position));
      } while (n < 0 && errno == EINTR);
      if (n != static_cast<ssize_t>(data.size())) {
        write_error = "cannot write " + escape_for_terminal(part) + ": " + errno_text(n < 0 ? errno : ENOSPC);
        return false;
      }
      position += data.size();
      fetched += data.size();
      if (progress) {
        auto now = std::chrono::steady_clock::now();
        if (now - last_shown > std::chrono::milliseconds(200)) {
          last_shown = now;
          std::fprintf(stderr, "\r  %s  %3.0f%%  %s", shown.c_str(),
                       total ? 100.0 * static_cast<double>(position) / static_cast<double>(total) : 100.0,
                       mebibytes(position).c_str());
          std::fflush(stderr);
        }
      }
      return true;
    };
    try {
      DownloadAnswer answer = client.download(request.job_id, file.path, download);
      if (answer.total) total = *answer.total;
      if (answer.status == 200 && from > 0 && fetched == 0) {
        position = 0;  // a whole, empty file
        if (ftruncate(out.get(), 0) != 0) throw std::runtime_error("cannot write " + escape_for_terminal(part));
      }
    } catch (const TransportError& e) {
      if (progress) std::fputs("\n", stderr);
      if (!write_error.empty()) throw std::runtime_error(write_error);
      throw std::runtime_error(std::string(e.what()) + " (run the command again to resume)");
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
  }
  if (position != total) {
    throw std::runtime_error("the download ended after " + std::to_string(position) + " of " +
                             std::to_string(total) + " bytes (run the command again to resume)");
  }
  fchmod(out.get(), file.executable ? 0755 : 0644);
  const double whole = std::floor(file.mtime);
  const struct timespec times[2] = {
      {.tv_sec = 0, .tv_nsec = UTIME_OMIT},
      {.tv_sec = static_cast<time_t>(whole), .tv_nsec = static_cast<long>((file.mtime - whole) * 1e9)}};
  futimens(out.get(), times);
  out.reset();
  if (renameat(dir.get(), part.c_str(), dir.get(), name.c_str()) != 0) {
    throw std::runtime_error("cannot write " + shown + ": " + errno_text(errno));
  }
  unlinkat(dir.get(), tag.c_str(), 0);
  return fetched;
}

}  // namespace

std::optional<std::string> entry_path(const json& entry, const char* key) {
  if (!entry.is_object()) return std::nullopt;
  std::optional<std::string> path;
  auto plain = entry.find(key);
  auto encoded = entry.find(std::string(key) + "_b64");
  if (plain != entry.end() && plain->is_string()) {
    path = plain->get<std::string>();
  } else if (encoded != entry.end() && encoded->is_string()) {
    path = base64_decode(encoded->get<std::string>());
  }
  if (path && std::string_view(key) == "path" && relative_path_problem(*path)) return std::nullopt;
  return path;
}

FileList list_job_files(const JobClient& client, const std::string& job_id) {
  FileList list;
  std::int64_t offset = 0;
  for (int pages = 1;; ++pages) {
    json page = client.files(job_id, offset);
    if (pages == 1 && page.contains("root")) list.root = page["root"];
    for (const json& entry : page["files"]) {
      list.raw.push_back(entry);
      auto path = entry_path(entry);
      if (!path) {
        list.refused.push_back(entry.is_object() && entry.contains("path") ? entry["path"].dump() : entry.dump());
        continue;
      }
      RemoteFile file;
      file.path = *path;
      file.type = entry.value("type", "other");
      if (auto size = entry.find("size"); size != entry.end() && size->is_number_unsigned()) file.size = size->get<std::uint64_t>();
      if (auto mtime = entry.find("mtime"); mtime != entry.end() && mtime->is_number()) file.mtime = mtime->get<double>();
      file.executable = entry.value("executable", false);
      if (auto etag = entry.find("etag"); etag != entry.end() && etag->is_string()) file.etag = etag->get<std::string>();
      if (auto target = entry_path(entry, "target")) file.target = *target;
      list.files.push_back(std::move(file));
    }
    auto next = page.find("current_index");
    auto more = page.find("more");
    if (more == page.end() || !more->is_boolean() || !more->get<bool>() || page["files"].empty() ||
        next == page.end() || !next->is_number_integer() || next->get<std::int64_t>() <= offset ||
        pages >= kMaxPagesPerRead) {
      return list;
    }
    offset = next->get<std::int64_t>();
  }
}

GetResult get_job_files(const JobClient& client, const GetRequest& request, std::ostream& out) {
  for (const std::string& p : request.paths) {
    if (auto problem = relative_path_problem(p)) {
      throw std::runtime_error("cannot fetch " + escape_for_terminal(p) + ": " + *problem);
    }
  }
  FileList list = list_job_files(client, request.job_id);
  GetResult result;
  for (const std::string& refused : list.refused) {
    out << "  refused a path from the service: " << escape_for_terminal(refused) << "\n";
    ++result.skipped;
  }
  std::error_code made;
  std::filesystem::create_directories(request.to, made);
  if (made) throw std::runtime_error("cannot make " + escape_for_terminal(request.to) + ": " + made.message());
  Fd root = open_fd(request.to, O_RDONLY | O_DIRECTORY);
  if (!root.valid()) throw std::runtime_error("cannot open " + escape_for_terminal(request.to) + ": " + errno_text(errno));
  std::vector<bool> used(request.paths.size(), false);
  for (const RemoteFile& file : list.files) {
    if (!selected(file, request, used)) continue;
    const std::string shown = escape_for_terminal(file.path);
    try {
      if (file.type == "directory") {
        const auto parts = path_components(file.path);
        parent_of(root.get(), parts, parts.size());
      } else if (file.type == "file") {
        result.bytes += fetch_file(client, request, root.get(), file);
        ++result.files;
        out << "  " << shown << "  " << file.size << " bytes\n";
      } else if (file.type == "symlink") {
        out << "  skipped " << shown << " (a symbolic link to " << escape_for_terminal(file.target) << ")\n";
        ++result.skipped;
      } else {
        out << "  skipped " << shown << " (not a regular file)\n";
        ++result.skipped;
      }
    } catch (const JobServiceError& e) {
      out << "  failed " << shown << ": the service answered " << e.status << "\n";
      ++result.skipped;
      result.failed = true;
    } catch (const std::runtime_error& e) {
      out << "  failed " << shown << ": " << escape_for_terminal(e.what()) << "\n";
      ++result.skipped;
      result.failed = true;
    }
    out.flush();
  }
  for (std::size_t i = 0; i < request.paths.size(); ++i) {
    if (!used[i]) throw std::runtime_error("no such file in the job: " + escape_for_terminal(request.paths[i]));
  }
  return result;
}

}  // namespace pelmora::cli
