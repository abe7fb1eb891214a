#include "agent/platform/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "agent/platform/errors.h"
#include "agent/platform/fd.h"
#include "agent/platform/files.h"
#include "agent/platform/proc_parse.h"

namespace pelmora {

ProcessAttributes read_attributes(ProcessHandle& handle) {
  ProcessAttributes a;
  a.pid = handle.pid();
  a.name = handle.name();
  a.cmdline = handle.cmdline();
  a.cpu_percent = handle.cpu_percent();
  a.memory_percent = handle.memory_percent();
  a.username = handle.username();
  a.create_time = handle.create_time();
  return a;
}

namespace {

// An owned directory stream.
class Dir {
 public:
  explicit Dir(DIR* dir) : dir_(dir) {}
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Reads the whole of `path` (relative to `dirfd`) into `out`. Returns 0 or the errno.
// With `one_record`, a first read that leaves room in the buffer is taken as the whole
// file: true of proc files that the kernel renders in one piece, such as PID/stat.
int read_at(int dirfd, const char* path, std::string& out, bool one_record = false) {
  int fd;
  do {
    fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  Fd owner(fd);
  out.clear();
  std::size_t used = 0;
  if (out.capacity() < 1024) out.reserve(1024);
  while (true) {
    out.resize(std::max(out.capacity(), used + 512));
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      out.clear();
      return err;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (one_record && used < out.size()) break;
  }
  out.resize(used);
  return 0;
}

bool is_gone(int err) { return err == ENOENT || err == ESRCH; }

bool all_digits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

}  // namespace

std::string user_name_of(std::uint32_t uid) {
  passwd pw{};
  passwd* found = nullptr;
  std::vector<char> buf(4096);
  while (true) {
    const int rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc == 0 && found != nullptr) return found->pw_name;
    return std::to_string(uid);
  }
}

ProcessOpening ProcessTable::open_process(int, double, std::uint32_t) {
  ProcessOpening result;
  result.error = ENOTSUP;
  return result;
}

namespace {

// The last CPU sample of one process, and what it takes to tell at the next enumeration
// whether the process has run since.
struct Sample {
  ProcStat stat;             // the stat line of the sample: its CPU times and start time
  double scaled_time = 0.0;  // monotonic seconds * CPU count
  // The CPU time of the process's only thread, read just before `stat` (when has_runtime);
  // with one thread, an unchanged runtime means that nothing in `stat` that only the
  // process itself moves (CPU times, memory, name, thread count) has changed.
  std::uint64_t runtime = 0;
  int pid = 0;
  Fd schedstat;  // PID/schedstat, kept open while the process has one thread
  bool has_runtime = false;
};

class LinuxProcessTable;

class LinuxHandle final : public ProcessHandle {
 public:
  LinuxHandle(LinuxProcessTable& table, int root_fd, int pid, const ProcStat* stat,
              std::optional<double> cpu)
      : table_(table), root_fd_(root_fd), pid_(pid), stat_(stat), cpu_(cpu) {}

  int pid() const override { return pid_; }
  std::optional<std::string> name() override;
  std::optional<std::vector<std::string>> cmdline() override;
  std::optional<double> cpu_percent() override { return cpu_; }
  std::optional<double> memory_percent() override;
  bool memory_percent_reaches(double threshold) override;
  std::optional<std::string> username() override;
  std::optional<double> create_time() override;
  std::optional<std::string> cwd() override;
  std::uint64_t memory_rss() override;

 private:
  // The process's directory, opened on first use and checked to be the same process as
  // the enumeration saw (same start time), so later reads cannot reach a reused pid.
  int dir();
  // One file of the process: its text, std::nullopt when access is refused. Throws
  // ProcessGoneError.
  std::optional<std::string> read(const char* file);

