#include "service/slurm_runner.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/fd.h"
#include "agent/platform/files.h"
#include "agent/platform/subprocess.h"
#include "service/job_environment.h"
#include "service/log.h"
#include "service/output.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

constexpr std::size_t kMaxCommandOutput = 4 * 1024 * 1024;
constexpr std::size_t kReadChunk = 4 * 1024 * 1024;  // of an output file per look, while running

// How one run of a Slurm command went.
struct CommandResult {
  bool ran = false;   // it ran to its end; else `failure` says why not
  CommandOutput output;
  std::string failure;

  bool ok() const { return ran && output.status == 0; }
  // One line on what went wrong.
  std::string message(const std::string& name) const {
    if (!ran) return failure;
    return slurm_command_message(name, output.status, output.out, output.err);
  }
};

// Runs `args` (args[0] a path or a name on PATH) with the jobs' environment (plus `pass_env`), standard input
// /dev/null, in a process group of its own, and collects its output; after `timeout`
// seconds the group is killed.
CommandResult run_slurm_command(const std::vector<std::string>& args, double timeout,
                                const std::vector<std::string>& pass_env) {
  CommandResult result;
  auto program = find_program(args.at(0));
  if (!program) {
    result.failure = "cannot run " + args[0] + ": not found";
    return result;
  }
  SpawnOptions run;
  run.argv = args;
  run.argv[0] = *program;
  std::vector<std::string> pass = pass_env;
  pass.push_back("SLURM_CONF");
  run.env = job_environment(environ, pass);
  try {
    result.output = run_command(run, timeout, kMaxCommandOutput);
  } catch (const SpawnError& e) {
    result.failure = e.what();
    return result;
  }
  if (result.output.timed_out) {
    result.failure = args[0] + " did not finish within " +
                     std::to_string(static_cast<int>(timeout)) + " s";
  } else {
    result.ran = true;
  }
  return result;
}

// Whether the controller answered (an answer that refuses the request is one).
bool controller_answered(const CommandResult& result) {
  return result.ran && !controller_unreachable(result.output.err);
}

