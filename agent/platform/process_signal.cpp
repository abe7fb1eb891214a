#include "agent/platform/process_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "agent/platform/fd.h"
#include "agent/platform/files.h"
#include "agent/platform/proc_parse.h"

namespace pelmora {
namespace {

// The stat line and real uid of process `pid`, or the errno that kept them from us.
struct ProcRead {
  int error = 0;
  std::optional<ProcStat> stat;
  std::optional<std::uint32_t> uid;
};

ProcRead read_proc(const std::string& proc_root, int pid, bool with_uid) {
  ProcRead out;
  const std::string dir = proc_root + "/" + std::to_string(pid);
  try {
    out.stat = parse_proc_stat(read_file_bytes(dir + "/stat"));
    if (with_uid) out.uid = parse_status_real_uid(read_file_bytes(dir + "/status"));
  } catch (const FileError& e) {
    out.error = e.error_code;
  }
  return out;
}

bool is_gone(int err) { return err == ENOENT || err == ESRCH; }

class PidfdProcess final : public OpenedProcess {
 public:
  PidfdProcess(int pid, Fd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  int pid() const override { return pid_; }
  int send(int sig) override {
    if (::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) == 0) return 0;
    return errno;
  }
  bool ended() override {
    pollfd p{pidfd_.get(), POLLIN, 0};
    int n;
    do {
      n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n > 0;
  }

 private:
  int pid_;
  Fd pidfd_;
};

// Without pidfd_open: the pid, checked against its start time before every use. A pid
// reused between the check and kill(2) is the race this cannot close.
class PidProcess final : public OpenedProcess {
 public:
  PidProcess(std::string proc_root, int pid, std::uint64_t start_ticks)
      : proc_root_(std::move(proc_root)), pid_(pid), start_ticks_(start_ticks) {}
  int pid() const override { return pid_; }
  int send(int sig) override {
    if (ended()) return ESRCH;
    return ::kill(pid_, sig) == 0 ? 0 : errno;
  }
  bool ended() override {
    const ProcRead now = read_proc(proc_root_, pid_, false);
    return !now.stat || now.stat->starttime != start_ticks_ || now.stat->state == 'Z';
  }

 private:
  std::string proc_root_;
  int pid_;
  std::uint64_t start_ticks_;
};

}  // namespace

ProcessOpening open_checked_process(const std::string& proc_root, int pid,
                                    std::uint64_t start_ticks, std::uint32_t uid) {
  ProcessOpening result;
  if (pid <= 0) {
    result.status = OpenStatus::gone;
    return result;
  }
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const int open_error = pidfd.valid() ? 0 : errno;
  if (is_gone(open_error)) {
    result.status = OpenStatus::gone;
    return result;
  }
  if (open_error != 0 && open_error != ENOSYS) {
    result.error = open_error;
    return result;
  }
  // Checked after the pidfd was taken: if the pid still names the process that started at
  // start_ticks now, it did when the pidfd was opened.
  const ProcRead now = read_proc(proc_root, pid, true);
  if (is_gone(now.error)) {
    result.status = OpenStatus::gone;
    return result;
  }
  if (now.error != 0 || !now.stat || !now.uid) {
    result.error = now.error != 0 ? now.error : EIO;
    return result;
  }
  if (now.stat->starttime != start_ticks) {
    result.status = OpenStatus::replaced;
    return result;
  }
  if (now.stat->state == 'Z') {
    result.status = OpenStatus::gone;
    return result;
  }
  if (*now.uid != uid) {
    result.status = OpenStatus::other_user;
    return result;
  }
  result.status = OpenStatus::opened;
  if (pidfd.valid()) {
    result.process = std::make_unique<PidfdProcess>(pid, std::move(pidfd));
  } else {
    result.process = std::make_unique<PidProcess>(proc_root, pid, start_ticks);
  }
  return result;
}

}  // namespace pelmora
