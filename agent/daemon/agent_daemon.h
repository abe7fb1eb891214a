#pragma once
// AgentDaemon: the watch agent. It scans the process table at a fixed interval, shows each
// new heavy Python process on the terminal, and offloads its script (with the local modules
// it imports) to the job service, at once in automatic mode or when the user says so.
//
//   AgentDaemon daemon({.threshold = 50, .auto_offload = true});
//   daemon.watch();  // until SIGINT or SIGTERM
//
// The daemon only observes the watched processes, unless stop_local asks it to end a process
// whose script it has submitted. All of its bookkeeping lives in memory for as long as the
// object lives. One daemon is used from one thread, the one that calls watch().

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/client/client.h"
#include "agent/platform/clock.h"
#include "agent/platform/process_table.h"
#include "agent/platform/signals.h"
#include "agent/platform/terminal.h"
#include "agent/platform/wait.h"
#include "agent/scanner/process_info.h"
#include "agent/scanner/process_scanner.h"

namespace pelmora {

// One process whose script was submitted. `submitted_at` and `status` take their defaults
// when the record is made from pid, script path and job id.
struct OffloadRecord {
  int pid = 0;
  std::string script_path;
  std::string job_id;
  double submitted_at = wall_clock_now();
  std::string status = "submitted";

  friend bool operator==(const OffloadRecord&, const OffloadRecord&) = default;
};

// What the offload flow hands to the job-service client (submit_code's keyword arguments).
struct SubmitRequest {
  std::string code;
  std::optional<std::string> file_path;
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
  bool fast = false;
  std::optional<std::string> gpu;
  std::optional<int> cpu;
  std::optional<std::string> memory;
  // The project form (agent/client/client.h): set when the agent offloads projects.
  std::optional<ProjectForm> project;
  // To be called now and then while the submission waits for the service (the daemon prints
  // owed stop lines from it); may be empty.
  std::function<void()> while_waiting;
};

// Submits one script and returns the service's answer object. May throw anything derived
// from std::exception; the offload flow reports it as a failed submission.
using SubmitFunction = std::function<nlohmann::json(const SubmitRequest&)>;

// The real submission: submit_code of agent/client/client.h.
nlohmann::json submit_with_client(const SubmitRequest& request);

// The constructor's arguments, for designated initializers. `auto_offload` stands for the
// option "auto" (a keyword in C++).
struct AgentOptions {
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
  bool fast = false;
  double threshold = 85.0;
  double interval = 2.0;
  bool auto_offload = false;
  std::optional<std::string> gpu;
  std::optional<int> cpu;
  std::optional<std::string> memory;
  // Processes for which this returns true are passed over silently, as if already offloaded
  // (the host leaves out the local job service's own jobs). Empty: none is left out.
  std::function<bool(const ProcessInfo&)> exclude;
  // Offload each script in the project form: its project, found from the process's working
  // directory, run with the arguments that follow the script on its command line.
  bool project = false;
  // Seconds a process must stay heavy, at every scan, before it is offered: it is handled
  // at the first scan that finds it heavy this long after the first of an unbroken run of
  // scans that did. 0: at the first scan that finds it heavy.
  double heavy_for = 0.0;
  // Only processes of the agent's own user (the scanner's username against the user name
  // of the agent's real uid); false: every user's.
  bool mine = false;
  // After a successful submission, end the local process: SIGTERM, then SIGKILL when it
  // still runs `stop_grace` seconds later. Only a process of the agent's own real uid whose
  // start time is still the one detected; one line says what was done.
  bool stop_local = false;
  double stop_grace = 10.0;
  // True when the caller has already resolved api_key and api_url (the pelmora command
  // does, once): they are kept as given instead of being resolved again. api_url must then
  // be present.
  bool credentials_resolved = false;
};

// The platform the daemon runs on. Every null member means the real one of this machine;
// tests put fakes in. Whatever is given must outlive the daemon.
struct AgentPlatform {
  ProcessTable* process_table = nullptr;  // linux_process_table()
  Terminal* terminal = nullptr;           // standard_terminal()
  Clock* clock = nullptr;                 // system_clock(): the loop's monotonic readings
  Sleeper* sleeper = nullptr;             // system_sleeper(): the pauses
  StopSignals* signals = nullptr;         // system_stop_signals()
  SubmitFunction submit;                  // submit_with_client
  std::optional<std::string> platform_id;  // platform_identifier()
  // A process's working directory, for the project form; empty: process_cwd.
  std::function<std::optional<std::string>(int pid)> process_cwd;
  // The agent's real uid, for stop_local and mine; empty: getuid().
  std::optional<std::uint32_t> uid;
};

class AgentDaemon {
 public:
  // Resolves the API key and base URL (agent/client/config.h) unless
  // options.credentials_resolved says the caller did, keeps the options, and makes
  // the scanner with `threshold` as both its CPU and memory threshold. No other effect: no
  // handler, thread, file or connection. No range is checked.
  // Throws: std::invalid_argument when `threshold` is NaN (the scanner cannot compare).
  explicit AgentDaemon(AgentOptions options = {}, AgentPlatform platform = {});
  // The same, by position, in the order of AgentOptions.
  AgentDaemon(std::optional<std::string> api_key_, std::optional<std::string> api_url_ = {},
              bool fast_ = false, double threshold_ = 85.0, double interval_ = 2.0,
              bool auto_offload_ = false, std::optional<std::string> gpu_ = {},
              std::optional<int> cpu_ = {}, std::optional<std::string> memory_ = {});

