#pragma once
// A scripted process table for tests: every attribute of every process is optional, and
// the table counts what was read.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "agent/platform/process_table.h"

namespace pelmora::testing {

// One scripted process. An attribute left std::nullopt cannot be read (access refused).
struct FakeProcess {
  int pid = 0;
  std::optional<std::string> name;
  std::optional<std::vector<std::string>> cmdline;
  std::optional<double> cpu_percent;
  std::optional<double> memory_percent;
  std::optional<std::string> username;
  std::optional<double> create_time;
  std::optional<std::string> cwd;
  // Resident bytes; std::nullopt makes memory_rss() throw ProcessGoneError (the process
  // ended between the enumeration and the memory read).
  std::optional<std::uint64_t> rss;
  // The process ends while it is being read: every getter but pid() throws.
  bool gone = false;
};

class FakeProcessTable : public ProcessTable {
 public:
  FakeProcessTable() = default;
  explicit FakeProcessTable(std::vector<FakeProcess> processes_)
      : processes(std::move(processes_)) {}

  // Listed in ascending pid order whatever the order here.
  std::vector<FakeProcess> processes;
  int own = 999999;
  // When set, the table cannot be read: for_each_process and prime throw FileError(EACCES).
  bool unreadable = false;

  int enumerations = 0;
  int primes = 0;
  // How often each attribute was read, by name ("name", "cmdline", "cwd", "memory_rss", ...).
  std::map<std::string, int> reads;

  void for_each_process(const std::function<void(ProcessHandle&)>& visit) override {
    if (unreadable) throw FileError(EACCES, "Permission denied");
    ++enumerations;
    std::vector<const FakeProcess*> order;
    for (const auto& p : processes) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(),
                     [](const FakeProcess* a, const FakeProcess* b) { return a->pid < b->pid; });
    for (const FakeProcess* p : order) {
      Handle handle(*p, reads);
      visit(handle);
    }
  }

  void prime() override {
    if (unreadable) throw FileError(EACCES, "Permission denied");
    ++primes;
  }

  int own_pid() const override { return own; }

  // What open_process answers; unset: the base's answer (failed). Every call is kept.
  std::function<ProcessOpening(int pid, double create_time, std::uint32_t uid)> opener;
  struct OpenCall {
    int pid;
    double create_time;
    std::uint32_t uid;
  };
  std::vector<OpenCall> opens;
  ProcessOpening open_process(int pid, double create_time, std::uint32_t uid) override {
    opens.push_back({pid, create_time, uid});
    return opener ? opener(pid, create_time, uid) : ProcessTable::open_process(pid, create_time, uid);
  }

 private:
  class Handle : public ProcessHandle {
   public:
    Handle(const FakeProcess& p, std::map<std::string, int>& reads) : p_(p), reads_(reads) {}
    int pid() const override { return p_.pid; }
    std::optional<std::string> name() override { return get("name", p_.name); }
    std::optional<std::vector<std::string>> cmdline() override {
      return get("cmdline", p_.cmdline);
    }
    std::optional<double> cpu_percent() override { return get("cpu_percent", p_.cpu_percent); }
    std::optional<double> memory_percent() override {
      return get("memory_percent", p_.memory_percent);
    }
    std::optional<std::string> username() override { return get("username", p_.username); }
    std::optional<double> create_time() override { return get("create_time", p_.create_time); }
    std::optional<std::string> cwd() override { return get("cwd", p_.cwd); }
    std::uint64_t memory_rss() override {
      auto rss = get("memory_rss", p_.rss);
      if (!rss) throw ProcessGoneError(p_.pid);
      return *rss;
    }

   private:
    template <typename T>
    T get(const char* what, const T& value) {
      ++reads_[what];
      if (p_.gone) throw ProcessGoneError(p_.pid);
      return value;
    }
    const FakeProcess& p_;
    std::map<std::string, int>& reads_;
  };
};

}  // namespace pelmora::testing