// The whole file from `offset` on, at most `limit` bytes; empty when it does not exist.
std::string read_from(const std::string& path, std::uint64_t offset, std::size_t limit) {
  // Opened afresh each time: on NFS, open is what brings a file's new size and contents
  // from other nodes (close-to-open consistency).
  Fd fd = open_fd(path, O_RDONLY);
  if (!fd.valid()) return {};
  std::string data;
  std::vector<char> buffer(64 * 1024);
  while (data.size() < limit) {
    std::size_t want = std::min(buffer.size(), limit - data.size());
    ssize_t n = pread(fd.get(), buffer.data(), want, static_cast<off_t>(offset + data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return data;
}

// When the file at `path` was made (its birth time, else its last change), as wall time;
// absent when it does not exist.
std::optional<double> file_made_at(const std::string& path) {
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) return std::nullopt;
  const auto& t = (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// A job handed to Slurm. `slurm_id` is set once, under the runner's _mutex (the poller only
// takes up jobs that have one); `cancelled` and `cancel_taken` are guarded by _mutex;
// everything from `events`
// on by `events`, which is held while events are reported, so that they keep their order
// whichever thread reports them.
struct SlurmRunner::Job : std::enable_shared_from_this<SlurmRunner::Job> {
  Job(const LaunchSpec& job, RunnerEvents& runner_events, const SlurmRunnerOptions& options,
      std::int64_t first_index = 0)
      : spec(job),
        output(spec, runner_events, options.batch_lines, first_index),
        splitters{LineSplitter(options.max_line_bytes), LineSplitter(options.max_line_bytes)} {}

  LaunchSpec spec;
  std::string slurm_id;  // empty while sbatch runs
  std::vector<std::string> resource_args;  // for sbatch
  bool cancelled = false;     // a cancel was asked for
  bool cancel_taken = false;  // scancel succeeded: Slurm ends the job as cancelled
  bool resumed = false;  // left by a previous service, followed again

  std::mutex events;
  bool ended = false;    // on_finished was reported or is being reported, or it was released
  bool started = false;  // on_started was reported
  std::string last_state;  // as squeue last showed it
  std::string reason;      // why it waits, as last reported with on_waiting
  std::string never_runs;  // the pending reason that says it never will: it is being cancelled
  double gone_since = 0;   // monotonic time it was first seen out of the queue; 0: in it
  OutputBatcher output;
  LineSplitter splitters[2];
  // Per stream: bytes read from its file, and bytes handed on as entries (the rest waits
  // in the splitter as an unfinished line).
  std::uint64_t offsets[2] = {0, 0};
  std::uint64_t handed_on[2] = {0, 0};

  std::string file(const char* name) const { return join_path(spec.work_dir, name); }
};

SlurmRunner::SlurmRunner(SlurmRunnerOptions options, RunnerEvents& events, Clock& clock)
    : _options(std::move(options)), _events(events), _clock(clock) {
  _poller = std::thread([this] { _poll_loop(); });
  _submitter = std::thread([this] { _submit_loop(); });
  _canceller = std::thread([this] { _cancel_loop(); });
}

SlurmRunner::~SlurmRunner() {
  stop_all();
  {
    std::lock_guard lock(_mutex);
    _quit = true;
  }
  _changed.notify_all();
  _poller.join();
  _submitter.join();
  _canceller.join();
}

void SlurmRunner::launch(const LaunchSpec& spec) {
  auto fail = [&](const std::string& error) {
    _events.on_finished(spec, JobOutcome{std::nullopt, error});
  };
  std::vector<std::string> resource_args;
  try {
    resource_args = slurm_resource_args(spec.resources);
  } catch (const std::invalid_argument& e) {
    return fail(e.what());
  }
  auto job = std::make_shared<Job>(spec, _events, _options);
  job->resource_args = std::move(resource_args);
  {
    std::lock_guard lock(_mutex);
    if (_jobs.count(spec.job_id) != 0) {
      service_logger()->error("{}: launched twice", spec.job_id);
      return;
    }
    _jobs[spec.job_id] = job;
    _to_submit.push_back(job);
  }
  _changed.notify_all();
}

void SlurmRunner::_submit_loop() {
  while (true) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(_mutex);
      _changed.wait(lock, [this] { return _quit || !_to_submit.empty(); });
      if (_quit) return;
      job = _to_submit.front();
      _to_submit.pop_front();
    }
    _submit(job);
  }
}

void SlurmRunner::_submit(const std::shared_ptr<Job>& job) {
  const LaunchSpec& spec = job->spec;
  {
    std::lock_guard events(job->events);
    if (job->ended) return;  // released, or given up by stop_all, before its turn
  }
  auto give_up = [&](const std::string& error) {
    {
      std::lock_guard events(job->events);
      if (job->ended) return;  // stop_all gave up on it, or release_all let it go, meanwhile
      job->ended = true;
    }
    _events.on_finished(spec, JobOutcome{std::nullopt, error});
    _forget(*job);
  };
  // A job queued again after a restart may have been submitted by a service that stopped
  // before it could record the Slurm job id (on_submitted): that one goes.
  std::string id_file = job->file(kSlurmJobIdFile);
  if (auto previous = parse_slurm_job_id(read_from(id_file, 0, 64))) {
    service_logger()->info("{}: cancelling its earlier Slurm job {}", spec.job_id, *previous);
    _scancel({*previous});
  }
  for (const char* name : {kSlurmExitFile, kSlurmStdoutFile, kSlurmStderrFile, kSlurmJobIdFile}) {
    unlink(job->file(name).c_str());
  }
  std::string script = job->file(kSlurmScriptFile);
  try {
    write_private_file(script, slurm_batch_script(spec.job_id, spec.work_dir, _options.python),
                       false);
  } catch (const std::exception& e) {
    return give_up(e.what());
  }

  std::vector<std::string> args = sbatch_command(SbatchRequest{
      _options.sbatch, _options.sbatch_args, _options.partition, spec.job_id, spec.work_dir,
      job->resource_args});
  auto cancelled_or_quit = [&] {
    std::lock_guard lock(_mutex);
    return job->cancelled || _quit;
  };
  CommandResult result;
  for (bool warned = false;;) {
    if (cancelled_or_quit()) return give_up("cancelled");  // before Slurm has it
    result = run_slurm_command(args, _options.command_timeout, _options.pass_env);
    _heard_from_controller(controller_answered(result), result.message("sbatch"));
    if (!result.ran || result.ok() || !controller_unreachable(result.output.err)) break;
    if (!warned) {
      service_logger()->warn("{}: the Slurm controller cannot be reached; sbatch is tried again "
                             "every {} s: {}", spec.job_id, _options.poll_interval,
                             result.message("sbatch"));
      warned = true;
    }
    std::unique_lock lock(_mutex);
    wait_on_clock(_clock, _changed, lock, _options.poll_interval, _options.output_interval,
                  [this, &job] { return _quit || job->cancelled; });
  }
  auto parsed_id = result.ok() ? parse_slurm_job_id(result.output.out) : std::nullopt;
  if (!parsed_id) {
    std::string message = result.ok() ? sbatch_without_id_message(result.output.out)
                                      : result.message("sbatch");
    return give_up(message.size() > 1000 ? message.substr(0, 1000) : message);
  }
  const std::string slurm_id = *parsed_id;
  try {
    write_private_file(id_file, slurm_id + "\n", false);
  } catch (const std::exception& e) {
    service_logger()->warn("{}: {}", spec.job_id, e.what());
  }
  // Recorded even when the service stops meanwhile: the next one takes the job up by it.
  try {
    _events.on_submitted(spec, std::stol(slurm_id));
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its Slurm job {}: {}", spec.job_id, slurm_id, e.what());
  }
  {
    std::lock_guard lock(_mutex);
    job->slurm_id = slurm_id;
    _look_now = true;
    if (job->cancelled) _request_scancel(job);
  }
  service_logger()->info("{} submitted to Slurm as job {}", spec.job_id, slurm_id);
  _changed.notify_all();
}

bool SlurmRunner::resume(const LaunchSpec& spec, const ResumePoint& from) {
  if (from.pid <= 0) return false;
  auto job = std::make_shared<Job>(spec, _events, _options, from.next_index);
  job->resumed = true;
  job->started = from.started;
  for (int s = 0; s < 2; ++s) job->offsets[s] = job->handed_on[s] = from.stream_bytes[s];
  {
    std::lock_guard lock(_mutex);
    if (_jobs.count(spec.job_id) != 0) return false;
    job->slurm_id = std::to_string(from.pid);
    _jobs[spec.job_id] = job;
    _look_now = true;
  }
  _changed.notify_all();
  return true;
}

std::size_t SlurmRunner::release_all() {
  std::vector<std::shared_ptr<Job>> jobs;
  {
    std::lock_guard lock(_mutex);
    for (auto& [id, job] : _jobs) jobs.push_back(job);
  }
  std::size_t left = 0;
  for (auto& job : jobs) {
    {
      std::lock_guard events(job->events);
      if (job->ended) continue;  // its end is being reported right now
      job->ended = true;
    }
    ++left;
    _forget(*job);
  }
  service_logger()->info(
      "stopping: {} job{} left to the Slurm cluster, to be followed again at the next start", left,
      left == 1 ? "" : "s");
  return left;
}

void SlurmRunner::cancel(const std::string& job_id) {
  std::shared_ptr<Job> unsubmitted;
  {
    std::lock_guard lock(_mutex);
    auto it = _jobs.find(job_id);
    if (it == _jobs.end() || it->second->cancelled) return;
    it->second->cancelled = true;
    // Still in sbatch: the submitting thread asks for its scancel once it has an id.
    if (!it->second->slurm_id.empty()) _request_scancel(it->second);
    auto waiting = std::find(_to_submit.begin(), _to_submit.end(), it->second);
    if (waiting != _to_submit.end()) {
      unsubmitted = *waiting;
      _to_submit.erase(waiting);
    }
  }
  if (unsubmitted) {
    {
      std::lock_guard events(unsubmitted->events);
      if (unsubmitted->ended) return;
      unsubmitted->ended = true;
    }
    _events.on_finished(unsubmitted->spec, JobOutcome{std::nullopt, std::string("cancelled")});
    _forget(*unsubmitted);
  } else {
    _changed.notify_all();
  }
}

void SlurmRunner::_request_scancel(const std::shared_ptr<Job>& job) {
  if (std::find(_to_cancel.begin(), _to_cancel.end(), job) == _to_cancel.end()) {
    _to_cancel.push_back(job);
  }
}

void SlurmRunner::_cancel_loop() {
  bool warned = false;
  while (true) {
    std::vector<std::shared_ptr<Job>> jobs;
    {
      std::unique_lock lock(_mutex);
      _changed.wait(lock, [this] { return _quit || !_to_cancel.empty(); });
      if (_quit) return;
      jobs.assign(_to_cancel.begin(), _to_cancel.end());
    }
    bool unreachable = false;
    for (const auto& job : jobs) {
      {
        std::lock_guard events(job->events);
        if (job->ended) {  // ended, or released, meanwhile
          std::lock_guard lock(_mutex);
          std::erase(_to_cancel, job);
          continue;
        }
      }
      CommandResult result = run_slurm_command({_options.scancel, job->slurm_id},
                                               _options.command_timeout, _options.pass_env);
      _heard_from_controller(controller_answered(result), result.message("scancel"));
      if (!result.ok() && (!result.ran || controller_unreachable(result.output.err))) {
        if (!warned) {
          service_logger()->warn("{}: scancel of Slurm job {} is tried again every {} s until the "
                                 "controller takes it: {}", job->spec.job_id, job->slurm_id,
                                 _options.poll_interval, result.message("scancel"));
          warned = true;
        }
        unreachable = true;
        break;  // the others would wait for the controller the same way
      }
      if (result.ok()) {
        service_logger()->info("{}: Slurm took the cancel of its job {}", job->spec.job_id, job->slurm_id);
      } else {
        // Slurm refused it, mostly because the job has ended: it keeps its own outcome.
        service_logger()->info("{}: scancel of Slurm job {} refused: {}", job->spec.job_id,
                               job->slurm_id, result.message("scancel"));
      }
      std::lock_guard lock(_mutex);
      job->cancel_taken = result.ok();
      std::erase(_to_cancel, job);
      _look_now = true;
    }
    _changed.notify_all();
    if (!unreachable) {
      warned = false;
      continue;
    }
    std::unique_lock lock(_mutex);
    wait_on_clock(_clock, _changed, lock, _options.poll_interval, _options.output_interval,
                  [this] { return _quit; });
  }
}

bool SlurmRunner::_scancel(const std::vector<std::string>& slurm_ids) {
  if (slurm_ids.empty()) return true;
  std::vector<std::string> args = {_options.scancel};
  args.insert(args.end(), slurm_ids.begin(), slurm_ids.end());
  CommandResult result = run_slurm_command(args, _options.command_timeout, _options.pass_env);
  if (!result.ok()) service_logger()->warn("scancel failed: {}", result.message("scancel"));
  {
    std::lock_guard lock(_mutex);
    _look_now = true;
  }
  _changed.notify_all();
  return result.ok();
}

void SlurmRunner::stop_all() {
  std::vector<std::string> slurm_ids;
  std::vector<std::shared_ptr<Job>> asked;
  {
    std::lock_guard lock(_mutex);
    for (auto& [id, job] : _jobs) {
      if (job->cancel_taken) continue;
      job->cancelled = true;
      if (!job->slurm_id.empty()) {
        slurm_ids.push_back(job->slurm_id);
        asked.push_back(job);
      }
    }
  }
  if (_scancel(slurm_ids)) {
    std::lock_guard lock(_mutex);
    for (auto& job : asked) job->cancel_taken = true;
  }
  std::vector<std::pair<std::shared_ptr<Job>, std::string>> left;  // with its Slurm id
  {
    std::unique_lock lock(_mutex);
    wait_on_clock(_clock, _changed, lock, _options.stop_timeout, _options.output_interval,
                  [this] { return _jobs.empty(); });
    for (auto& [id, job] : _jobs) left.emplace_back(job, job->slurm_id);
  }
  for (auto& [job, slurm_id] : left) {
    bool ours;
    {
      std::lock_guard events(job->events);
      ours = !job->ended;
      job->ended = true;
    }
    if (ours) {
      service_logger()->warn("{}: Slurm did not end its job {} in time; no longer followed",
                             job->spec.job_id, slurm_id.empty() ? "(not submitted yet)" : slurm_id);
      try {
        _events.on_finished(job->spec, JobOutcome{std::nullopt, std::string("cancelled")});
      } catch (const std::exception& e) {
        service_logger()->error("{}: cannot record its end: {}", job->spec.job_id, e.what());
      }
      _forget(*job);
    } else {
      // Its end is being reported on another thread right now.
      std::unique_lock lock(_mutex);
      _changed.wait(lock, [this, waited = job] {
        auto it = _jobs.find(waited->spec.job_id);
        return it == _jobs.end() || it->second != waited;
      });
    }
  }
}

void SlurmRunner::_forget(const Job& job) {
  {
    std::lock_guard lock(_mutex);
    auto it = _jobs.find(job.spec.job_id);
    if (it != _jobs.end() && it->second.get() == &job) _jobs.erase(it);
  }
  _changed.notify_all();
}

void SlurmRunner::_heard_from_controller(bool answered, const std::string& problem) {
  std::lock_guard lock(_controller_mutex);
  _controller_answers = answered;
  _controller_heard = _clock.monotonic();
  _controller_problem = answered ? "" : problem;
}

nlohmann::json SlurmRunner::health() const {
  std::lock_guard lock(_controller_mutex);
  nlohmann::json controller{{"answers", nullptr}};
  std::string state = "unknown";
  if (_controller_answers) {
    controller["answers"] = *_controller_answers;
    controller["seconds_ago"] = std::max(0.0, _clock.monotonic() - _controller_heard);
    state = *_controller_answers ? "ok" : "controller unreachable";
    if (!*_controller_answers) controller["error"] = _controller_problem;
  }
  return {{"name", name()}, {"state", state}, {"controller", controller}};
}

void SlurmRunner::_poll_loop() {
  double next_queue_poll = 0;
  bool squeue_failing = false;
  bool idle = false;  // the last turn found no job to follow
  while (true) {
    std::vector<std::shared_ptr<Job>> jobs;
    {
      std::unique_lock lock(_mutex);
      // Idle, it sleeps until a job is handed over (_look_now) or the controller is due a
      // question.
      double wait = idle ? kControllerCheckSeconds
                         : std::min(_options.output_interval,
                                    std::max(0.0, next_queue_poll - _clock.monotonic()));
      _changed.wait_for(lock, std::chrono::duration<double>(wait),
                        [this] { return _quit || _look_now; });
      if (_quit) return;
      if (_look_now) next_queue_poll = 0;
      _look_now = false;
      for (auto& [id, job] : _jobs) {
        if (!job->slurm_id.empty()) jobs.push_back(job);
      }
    }
    double now = _clock.monotonic();
    idle = jobs.empty();
    if (jobs.empty()) {
      next_queue_poll = 0;
      bool stale;
      {
        std::lock_guard lock(_controller_mutex);
        stale = !_controller_answers || now - _controller_heard >= kControllerCheckSeconds;
      }
      // Nothing to follow: a cheap question keeps the health answer current.
      if (stale) {
        CommandResult result = run_slurm_command({_options.sinfo, "-h", "-o", "%R"},
                                                 _options.command_timeout, _options.pass_env);
        _heard_from_controller(controller_answered(result), result.message("sinfo"));
      }
      continue;
    }
    std::optional<std::map<std::string, SqueueEntry>> states;
    if (now >= next_queue_poll) {
      next_queue_poll = now + _options.poll_interval;
      std::string ids;
      for (const auto& job : jobs) ids += (ids.empty() ? "" : ",") + job->slurm_id;
      // "-t all": a job that has ended is listed with its final state for as long as the
      // controller remembers it.
      CommandResult result = run_slurm_command(
          {_options.squeue, "-h", "-t", "all", "-j", ids, "-o", kSqueueFormat},
          _options.command_timeout, _options.pass_env);
      _heard_from_controller(controller_answered(result), result.message("squeue"));
      if (result.ok() || (result.ran && squeue_forgot_job(result.output.err))) {
        states = parse_squeue(result.output.out);
        if (squeue_failing) service_logger()->info("squeue answers again");
        squeue_failing = false;
      } else if (!squeue_failing) {
        squeue_failing = true;
        service_logger()->warn("squeue failed (asking again every {} s): {}", _options.poll_interval,
                               result.message("squeue"));
      }
    }
    for (auto& job : jobs) _advance(*job, states ? &*states : nullptr, now);
  }
}

// One look at a job: what squeue said of it (`states`: absent when squeue was not asked
// this time, or failed), its new output, and its end.
void SlurmRunner::_advance(Job& job, const std::map<std::string, SqueueEntry>* states, double now) {
  std::unique_lock events(job.events);
  if (job.ended) return;
  if (!job.started) {
    // Slurm makes the output file as the job starts: its output is read from then on,
    // whatever squeue has said so far.
    if (auto made = file_made_at(job.file(kSlurmStdoutFile))) {
      job.started = true;
      _events.on_started_at(job.spec, std::stol(job.slurm_id), *made);
    }
  }
  if (states != nullptr) {
    auto it = states->find(job.slurm_id);
    std::string state = it != states->end() ? it->second.state : "";
    std::string reason = state == "PENDING" ? it->second.reason : "";
    if (reason == "None" || reason == "(null)") reason.clear();
    if (!state.empty()) job.last_state = state;
    if (is_active_state(state) && !job.started) {
      job.started = true;
      _events.on_started(job.spec, std::stol(job.slurm_id));
    }
    if (reason != job.reason && !job.started) {
      job.reason = reason;
      _events.on_waiting(job.spec, reason);
    }
    if (job.never_runs.empty() && never_runs_reason(reason)) {
      job.never_runs = reason;
      service_logger()->warn("{}: Slurm says its job {} can never run ({}); cancelling it",
                             job.spec.job_id, job.slurm_id, reason);
      {
        std::lock_guard lock(_mutex);
        _request_scancel(job.shared_from_this());
      }
      _changed.notify_all();
    }
    if (state.empty() || is_final_state(state)) {
      if (job.gone_since == 0) job.gone_since = now;
    } else {
      job.gone_since = 0;  // back in the queue (requeued)
    }
  } else if (job.gone_since == 0 && access(job.file(kSlurmExitFile).c_str(), F_OK) == 0) {
    // Without squeue the exit status tells the script has ended.
    job.gone_since = now;
  }
  if (job.started) _read_output(job, false);
  if (job.gone_since == 0) return;
  bool cancelled;
  {
    std::lock_guard lock(_mutex);
    cancelled = job.cancel_taken;
  }
  if (!cancelled && job.never_runs.empty() && now - job.gone_since < _options.exit_status_grace &&
      access(job.file(kSlurmExitFile).c_str(), F_OK) != 0) {
    return;  // its exit status may not have reached this machine yet
  }
  events.unlock();
  _finish(job);
}

void SlurmRunner::_read_output(Job& job, bool to_end) {
  static const char* const files[2] = {kSlurmStdoutFile, kSlurmStderrFile};
  std::vector<std::string> entries;
  for (int s = 0; s < 2; ++s) {
    while (true) {
      std::string data = read_from(job.file(files[s]), job.offsets[s], kReadChunk);
      job.offsets[s] += data.size();
      job.splitters[s].feed(data, entries);
      if (to_end && data.empty()) job.splitters[s].finish(entries);
      for (auto& content : entries) {
        // Where a restarted service goes on reading this stream once the entry is stored.
        job.handed_on[s] += content.size();
        job.output.add(s == 0 ? Stream::stdout_stream : Stream::stderr_stream, std::move(content),
                       job.handed_on[s]);
      }
      entries.clear();
      if (!to_end || data.empty()) break;
    }
  }
  job.output.flush();
}

void SlurmRunner::_finish(Job& job) {
  std::unique_lock events(job.events);
  if (job.ended) return;
  std::optional<int> status = parse_exit_status(read_from(job.file(kSlurmExitFile), 0, 64));
  struct stat st {};
  bool has_output = (stat(job.file(kSlurmStdoutFile).c_str(), &st) == 0 && st.st_size > 0) ||
                    (stat(job.file(kSlurmStderrFile).c_str(), &st) == 0 && st.st_size > 0);
  if (!job.started && (status || has_output)) {
    // It ran and ended between two looks.
    job.started = true;
    auto made = file_made_at(job.file(kSlurmStdoutFile));
    _events.on_started_at(job.spec, std::stol(job.slurm_id), made ? *made : _clock.wall());
  }
  if (job.started) _read_output(job, true);

  SlurmEnd end;
  end.exit_status = status;
  end.state = job.last_state;
  end.slurm_id = job.slurm_id;
  end.resumed = job.resumed;
  end.seen_in_queue = !job.last_state.empty();
  end.started = job.started;
  if (!status && !is_final_state(end.state) && find_program(_options.sacct)) {
    CommandResult result = run_slurm_command(
        {_options.sacct, "-j", job.slurm_id, "-n", "-X", "-P", "-o", "State,ExitCode"},
        _options.command_timeout, _options.pass_env);
    if (result.ok()) {
      if (auto record = parse_sacct(result.output.out)) {
        end.state = record->state;
        end.exit_code = record->exit_code;
      }
    }
  }
  JobOutcome outcome = slurm_outcome(end);
  bool cancelled;
  {
    std::lock_guard lock(_mutex);
    // Cancelled when Slurm took the cancel, or ended it so after a cancel was asked for.
    cancelled = job.cancelled && (job.cancel_taken || end.state == "CANCELLED");
  }
  if (cancelled) {
    outcome.error = "cancelled";
  } else if (!job.never_runs.empty() && !job.started) {
    outcome = JobOutcome{std::nullopt, "slurm: the job can never run as asked: " +
                                           explain_pending_reason(job.never_runs)};
  }
  job.ended = true;
  events.unlock();
  try {
    _events.on_finished(job.spec, outcome);
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its end: {}", job.spec.job_id, e.what());
  }
  // Only now: stop_all waits for the job to leave _jobs.
  _forget(job);
}

SlurmClusterCheck check_slurm_cluster(const SlurmRunnerOptions& options) {
  SlurmClusterCheck check;
  if (!find_program(options.sinfo)) {
    check.warning = "cannot check the Slurm cluster: " + options.sinfo + " not found";
    return check;
  }
  CommandResult result = run_slurm_command({options.sinfo, "-h", "-o", "%R"},
                                           options.command_timeout, options.pass_env);
  if (!result.ok()) {
    bool unreachable = !result.ran || controller_unreachable(result.output.err);
    check.warning = unreachable
                        ? "the Slurm controller does not answer (" + result.message("sinfo") +
                              "): jobs wait in the queue until it does"
                        : "cannot check the Slurm cluster: " + result.message("sinfo");
    return check;
  }
  if (options.partition.empty()) return check;
  auto partitions = parse_sinfo_partitions(result.output.out);
  if (std::find(partitions.begin(), partitions.end(), options.partition) == partitions.end()) {
    std::string known;
    for (const auto& name : partitions) known += (known.empty() ? "" : ", ") + name;
    check.refusal = "--slurm-partition " + options.partition +
                    ": the Slurm cluster has no such partition (it has: " +
                    (known.empty() ? "none" : known) + ")";
  }
  return check;
}

}  // namespace pelmora::service