  AgentDaemon(const AgentDaemon&) = delete;
  AgentDaemon& operator=(const AgentDaemon&) = delete;

  // Runs until a stop signal (SIGINT, or SIGTERM on every platform but "win32") ends the
  // loop, then returns with the previous handlers back in force. Prints the banner, primes
  // the CPU samples and pauses 1 s, then ticks and waits `interval` seconds in 0.25-second
  // slices on the monotonic clock. A tick that fails is logged as "Scan tick failed: %s" on
  // the "pelmora.agent" logger and the loop goes on. Each signal prints
  // "\nStopping agent watch..." promptly, also while a question waits for its answer.
  // Throws: errors of the banner, the priming enumeration or the handler installation
  // (handlers are restored first); exceptions not derived from std::exception.
  void watch();

  // The user's options, as resolved.
  std::optional<std::string> api_key;
  std::string api_url;
  bool fast;
  double threshold;
  double interval;
  bool auto_offload;
  std::optional<std::string> gpu;
  std::optional<int> cpu;
  std::optional<std::string> memory;
  std::function<bool(const ProcessInfo&)> exclude;
  bool project;
  double heavy_for;
  bool mine;
  bool stop_local;
  double stop_grace;
  ProcessScanner scanner;

  // Bookkeeping: both only grow, keyed by process id alone.
  std::map<int, OffloadRecord> _offloaded;
  std::set<int> _ignored_pids;
  // Cleared by the stop handler (from a signal handler: hence atomic).
  std::atomic<bool> _running{false};
  // With heavy_for: the processes found heavy at the last scan (and neither offloaded,
  // ignored nor excluded), with the start of their run of heavy scans on the monotonic
  // clock. Rebuilt at every scan, so ended processes leave it.
  struct HeavySince {
    double create_time = 0.0;
    double since = 0.0;
  };
  std::map<int, HeavySince> _heavy_since;

  // ---- The steps of the loop and the dialogue; public so that tests can drive them ----

  // One scan; every process not yet offloaded, ignored or excluded goes to _handle.
  void _tick();
  // The stop handler's deferred half: prints one stop line per signal received so far.
  // Never throws (the line is lost when the output is gone).
  void _print_owed_stop_lines();
  void _print_banner();
  // The detection block (two lines, three with "Source"), with label and path escaped.
  static std::string _format_detection(const ProcessInfo& proc);
  void _print_detection(const ProcessInfo& proc);
  void _handle(const ProcessInfo& proc);
  void _prompt_offload(const ProcessInfo& proc);
  void _offload(const ProcessInfo& proc);
  // stop_local's part of an offload: ends the process and prints one line. Never throws
  // but for errors of the terminal.
  void _stop_local(const ProcessInfo& proc);

  // ".0f" and ".1f" as printf gives them (ties to even); "nan" for every NaN.
  static std::string format_fixed(double value, int decimals);
  // The answer rule: trimmed of (Unicode) white space, lower-cased.
  static std::string normalize_answer(std::string_view line);

 private:
  // Writes `text` after any owed stop lines.
  void say(std::string_view text);
  WakeHook wake_hook();
  // Waits up to `seconds` for `process` to end, printing owed stop lines meanwhile.
  bool wait_for_end(OpenedProcess& process, double seconds);
  // The name of the agent's user, read on first use.
  const std::string& own_user();

  ProcessTable& table_;
  Terminal& terminal_;
  Clock& clock_;
  Sleeper& sleeper_;
  StopSignals& signals_;
  SubmitFunction submit_;
  std::string platform_id_;
  std::function<std::optional<std::string>(int pid)> process_cwd_;
  std::uint32_t uid_;
  std::optional<std::string> own_user_;
};

}  // namespace pelmora
