#include "agent/platform/terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace pelmora {

void FdTerminal::write(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(out_fd_, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pfd{out_fd_, POLLOUT, 0};
        poll(&pfd, 1, -1);
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "cannot write to standard output");
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
}

std::optional<std::string> FdTerminal::read_line(const WakeHook& wake) {
  if (in_fd_ < 0) at_end_ = true;  // poll(2) would wait forever on a negative fd
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (at_end_) {
      if (buffer_.empty()) return std::nullopt;
      std::string line;
      line.swap(buffer_);
      return line;
    }

    pollfd fds[2] = {{in_fd_, POLLIN, 0}, {wake.fd, POLLIN, 0}};
    const nfds_t count = wake.fd >= 0 ? 2 : 1;
    const int ready = poll(fds, count, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "cannot read standard input");
    }
    if (count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && wake.on_wake) {
      wake.on_wake();
    }
    if ((fds[0].revents & POLLNVAL) != 0) {
      at_end_ = true;
      continue;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;

    char chunk[4096];
    const ssize_t got = ::read(in_fd_, chunk, sizeof chunk);
    if (got > 0) {
      buffer_.append(chunk, static_cast<size_t>(got));
    } else if (got == 0) {
      at_end_ = true;
    } else if (errno == EBADF || errno == EIO) {
      // No input at all (closed descriptor, or a terminal that went away): end of input.
      at_end_ = true;
    } else if (errno != EINTR && errno != EAGAIN) {
      throw std::system_error(errno, std::generic_category(), "cannot read standard input");
    }
  }
}

Terminal& standard_terminal() {
  static FdTerminal terminal(STDIN_FILENO, STDOUT_FILENO);
  return terminal;
}

}  // namespace pelmora
