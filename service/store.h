#pragma once
// The job store: jobs and their output lines in one SQLite database (WAL mode), written as
// things happen so that a service killed at any moment loses nothing it had acknowledged.
//
// Thread-safe: one connection behind a mutex; every operation is one transaction.

#include <array>
#include <map>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct sqlite3;
struct sqlite3_stmt;

namespace pelmora::service {

// The database could not be opened, read or written. what() names the operation and
// carries SQLite's text.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Job states. Terminal: completed, failed, cancelled.
inline constexpr const char* kQueued = "queued";
inline constexpr const char* kRunning = "running";
inline constexpr const char* kCompleted = "completed";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kCancelled = "cancelled";

bool is_terminal(const std::string& status);
// One of the five states.
bool is_job_status(const std::string& text);

struct JobRecord {
  std::int64_t seq = 0;  // order of submission, given by the store
  std::string id;
  std::string owner;
  std::string status = kQueued;
  std::optional<int> exit_code;
  double created_at = 0.0;
  std::optional<double> started_at;
  std::optional<double> finished_at;
  std::optional<std::string> file_path;
  nlohmann::json resources = nlohmann::json::object();
  bool fast = false;
  std::optional<std::string> error;
  std::optional<long> pid;  // of the job's process (its process group leader) once started
  double cost = 1.0;
  // The runner that ran it ("local", "slurm"), once it was submitted or started; absent for
  // jobs of a service from before runners were recorded.
  std::optional<std::string> runner;
  // How its resources were limited, as its runner said (RunnerEvents::on_limits); null when
  // it said nothing.
  nlohmann::json limits;
};

enum class Stream { stdout_stream = 0, stderr_stream = 1 };

struct OutputLine {
  Stream stream = Stream::stdout_stream;
  std::string content;  // the line with its own line end, as bytes
  // Where the entry ends in its stream (bytes from the stream's start), for a runner that can
  // read a stream again from a position (Slurm's output files). Stored with the entry, in the
  // same transaction: see stream_positions. Not read back by read_output.
  std::optional<std::uint64_t> stream_end;
};

struct OutputEntry {
  std::int64_t index = 0;
  OutputLine line;
};

struct OutputPage {
  std::vector<OutputEntry> entries;
  std::int64_t next = 0;  // the offset to ask for next
  bool more = false;      // cut by the page limits: more entries follow at once
};

class JobStore {
 public:
  // Opens (creating when missing) the database at `path`, which gets mode 0600 (and so do
  // the -wal and -shm files SQLite makes beside it). Throws StoreError.
  explicit JobStore(const std::string& path);
  ~JobStore();
  JobStore(const JobStore&) = delete;
  JobStore& operator=(const JobStore&) = delete;

  // Adds a new job; its seq is filled in. Throws StoreError.
  void insert(JobRecord& job);

  std::optional<JobRecord> get(const std::string& id);

  // The owner's jobs, newest first, at most `limit`: only those older than the job of seq
  // `before_seq` when given, and only those in `status` when given.
  std::vector<JobRecord> list(const std::string& owner, int limit,
                              std::optional<std::int64_t> before_seq = std::nullopt,
                              const std::optional<std::string>& status = std::nullopt);

  // How many jobs there are of each (status, runner); a job not run yet has runner "".
  std::map<std::pair<std::string, std::string>, std::int64_t> count_by_status_and_runner();

  // All jobs in `status`, oldest first.
  std::vector<JobRecord> with_status(const std::string& status);

  // The sum of the costs of the owner's jobs.
  double credits_used(const std::string& owner);

  // How many of the owner's jobs are queued.
  std::int64_t queued_count(const std::string& owner);

  // queued → running, run by `runner` as `pid`. False when the job was no longer queued.
  bool mark_running(const std::string& id, double started_at, long pid, const std::string& runner);

  // Records how the job's resources are limited (JobRecord::limits).
  void set_limits(const std::string& id, const nlohmann::json& limits);

  // A queued job handed to `runner`'s own queue as `pid` (a Slurm job id); it stays queued.
  void mark_submitted(const std::string& id, long pid, const std::string& runner);

  // running (or queued) → `status` (completed or failed) with its exit code and error.
  // A job cancelled meanwhile stays cancelled and only gets its exit code and end time.
  void mark_finished(const std::string& id, const std::string& status,
                     std::optional<int> exit_code, double finished_at,
                     const std::optional<std::string>& error);

  // queued or running → cancelled. Returns the status the job had before (unchanged when it
  // was already terminal), or nothing for an unknown job.
  std::optional<std::string> mark_cancelled(const std::string& id, double finished_at);

  // Appends `lines` as entries first_index, first_index + 1, ... of the job, in one
  // transaction, together with the last stream_end of each stream among them.
  void append_output(std::int64_t seq, std::int64_t first_index,
                     const std::vector<OutputLine>& lines);

  // Per stream (by Stream), the greatest stream_end stored with the job's entries: where to
  // go on reading that stream with nothing lost and nothing repeated. 0 for a stream without.
  std::array<std::uint64_t, 2> stream_positions(std::int64_t seq);

  // The number of output entries of the job.
  std::int64_t output_count(std::int64_t seq);

  // Entries from `offset` on: at most `max_entries`, and no more once `max_bytes` of content
  // are reached (at least one entry when there is one).
  OutputPage read_output(std::int64_t seq, std::int64_t offset, std::size_t max_entries,
                         std::size_t max_bytes);

  // Deletes, in one transaction, at most `batch` ended jobs (completed, failed, cancelled)
  // whose finished_at is before `finished_before`, oldest end first, with everything stored
  // for them (output entries, output progress); jobs whose ids are in `skip` stay. Returns
  // the ids deleted: fewer than `batch` when no more are due. Queued and running jobs are
  // never deleted. Requires: batch > 0.
  std::vector<std::string> delete_ended(double finished_before, std::size_t batch,
                                        const std::set<std::string>& skip = {});

  // Gives up to `pages` free pages back to the file system (a database created with
  // incremental auto-vacuum; nothing happens for older ones) and returns how many free pages
  // are left to give back (always 0 for a database without it). One short write transaction.
  std::int64_t release_free_pages(int pages);

 private:
  void _migrate();
  void _exec(const char* sql);
  [[noreturn]] void _fail(const std::string& what);
  sqlite3_stmt* _prepare(const char* sql);

  sqlite3* _db = nullptr;
  bool _incremental_vacuum = false;
  std::mutex _mutex;
};

}  // namespace pelmora::service