  LinuxProcessTable& table_;
  int root_fd_;
  int pid_;
  const ProcStat* stat_;
  std::optional<double> cpu_;
  Fd dir_;
  bool name_done_ = false;
  std::optional<std::string> name_;
  bool cmdline_done_ = false;
  std::optional<std::vector<std::string>> cmdline_;
  bool username_done_ = false;
  std::optional<std::string> username_;
  bool cwd_done_ = false;
  std::optional<std::string> cwd_;
  bool memory_done_ = false;
  std::optional<double> memory_percent_;
};

class LinuxProcessTable final : public ProcessTable {
 public:
  LinuxProcessTable(std::string root, Clock& clock)
      : root_(std::move(root)),
        clock_(clock),
        clock_ticks_(static_cast<double>(::sysconf(_SC_CLK_TCK))),
        page_size_(static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE))) {
    // The resident count in stat is the kernel's quick read of per-CPU counters, which can
    // be off by up to the counter batch (at least 32 pages) per CPU for each of the three
    // counters it adds up; statm gives the exact sum. Twice that bound, to be safe.
    const auto cpus = static_cast<std::uint64_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_CONF)));
    rss_error_pages_ = 2 * 3 * std::max<std::uint64_t>(32, 2 * cpus) * cpus;
  }

  void for_each_process(const std::function<void(ProcessHandle&)>& visit) override {
    enumerate(&visit);
  }
  void prime() override { enumerate(nullptr); }
  int own_pid() const override { return static_cast<int>(::getpid()); }

  ProcessOpening open_process(int pid, double create_time, std::uint32_t uid) override {
    const auto boot = boot_time();
    ProcessOpening result;
    if (!boot || create_time == 0.0) {
      result.error = ENODATA;  // the start time was never known
      return result;
    }
    if (!(create_time >= *boot)) {
      result.status = OpenStatus::replaced;  // no start time this table could have given
      return result;
    }
    // The tick count whose create_time() is `create_time`, exactly as the handle computes it.
    const auto ticks =
        static_cast<std::uint64_t>(std::llround((create_time - *boot) * clock_ticks_));
    if (static_cast<double>(ticks) / clock_ticks_ + *boot != create_time) {
      result.status = OpenStatus::replaced;
      return result;
    }
    return open_checked_process(root_, pid, ticks, uid);
  }

  std::uint64_t page_size() const { return page_size_; }
  std::uint64_t rss_error_pages() const { return rss_error_pages_; }
  double clock_ticks() const { return clock_ticks_; }

  // MemTotal in bytes, read once.
  std::optional<std::uint64_t> total_memory() {
    if (!total_memory_) {
      std::string text;
      if (read_at(AT_FDCWD, (root_ + "/meminfo").c_str(), text) == 0) {
        total_memory_ = parse_meminfo_total_bytes(text);
      }
      if (!total_memory_ || *total_memory_ == 0) return std::nullopt;
    }
    return total_memory_;
  }

  // Boot time in seconds since the epoch, read once.
  std::optional<double> boot_time() {
    if (!boot_time_) {
      std::string text;
      if (read_at(AT_FDCWD, (root_ + "/stat").c_str(), text) == 0) {
        if (auto bt = parse_boot_time(text)) boot_time_ = static_cast<double>(*bt);
      }
    }
    return boot_time_;
  }

 private:
  void enumerate(const std::function<void(ProcessHandle&)>* visit) {
    int fd;
    do {
      fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int err = errno;
      throw FileError(err, root_ + ": " + errno_text(err));
    }
    Dir dir(::fdopendir(fd));
    if (dir.get() == nullptr) {
      const int err = errno;
      ::close(fd);
      throw FileError(err, root_ + ": " + errno_text(err));
    }
    const int root_fd = ::dirfd(dir.get());

    pids_.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
      if (!all_digits(entry->d_name)) continue;
      int pid = 0;
      const char* end = entry->d_name + std::strlen(entry->d_name);
      if (std::from_chars(entry->d_name, end, pid).ec == std::errc()) pids_.push_back(pid);
    }
    if (errno != 0) {
      const int err = errno;
      throw FileError(err, root_ + ": " + errno_text(err));
    }
    std::sort(pids_.begin(), pids_.end());

    const int cpu_count = std::max(1, static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
    const std::size_t fd_budget = kept_fd_budget();
    next_.clear();
    next_.reserve(pids_.size());
    std::size_t old = 0;
    int reached = -1;
    // The new samples replace the old ones, which drops the processes no longer listed.
    // When a visit throws, the processes not reached yet keep their old samples.
    struct Commit {
      LinuxProcessTable& t;
      const int& reached;
      const int unwinding = std::uncaught_exceptions();
      ~Commit() {
        if (std::uncaught_exceptions() > unwinding) {
          for (Sample& s : t.samples_) {
            if (s.pid > reached) t.next_.push_back(std::move(s));
          }
        }
        t.samples_.swap(t.next_);
        t.next_.clear();
        t.kept_fds_ = 0;
        for (const Sample& s : t.samples_) t.kept_fds_ += s.schedstat.valid() ? 1 : 0;
      }
    } commit{*this, reached};

    char path[32];
    for (const int pid : pids_) {
      reached = pid;
      while (old < samples_.size() && samples_[old].pid < pid) ++old;
      Sample* prev = old < samples_.size() && samples_[old].pid == pid ? &samples_[old] : nullptr;
      const double now = clock_.monotonic() * cpu_count;

      // A process with one thread whose runtime has not moved has not run: its last stat
      // line still holds, and reading it again (the costly part of a scan) is skipped.
      Fd schedstat;
      std::optional<std::uint64_t> runtime;
      if (prev != nullptr && prev->stat.num_threads == 1) {
        schedstat = std::move(prev->schedstat);
        if (!schedstat.valid() && kept_fds_ < fd_budget) {
          std::snprintf(path, sizeof path, "%d/schedstat", pid);
          schedstat.reset(::openat(root_fd, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
          if (schedstat.valid()) ++kept_fds_;
        }
        if (schedstat.valid()) {
          runtime = read_runtime(schedstat.get());
          if (!runtime) schedstat.reset();  // the process has ended
        }
        if (runtime && prev->has_runtime && prev->runtime == *runtime) {
          Sample& same = next_.emplace_back(std::move(*prev));
          same.scaled_time = now;
          same.schedstat = std::move(schedstat);
          if (visit != nullptr) {
            LinuxHandle handle(*this, root_fd, pid, &same.stat, 0.0);
            (*visit)(handle);
          }
          continue;
        }
      }

      std::snprintf(path, sizeof path, "%d/stat", pid);
      const int err = read_at(root_fd, path, buf_, /*one_record=*/true);
      std::optional<ProcStat> stat;
      std::optional<double> cpu;
      if (err == 0) {
        stat = parse_proc_stat(buf_);
        if (!stat) continue;  // read while the process was being torn down
        cpu = 0.0;
        if (prev != nullptr && prev->stat.starttime == stat->starttime) {
          cpu = cpu_percent_between(seconds(prev->stat.utime), seconds(prev->stat.stime),
                                    seconds(stat->utime), seconds(stat->stime),
                                    prev->scaled_time, now, cpu_count);
        }
        Sample& next = next_.emplace_back();
        next.pid = pid;
        next.stat = *stat;
        next.scaled_time = now;
        if (stat->num_threads == 1 && runtime) {
          next.runtime = *runtime;
          next.has_runtime = true;
          next.schedstat = std::move(schedstat);
        }
      } else if (is_gone(err)) {
        continue;
      }
      // Else the stat file is closed to us: the process is listed with no attributes.
      if (visit != nullptr) {
        LinuxHandle handle(*this, root_fd, pid, stat ? &*stat : nullptr, cpu);
        (*visit)(handle);
      }
    }
  }

  double seconds(std::uint64_t ticks) const { return static_cast<double>(ticks) / clock_ticks_; }

  // The runtime in a kept PID/schedstat; std::nullopt once the process has ended (its pid
  // may name another process by now, but the open file stays with the old one).
  static std::optional<std::uint64_t> read_runtime(int fd) {
    char text[128];
    ssize_t n;
    do {
      n = ::pread(fd, text, sizeof text, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return std::nullopt;
    return parse_schedstat_runtime(std::string_view(text, static_cast<std::size_t>(n)));
  }

  // How many schedstat files the table may keep open: the open-file limit less a reserve
  // for the rest of the program.
  static std::size_t kept_fd_budget() {
    constexpr rlim_t kReserve = 256;
    constexpr rlim_t kMost = 1 << 16;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= kReserve) return 0;
    return static_cast<std::size_t>(std::min(limit.rlim_cur - kReserve, kMost));
  }

  std::string root_;
  Clock& clock_;
  double clock_ticks_;
  std::uint64_t page_size_;
  std::uint64_t rss_error_pages_ = 0;
  std::optional<std::uint64_t> total_memory_;
  std::optional<double> boot_time_;
  std::vector<int> pids_;
  std::vector<Sample> samples_;  // by ascending pid: the last sample of every listed process
  std::vector<Sample> next_;
  std::size_t kept_fds_ = 0;  // schedstat files open in samples_
  std::string buf_;
};

int LinuxHandle::dir() {
  if (dir_.valid()) return dir_.get();
  char path[16];
  std::snprintf(path, sizeof path, "%d", pid_);
  int fd;
  do {
    fd = ::openat(root_fd_, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw ProcessGoneError(pid_);
  Fd owner(fd);
  if (stat_ != nullptr) {
    std::string text;
    const int err = read_at(fd, "stat", text);
    if (err != 0) throw ProcessGoneError(pid_);
    const auto now = parse_proc_stat(text);
    if (!now || now->starttime != stat_->starttime) throw ProcessGoneError(pid_);
  }
  dir_ = std::move(owner);
  return dir_.get();
}

std::optional<std::string> LinuxHandle::read(const char* file) {
  std::string text;
  const int err = read_at(dir(), file, text);
  if (err == 0) return text;
  if (is_gone(err)) throw ProcessGoneError(pid_);
  return std::nullopt;
}

std::optional<std::string> LinuxHandle::name() {
  if (!name_done_) {
    if (stat_ != nullptr) {
      if (name_may_be_cut(stat_->comm)) {
        const auto args = cmdline();
        name_ = args ? process_name(stat_->comm, *args) : stat_->comm;
      } else {
        name_ = stat_->comm;
      }
    }
    name_done_ = true;
  }
  return name_;
}

std::optional<std::vector<std::string>> LinuxHandle::cmdline() {
  if (!cmdline_done_) {
    if (auto data = read("cmdline")) cmdline_ = parse_cmdline(*data);
    cmdline_done_ = true;
  }
  return cmdline_;
}

std::optional<double> LinuxHandle::memory_percent() {
  if (!memory_done_) {
    if (const auto total = table_.total_memory()) {
      if (const auto text = read("statm")) {
        if (const auto pages = parse_statm_resident_pages(*text)) {
          const auto rss = static_cast<double>(*pages * table_.page_size());
          memory_percent_ = (rss / static_cast<double>(*total)) * 100.0;
        }
      }
    }
    memory_done_ = true;
  }
  return memory_percent_;
}

bool LinuxHandle::memory_percent_reaches(double threshold) {
  if (!memory_done_ && stat_ != nullptr) {
    // Decided from the stat line already read when even its largest possible error cannot
    // bring the process up to the threshold.
    if (const auto total = table_.total_memory()) {
      const auto bound = static_cast<double>((stat_->rss_pages + table_.rss_error_pages()) *
                                             table_.page_size());
      if ((bound / static_cast<double>(*total)) * 100.0 < threshold) return false;
    }
  }
  return memory_percent().value_or(0.0) >= threshold;
}

std::optional<std::string> LinuxHandle::username() {
  if (!username_done_) {
    if (auto text = read("status")) {
      if (auto uid = parse_status_real_uid(*text)) username_ = user_name_of(*uid);
    }
    username_done_ = true;
  }
  return username_;
}

std::optional<double> LinuxHandle::create_time() {
  if (stat_ == nullptr) return std::nullopt;
  const auto boot = table_.boot_time();
  if (!boot) return std::nullopt;
  return static_cast<double>(stat_->starttime) / table_.clock_ticks() + *boot;
}

std::optional<std::string> LinuxHandle::cwd() {
  if (!cwd_done_) {
    const int fd = dir();
    std::string target(4096, '\0');
    while (true) {
      const ssize_t n = ::readlinkat(fd, "cwd", target.data(), target.size());
      if (n < 0) break;
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target.front() == '/') cwd_ = std::move(target);
        break;
      }
      target.resize(target.size() * 2);
    }
    cwd_done_ = true;
  }
  return cwd_;
}

std::uint64_t LinuxHandle::memory_rss() {
  const auto text = read("statm");
  if (!text) throw std::runtime_error("memory of process " + std::to_string(pid_) +
                                      " cannot be read");
  const auto pages = parse_statm_resident_pages(*text);
  if (!pages) throw ProcessGoneError(pid_);
  return *pages * table_.page_size();
}

}  // namespace

std::unique_ptr<ProcessTable> make_linux_process_table(std::string root, Clock& clock) {
  return std::make_unique<LinuxProcessTable>(std::move(root), clock);
}

ProcessTable& linux_process_table() {
  static const std::unique_ptr<ProcessTable> table = make_linux_process_table();
  return *table;
}

std::optional<std::string> process_cwd(int pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
  std::string target(4096, '\0');
  while (true) {
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      if (target.empty() || target.front() != '/') return std::nullopt;
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace pelmora
