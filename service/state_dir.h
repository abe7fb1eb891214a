#pragma once
// The layout of a service's data directory on disk (paths in agent/platform/data_dir.h):
// made when missing, its state directory kept private, and an older layout moved into it.

#include <string>

namespace pelmora::service {

// Makes `data_dir`, its state directory and its jobs directory when missing (mode 0700). A
// state directory that others may read, write or enter is set to 0700; the call refuses one
// that this user cannot make private (another owner). With `move_store`, a store and keys
// file at the top of `data_dir` (the layout from before the state directory) are moved into
// it, the store with its -wal and -shm files; without it, only the keys file is (the caller
// does not hold the service's lock, so the store may be open). Every state file found is
// set to 0600.
// Throws std::runtime_error with a one-line message naming the path.
void prepare_data_dir(const std::string& data_dir, bool move_store);

// Makes sure the file `path` exists with mode 0600 (created empty when missing, else its
// mode set), whatever the directory's mode and the process's umask. Throws
// std::runtime_error naming the file.
void make_private_file(const std::string& path);

}  // namespace pelmora::service
