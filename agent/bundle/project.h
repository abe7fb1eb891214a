#pragma once
// The project bundle: a script's whole project as one self-contained Python source text.
//
// The text holds the project's files as a gzip-compressed tar archive in base64 and a
// short bootstrap (standard library only, Python 3.8 and later) that unpacks it into a new
// directory inside the working directory, changes into it, sets sys.argv to the script's
// path (relative to the root) and its arguments, puts the script's directory first on
// sys.path and runs the script as __main__ with runpy; the process's exit status is the
// script's.
//
// tar.gz because tarfile reads it on every Python 3 (the names are bytes on the way in and
// come back through surrogateescape, so any file name survives, and modes travel in the
// header) and because `tar` can list and unpack what is shipped; base64 because its
// decoder is C code in every Python (binascii), where base85's is pure Python and takes
// seconds per ten megabytes.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/project_files.h"

namespace pelmora {

// The project form cannot be built: the script or a Python file it imports would be left
// out, the root cannot be read, or the project is over the cap even when trimmed.
class ProjectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ProjectLimits {
  // The archive's compressed size at most. With base64 (4/3), its line breaks and the JSON
  // escaping of those, a bundle at this cap fits in the job service's default request
  // limit (48 MiB).
  std::uint64_t max_compressed = 32ull * 1024 * 1024;
  std::uint64_t max_file = 16ull * 1024 * 1024;  // bytes of one file at most
};

struct ProjectRequest {
  std::string script;                // the script's path, as given (relative to `cwd`)
  std::vector<std::string> args;     // the script's arguments
  std::string cwd;                   // the directory it runs from (absolute)
  std::string home;                  // the user's home directory; never a root
  ProjectLimits limits;
};

struct ProjectBundle {
  std::string text;    // the Python source to send
  std::string root;    // absolute
  std::string script;  // relative to root
  ProjectSelection selection;  // what ships and what is left out (caps included)
  std::uint64_t bytes = 0;          // the shipped files' bytes
  std::uint64_t archive_bytes = 0;  // the compressed archive's size
};

// The root of the project of `script` (absolute, normalised): `cwd` when the script lies
// under it and it is neither "/" nor `home`; otherwise the script's own directory.
std::string project_root(std::string_view script, std::string_view cwd, std::string_view home);

// The project bundle of `request`: the root by project_root, the files by
// select_project_files, the caps applied (a file over the per-file cap is left out; over
// the total cap, the files with the largest compressed share go first), the archive and
// the text. The same tree and request give the same bytes: entries in walk order, times
// 0, owner 0, mode 0644 or 0755 after the owner's execute bit.
// Throws: ProjectError (script missing or left out, an imported Python file left out, over
// the cap with only the needed files, the root unreadable).
ProjectBundle build_project_bundle(const ProjectRequest& request);

// The manifest `pelmora bundle --project --list` prints: each shipped file with its size,
// each left-out entry with its reason, then the totals. Paths that are not printable
// UTF-8 are shown with \xNN escapes.
std::string project_manifest(const ProjectBundle& bundle);

}  // namespace pelmora
