#include "agent/platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace pelmora {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);

// The only state the handler touches.
std::atomic<std::atomic<bool>*> g_running{nullptr};
std::atomic<int> g_owed{0};
std::atomic<int> g_wake_write_fd{-1};

extern "C" void stop_handler(int) {
  const int saved_errno = errno;
  if (std::atomic<bool>* running = g_running.load()) running->store(false);
  g_owed.fetch_add(1);
  const int fd = g_wake_write_fd.load();
  if (fd >= 0) {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this byte.
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  }
  errno = saved_errno;
}

class PosixStopSignals final : public StopSignals {
 public:
  PosixStopSignals() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
      read_fd_ = fds[0];
      g_wake_write_fd.store(fds[1]);
    }
    // Without a pipe the stop still works; lines are then printed at the loop's next step.
  }
  PosixStopSignals(const PosixStopSignals&) = delete;
  PosixStopSignals& operator=(const PosixStopSignals&) = delete;

  void install(std::atomic<bool>& running, bool with_sigterm) override {
    if (installed_) throw std::logic_error("stop handler already installed");
    g_owed.store(0);
    drain();
    g_running.store(&running);

    struct sigaction action {};
    action.sa_handler = stop_handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);

    if (sigaction(SIGINT, &action, &saved_int_) != 0) {
      const int err = errno;
      g_running.store(nullptr);
      throw std::system_error(err, std::generic_category(), "cannot install SIGINT handler");
    }
    has_saved_term_ = false;
    if (with_sigterm) {
      if (sigaction(SIGTERM, &action, &saved_term_) != 0) {
        const int err = errno;
        sigaction(SIGINT, &saved_int_, nullptr);
        g_running.store(nullptr);
        throw std::system_error(err, std::generic_category(), "cannot install SIGTERM handler");
      }
      has_saved_term_ = true;
    }
    installed_ = true;
  }

  void restore() override {
    if (!installed_) return;
    sigaction(SIGINT, &saved_int_, nullptr);
    if (has_saved_term_) sigaction(SIGTERM, &saved_term_, nullptr);
    has_saved_term_ = false;
    installed_ = false;
    // A signal that came before the restore has already run the handler; the flag it
    // cleared stays cleared.
    g_running.store(nullptr);
  }

  int wake_fd() const override { return read_fd_; }

  int take_owed_lines() override {
    drain();
    return g_owed.exchange(0);
  }

 private:
  void drain() {
    if (read_fd_ < 0) return;
    char buf[64];
    while (read(read_fd_, buf, sizeof buf) > 0) {
    }
  }

  int read_fd_ = -1;
  bool installed_ = false;
  bool has_saved_term_ = false;
  struct sigaction saved_int_ {};
  struct sigaction saved_term_ {};
};

}  // namespace

std::string platform_identifier() {
#if defined(_WIN32)
  return "win32";
#elif defined(__linux__)
  return "linux";
#else
  return "unknown";
#endif
}

StopSignals& system_stop_signals() {
  static PosixStopSignals signals;
  return signals;
}

}  // namespace pelmora
