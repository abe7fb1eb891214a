#pragma once
// File-system helpers: regular-file tests, whole-file text reads, private directories and
// files, lexical path handling.

#include <stdexcept>
#include <string>
#include <string_view>

#include "agent/platform/utf8.h"

namespace pelmora {

// A file could not be opened or read. what() is the system's text for the errno, such as
// "No such file or directory"; `error_code` is the errno.
class FileError : public std::runtime_error {
 public:
  FileError(int error_code_, const std::string& message)
      : std::runtime_error(message), error_code(error_code_) {}
  int error_code;
};

// True when `path` names an existing regular file, following symbolic links. Never throws:
// a path whose status cannot be read is not a file.
bool is_regular_file(const std::string& path);

// The whole file as bytes. Throws FileError (a directory is an error too: EISDIR).
std::string read_file_bytes(const std::string& path);

// CR LF and lone CR turned into LF.
std::string normalize_newlines(std::string_view text);

// read_file_bytes, decode_utf8_replace (agent/platform/utf8.h), normalize_newlines: how scripts and module files
// are read. A byte-order mark stays in the text. Throws FileError.
std::string read_text_file(const std::string& path);

// Creates `path` and its missing parents with mode 0700 (existing ones are left as they
// are). Throws std::runtime_error naming the directory that could not be made, or the path
// when it exists and is not a directory.
void make_private_dirs(const std::string& path);

// Replaces `path` with `content` atomically: a temporary file of mode 0600 in the same
// directory, written whole, fsync'ed when `sync`, renamed over `path`. Nothing is left
// behind on failure. Throws std::runtime_error naming `path`.
void write_private_file(const std::string& path, const std::string& content, bool sync = true);

// The agent's working directory. Throws FileError when it cannot be read.
std::string current_dir();

// Lexical normalisation: drops "." parts and repeated separators, lets ".." remove the part
// before it (at the root it is dropped); no symbolic link is resolved. "" gives ".".
std::string normalize_path(std::string_view path);

// `path` joined to `base` when relative (to current_dir() when base is empty), then
// normalised.
std::string absolute_path(std::string_view path, std::string_view base = {});

// The directory part of an absolute path: cut before its last separator, "/" for a file
// directly under the root.
std::string parent_dir(std::string_view path);

// `a` + "/" + `b` (no separator doubled when `a` ends with one).
std::string join_path(std::string_view a, std::string_view b);

}  // namespace pelmora
