#pragma once
// A job's files, as the service hands them out: listed, opened for download, and streamed
// as a tar archive. Everything is reached through descriptors opened from the job's
// directory with O_NOFOLLOW, one component at a time, so no symbolic link is followed (a
// link is listed as a link; downloading one is refused) and no path leaves the directory
// whatever the job put there. Devices, FIFOs and sockets are listed as "other" and never
// opened for reading (a FIFO swapped in for a file is opened non-blocking and refused after
// fstat).
//
// The files root is the job's working directory, or, when the job ran a project bundle, the
// directory the bundle's bootstrap unpacked the project into (the first of NAME, NAME-2,
// NAME-3, ... that is a directory, NAME being the root name in the bundle's call line). In
// the working directory itself, the service's own files are left out of every answer:
// main.py (the submitted text) and the Slurm runner's pelmora-job.sh, pelmora-stdout.txt,
// pelmora-stderr.txt, pelmora-exit-status(.part) and pelmora-slurm-job-id.
//
// Thread safety: a JobFiles object is used by one thread at a time; several objects may
// read the same directory at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/platform/fd.h"

namespace pelmora::service {

class FilesError : public std::runtime_error {
 public:
  enum class Kind {
    bad_path,   // the path is not a relative path that stays below the root (400)
    not_found,  // nothing there, or one of the service's own files (404)
    refused,    // a symbolic link, a directory where a file is wanted, a device, a FIFO (403)
    failed,     // the file system failed (500)
  };
  FilesError(Kind kind_, const std::string& message) : std::runtime_error(message), kind(kind_) {}
  Kind kind;
};

enum class FileType { file, directory, symlink, other };

struct FileEntry {
  std::string path;  // relative to the files root, raw bytes
  FileType type = FileType::file;
  std::uint64_t size = 0;  // regular files; 0 for the others
  double mtime = 0;        // seconds since the epoch
  bool executable = false;  // the owner's execute bit of a regular file
  std::string link_target;  // what a symbolic link names (never followed)
  std::string etag;         // regular files: changes when the file does (file_etag)
};

// One entry as the listing sends it: "path" (or "path_b64" when the name is not UTF-8),
// "type" ("file", "directory", "symlink", "other"), "size", "mtime", "executable", and
// "etag" for files, "target" (or "target_b64") for links.
nlohmann::json entry_json(const FileEntry& entry);

// Sets doc[key] to `bytes` when they are well-formed UTF-8, else doc[key + "_b64"] to their
// base64 (agent/platform/relative_path.h).
void put_path(nlohmann::json& doc, const std::string& key, const std::string& bytes);

// What a Range header asks of a file of `size` bytes. One range of bytes only: "bytes=A-B",
// "bytes=A-" and "bytes=-N". A header of another shape, several ranges included, is ignored
// (the whole file, as HTTP allows); a range that starts at or beyond the end, or a suffix
// of 0 bytes, cannot be satisfied.
enum class RangeAnswer { whole, partial, unsatisfiable };
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};
RangeAnswer parse_byte_range(std::string_view header, std::uint64_t size, ByteRange& range);

// A regular file opened for reading.
struct OpenFile {
  Fd fd;
  std::uint64_t size = 0;
  double mtime = 0;
  std::string etag;
};

// A strong validator of a file's content: its inode, size and modification time in
// nanoseconds, as a quoted ETag.
std::string file_etag(std::uint64_t inode, std::uint64_t size, std::int64_t mtime_ns);

// The root name in a project bundle's text (main.py), or nothing when `text`'s head and
// tail are not a project bundle's or the name is not a single path component.
// `head` is the file's first bytes, `tail` its last ones (at most a few KiB each).
std::optional<std::string> project_root_name(std::string_view head, std::string_view tail);

// A tar stream made on demand, optionally gzip-compressed.
class ArchiveStream {
 public:
  virtual ~ArchiveStream() = default;
  // Up to `max` next bytes into `buffer`: how many (0 at the end only).
  // Throws FilesError (failed) when compression fails.
  virtual std::size_t read(char* buffer, std::size_t max) = 0;
};

struct FilesPage {
  std::vector<FileEntry> entries;
  std::int64_t next = 0;  // the offset to ask for next
  bool more = false;      // cut by the page limits
};

class JobFiles {
 public:
  // The files of the job whose working directory is `job_dir`.
  // Throws FilesError: not_found when the directory is gone, failed when it cannot be read.
  static JobFiles open(const std::string& job_dir);

  // The directory the files are listed under, relative to the working directory ("" when
  // it is the working directory itself).
  const std::string& root_name() const { return _root_name; }

  // The entries from `offset` on, in walk order (depth first, names in byte order, a
  // directory before what it holds): at most `max_entries`, and no more once their JSON
  // passes `max_bytes` (at least one when there is one). Throws FilesError (failed).
  FilesPage list(std::int64_t offset, std::size_t max_entries, std::size_t max_bytes) const;

  // The regular file at `path`. Throws FilesError.
  OpenFile open_file(std::string_view path) const;

  // A tar archive of `path` (the whole root when empty), names relative to the root:
  // directories, regular files and symbolic links (as links); other entries left out.
  // Throws FilesError for a bad or missing path.
  std::unique_ptr<ArchiveStream> archive(std::string_view path, bool gzip) const;

 private:
  JobFiles(Fd root, bool top, std::string root_name)
      : _root(std::move(root)), _top(top), _root_name(std::move(root_name)) {}

  Fd _root;
  bool _top = true;  // the root is the working directory: the service's files are hidden
  std::string _root_name;
};

}  // namespace pelmora::service
