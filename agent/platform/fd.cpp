#include "agent/platform/fd.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "agent/platform/errors.h"

namespace pelmora {

int Fd::release() noexcept {
  const int fd = _fd;
  _fd = -1;
  return fd;
}

void Fd::reset(int fd) noexcept {
  // close(2) is not retried: on Linux the descriptor is gone even when it reports EINTR.
  if (_fd >= 0) ::close(_fd);
  _fd = fd;
}

Fd open_fd(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return Fd(fd);
}

ssize_t read_some(int fd, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

int write_all(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw_system_error(errno, "cannot create a pipe");
  }
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

}  // namespace pelmora
