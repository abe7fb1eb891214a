#pragma once
// The owner of a file descriptor, and the reads and writes that retry EINTR.

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace pelmora {

// Owns one file descriptor (or none, -1) and closes it when destroyed or reset. Move-only.
// Not thread-safe; the descriptor itself may be used from any thread.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : _fd(fd) {}
  Fd(Fd&& other) noexcept : _fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return _fd; }
  bool valid() const { return _fd >= 0; }
  // Gives up ownership: the caller closes what it returns.
  int release() noexcept;
  // Closes the descriptor held, if any, and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int _fd = -1;
};

// open(2) retried on EINTR, O_CLOEXEC added. An invalid Fd on failure, errno set.
Fd open_fd(const std::string& path, int flags, mode_t mode = 0);

// read(2) retried on EINTR: the bytes read, 0 at the end, -1 with errno set.
ssize_t read_some(int fd, void* buffer, std::size_t size);

// Writes all of `size` bytes, retrying EINTR and short writes. 0, or the errno of the
// write that failed.
int write_all(int fd, const void* data, std::size_t size);

// Both ends of a pipe(2), close-on-exec.
struct Pipe {
  Fd read;
  Fd write;
};

// A new pipe. Throws SystemError ("cannot create a pipe: ...").
Pipe make_pipe();

}  // namespace pelmora
