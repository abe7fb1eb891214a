#include "service/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "service/state_dir.h"

namespace pelmora::service {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS jobs(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  id TEXT UNIQUE NOT NULL,
  owner TEXT NOT NULL,
  status TEXT NOT NULL,
  exit_code INTEGER,
  created_at REAL NOT NULL,
  started_at REAL,
  finished_at REAL,
  file_path TEXT,
  resources TEXT NOT NULL,
  fast INTEGER NOT NULL,
  error TEXT,
  pid INTEGER,
  cost REAL NOT NULL,
  runner TEXT,
  limits TEXT);
CREATE INDEX IF NOT EXISTS jobs_by_owner ON jobs(owner, seq);
CREATE INDEX IF NOT EXISTS jobs_by_status ON jobs(status, seq);
CREATE INDEX IF NOT EXISTS jobs_by_end ON jobs(finished_at);
CREATE TABLE IF NOT EXISTS output(
  job_seq INTEGER NOT NULL,
  idx INTEGER NOT NULL,
  stream INTEGER NOT NULL,
  content BLOB NOT NULL,
  PRIMARY KEY(job_seq, idx)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS stream_progress(
  job_seq INTEGER NOT NULL,
  stream INTEGER NOT NULL,
  position INTEGER NOT NULL,
  PRIMARY KEY(job_seq, stream)) WITHOUT ROWID;
)sql";

constexpr const char* kJobColumns =
    "seq, id, owner, status, exit_code, created_at, started_at, finished_at, file_path, "
    "resources, fast, error, pid, cost, runner, limits";

// One prepared statement, finalized when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3_stmt* stmt) : _stmt(stmt) {}
  ~Statement() { sqlite3_finalize(_stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return _stmt; }

  void bind(int i, const std::string& text) {
    sqlite3_bind_text(_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void bind_blob(int i, const std::string& bytes) {
    sqlite3_bind_blob(_stmt, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  void bind(int i, double value) { sqlite3_bind_double(_stmt, i, value); }
  void bind(int i, std::int64_t value) { sqlite3_bind_int64(_stmt, i, value); }
  template <class T>
  void bind(int i, const std::optional<T>& value) {
    if (value) {
      bind(i, *value);
    } else {
      sqlite3_bind_null(_stmt, i);
    }
  }

 private:
  sqlite3_stmt* _stmt;
};

std::string column_text(sqlite3_stmt* s, int i) {
  const void* data = sqlite3_column_blob(s, i);
  int size = sqlite3_column_bytes(s, i);
  if (data == nullptr) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

JobRecord read_job(sqlite3_stmt* s) {
  JobRecord job;
  job.seq = sqlite3_column_int64(s, 0);
  job.id = column_text(s, 1);
  job.owner = column_text(s, 2);
  job.status = column_text(s, 3);
  if (sqlite3_column_type(s, 4) != SQLITE_NULL) job.exit_code = sqlite3_column_int(s, 4);
  job.created_at = sqlite3_column_double(s, 5);
  if (sqlite3_column_type(s, 6) != SQLITE_NULL) job.started_at = sqlite3_column_double(s, 6);
  if (sqlite3_column_type(s, 7) != SQLITE_NULL) job.finished_at = sqlite3_column_double(s, 7);
  if (sqlite3_column_type(s, 8) != SQLITE_NULL) job.file_path = column_text(s, 8);
  job.resources = nlohmann::json::parse(column_text(s, 9), nullptr, false);
  if (!job.resources.is_object()) job.resources = nlohmann::json::object();
  job.fast = sqlite3_column_int(s, 10) != 0;
  if (sqlite3_column_type(s, 11) != SQLITE_NULL) job.error = column_text(s, 11);
  if (sqlite3_column_type(s, 12) != SQLITE_NULL) job.pid = static_cast<long>(sqlite3_column_int64(s, 12));
  job.cost = sqlite3_column_double(s, 13);
  if (sqlite3_column_type(s, 14) != SQLITE_NULL) job.runner = column_text(s, 14);
  if (sqlite3_column_type(s, 15) != SQLITE_NULL) {
    job.limits = nlohmann::json::parse(column_text(s, 15), nullptr, false);
    if (!job.limits.is_object()) job.limits = nullptr;
  }
  return job;
}

}  // namespace

bool is_terminal(const std::string& status) {
  return status == kCompleted || status == kFailed || status == kCancelled;
}

bool is_job_status(const std::string& text) {
  return text == kQueued || text == kRunning || is_terminal(text);
}

JobStore::JobStore(const std::string& path) {
  // SQLite makes the -wal and -shm files with the database's mode.
  try {
    make_private_file(path);
  } catch (const std::exception& e) {
    throw StoreError(std::string("cannot open the job database: ") + e.what());
  }
  int rc = sqlite3_open_v2(path.c_str(), &_db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    std::string message = _db != nullptr ? sqlite3_errmsg(_db) : sqlite3_errstr(rc);
    sqlite3_close(_db);
    _db = nullptr;
    throw StoreError("cannot open the job database " + path + ": " + message);
  }
  sqlite3_busy_timeout(_db, 5000);
  try {
    // Only takes effect on a new, empty database: deleted jobs' pages can then be given back
    // to the file system a few at a time (release_free_pages), where a full VACUUM would lock
    // the store for as long as it takes to rewrite the whole file. An older database keeps
    // its free pages and reuses them for new jobs, so it stops growing all the same.
    _exec("PRAGMA auto_vacuum=INCREMENTAL");
    _exec("PRAGMA journal_mode=WAL");
    _exec("PRAGMA synchronous=NORMAL");
    _exec(kSchema);
    _migrate();
    Statement s(_prepare("PRAGMA auto_vacuum"));
    if (sqlite3_step(s.get()) != SQLITE_ROW) _fail("read the vacuum mode");
    _incremental_vacuum = sqlite3_column_int(s.get(), 0) == 2;
  } catch (...) {
    sqlite3_close(_db);
    _db = nullptr;
    throw;
  }
}

JobStore::~JobStore() { sqlite3_close(_db); }

// A database from before a column existed gets it (NULL in the rows it already has).
void JobStore::_migrate() {
  bool has_runner = false;
  bool has_limits = false;
  {
    Statement s(_prepare("PRAGMA table_info(jobs)"));
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      if (column_text(s.get(), 1) == "runner") has_runner = true;
      if (column_text(s.get(), 1) == "limits") has_limits = true;
    }
    if (rc != SQLITE_DONE) _fail("read the table layout");
  }
  if (!has_runner) _exec("ALTER TABLE jobs ADD COLUMN runner TEXT");
  if (!has_limits) _exec("ALTER TABLE jobs ADD COLUMN limits TEXT");
}

void JobStore::_fail(const std::string& what) {
  throw StoreError("job database: " + what + ": " + sqlite3_errmsg(_db));
}

void JobStore::_exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : "unknown error";
    sqlite3_free(message);
    throw StoreError(std::string("job database: ") + text);
  }
}

sqlite3_stmt* JobStore::_prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(_db, sql, -1, &stmt, nullptr) != SQLITE_OK) _fail("prepare");
  return stmt;
}

void JobStore::insert(JobRecord& job) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare(
      "INSERT INTO jobs(id, owner, status, exit_code, created_at, started_at, finished_at, "
      "file_path, resources, fast, error, pid, cost, runner) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
  s.bind(1, job.id);
  s.bind(2, job.owner);
  s.bind(3, job.status);
  s.bind(4, job.exit_code ? std::optional<std::int64_t>(*job.exit_code) : std::nullopt);
  s.bind(5, job.created_at);
  s.bind(6, job.started_at);
  s.bind(7, job.finished_at);
  s.bind(8, job.file_path);
  s.bind(9, job.resources.dump());
  s.bind(10, std::int64_t{job.fast ? 1 : 0});
  s.bind(11, job.error);
  s.bind(12, job.pid ? std::optional<std::int64_t>(*job.pid) : std::nullopt);
  s.bind(13, job.cost);
  s.bind(14, job.runner);
  if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("insert job");
  job.seq = sqlite3_last_insert_rowid(_db);
}

std::optional<JobRecord> JobStore::get(const std::string& id) {
  std::lock_guard lock(_mutex);
  std::string sql = std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?";
  Statement s(_prepare(sql.c_str()));
  s.bind(1, id);
  int rc = sqlite3_step(s.get());
  if (rc == SQLITE_ROW) return read_job(s.get());
  if (rc != SQLITE_DONE) _fail("read job");
  return std::nullopt;
}

std::vector<JobRecord> JobStore::list(const std::string& owner, int limit,
                                      std::optional<std::int64_t> before_seq,
                                      const std::optional<std::string>& status) {
  std::lock_guard lock(_mutex);
  std::string sql = std::string("SELECT ") + kJobColumns +
                    " FROM jobs WHERE owner = ?1 AND seq < ?2 AND (?3 IS NULL OR status = ?3) "
                    "ORDER BY seq DESC LIMIT ?4";
  Statement s(_prepare(sql.c_str()));
  s.bind(1, owner);
  s.bind(2, before_seq.value_or(std::numeric_limits<std::int64_t>::max()));
  if (status) s.bind(3, *status);
  s.bind(4, std::int64_t{limit});
  std::vector<JobRecord> jobs;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) jobs.push_back(read_job(s.get()));
  if (rc != SQLITE_DONE) _fail("list jobs");
  return jobs;
}

std::map<std::pair<std::string, std::string>, std::int64_t>
JobStore::count_by_status_and_runner() {
  std::lock_guard lock(_mutex);
  Statement s(_prepare(
      "SELECT status, COALESCE(runner, ''), COUNT(*) FROM jobs GROUP BY status, runner"));
  std::map<std::pair<std::string, std::string>, std::int64_t> counts;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    counts[{column_text(s.get(), 0), column_text(s.get(), 1)}] += sqlite3_column_int64(s.get(), 2);
  }
  if (rc != SQLITE_DONE) _fail("count jobs");
  return counts;
}

std::vector<JobRecord> JobStore::with_status(const std::string& status) {
  std::lock_guard lock(_mutex);
  std::string sql =
      std::string("SELECT ") + kJobColumns + " FROM jobs WHERE status = ? ORDER BY seq";
  Statement s(_prepare(sql.c_str()));
  s.bind(1, status);
  std::vector<JobRecord> jobs;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) jobs.push_back(read_job(s.get()));
  if (rc != SQLITE_DONE) _fail("list jobs");
  return jobs;
}

double JobStore::credits_used(const std::string& owner) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("SELECT COALESCE(SUM(cost), 0) FROM jobs WHERE owner = ?"));
  s.bind(1, owner);
  if (sqlite3_step(s.get()) != SQLITE_ROW) _fail("sum credits");
  return sqlite3_column_double(s.get(), 0);
}

std::int64_t JobStore::queued_count(const std::string& owner) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("SELECT COUNT(*) FROM jobs WHERE owner = ? AND status = 'queued'"));
  s.bind(1, owner);
  if (sqlite3_step(s.get()) != SQLITE_ROW) _fail("count queued jobs");
  return sqlite3_column_int64(s.get(), 0);
}

bool JobStore::mark_running(const std::string& id, double started_at, long pid,
                            const std::string& runner) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare(
      "UPDATE jobs SET status = 'running', started_at = ?, pid = ?, runner = ? "
      "WHERE id = ? AND status = 'queued'"));
  s.bind(1, started_at);
  s.bind(2, std::int64_t{pid});
  s.bind(3, runner);
  s.bind(4, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("mark job running");
  return sqlite3_changes(_db) > 0;
}

void JobStore::set_limits(const std::string& id, const nlohmann::json& limits) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("UPDATE jobs SET limits = ? WHERE id = ?"));
  s.bind(1, limits.dump());
  s.bind(2, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("record job limits");
}

void JobStore::mark_submitted(const std::string& id, long pid, const std::string& runner) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare(
      "UPDATE jobs SET pid = ?, runner = ? WHERE id = ? AND status = 'queued'"));
  s.bind(1, std::int64_t{pid});
  s.bind(2, runner);
  s.bind(3, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("mark job submitted");
}

void JobStore::mark_finished(const std::string& id, const std::string& status,
                             std::optional<int> exit_code, double finished_at,
                             const std::optional<std::string>& error) {
  std::lock_guard lock(_mutex);
  std::optional<std::int64_t> code;
  if (exit_code) code = *exit_code;
  {
    Statement s(_prepare(
        "UPDATE jobs SET status = ?, exit_code = ?, finished_at = ?, error = ? "
        "WHERE id = ? AND status IN ('queued', 'running')"));
    s.bind(1, status);
    s.bind(2, code);
    s.bind(3, finished_at);
    s.bind(4, error);
    s.bind(5, id);
    if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("mark job finished");
  }
  if (sqlite3_changes(_db) > 0) return;
  Statement s(_prepare(
      "UPDATE jobs SET exit_code = ?, finished_at = ? WHERE id = ? AND status = 'cancelled'"));
  s.bind(1, code);
  s.bind(2, finished_at);
  s.bind(3, id);
  if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("mark job finished");
}

std::optional<std::string> JobStore::mark_cancelled(const std::string& id, double finished_at) {
  std::lock_guard lock(_mutex);
  _exec("BEGIN IMMEDIATE");
  try {
    std::optional<std::string> before;
    {
      Statement s(_prepare("SELECT status FROM jobs WHERE id = ?"));
      s.bind(1, id);
      int rc = sqlite3_step(s.get());
      if (rc == SQLITE_ROW) {
        before = column_text(s.get(), 0);
      } else if (rc != SQLITE_DONE) {
        _fail("read job");
      }
    }
    if (before && !is_terminal(*before)) {
      Statement s(_prepare(
          "UPDATE jobs SET status = 'cancelled', finished_at = ? WHERE id = ?"));
      s.bind(1, finished_at);
      s.bind(2, id);
      if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("cancel job");
    }
    _exec("COMMIT");
    return before;
  } catch (...) {
    sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void JobStore::append_output(std::int64_t seq, std::int64_t first_index,
                             const std::vector<OutputLine>& lines) {
  if (lines.empty()) return;
  std::lock_guard lock(_mutex);
  _exec("BEGIN IMMEDIATE");
  try {
    Statement s(_prepare("INSERT OR REPLACE INTO output(job_seq, idx, stream, content) "
                         "VALUES(?,?,?,?)"));
    std::int64_t index = first_index;
    std::optional<std::uint64_t> ends[2];
    for (const auto& line : lines) {
      sqlite3_reset(s.get());
      s.bind(1, seq);
      s.bind(2, index++);
      s.bind(3, std::int64_t{static_cast<int>(line.stream)});
      s.bind_blob(4, line.content);
      if (sqlite3_step(s.get()) != SQLITE_DONE) _fail("append output");
      if (line.stream_end) ends[static_cast<int>(line.stream)] = line.stream_end;
    }
    for (int stream = 0; stream < 2; ++stream) {
      if (!ends[stream]) continue;
      Statement p(_prepare(
          "INSERT INTO stream_progress(job_seq, stream, position) VALUES(?,?,?) "
          "ON CONFLICT(job_seq, stream) DO UPDATE SET position = MAX(position, excluded.position)"));
      p.bind(1, seq);
      p.bind(2, std::int64_t{stream});
      p.bind(3, static_cast<std::int64_t>(*ends[stream]));
      if (sqlite3_step(p.get()) != SQLITE_DONE) _fail("record output progress");
    }
    _exec("COMMIT");
  } catch (...) {
    sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::int64_t JobStore::output_count(std::int64_t seq) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("SELECT COALESCE(MAX(idx) + 1, 0) FROM output WHERE job_seq = ?"));
  s.bind(1, seq);
  if (sqlite3_step(s.get()) != SQLITE_ROW) _fail("count output");
  return sqlite3_column_int64(s.get(), 0);
}

std::array<std::uint64_t, 2> JobStore::stream_positions(std::int64_t seq) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("SELECT stream, position FROM stream_progress WHERE job_seq = ?"));
  s.bind(1, seq);
  std::array<std::uint64_t, 2> positions{0, 0};
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    int stream = sqlite3_column_int(s.get(), 0);
    std::int64_t position = sqlite3_column_int64(s.get(), 1);
    if ((stream == 0 || stream == 1) && position > 0) {
      positions[static_cast<std::size_t>(stream)] = static_cast<std::uint64_t>(position);
    }
  }
  if (rc != SQLITE_DONE) _fail("read output progress");
  return positions;
}

OutputPage JobStore::read_output(std::int64_t seq, std::int64_t offset, std::size_t max_entries,
                                 std::size_t max_bytes) {
  std::lock_guard lock(_mutex);
  Statement s(_prepare("SELECT idx, stream, content FROM output "
                       "WHERE job_seq = ? AND idx >= ? ORDER BY idx LIMIT ?"));
  s.bind(1, seq);
  s.bind(2, offset);
  s.bind(3, static_cast<std::int64_t>(max_entries) + 1);
  OutputPage page;
  page.next = offset;
  std::size_t bytes = 0;
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    std::string content = column_text(s.get(), 2);
    if (page.entries.size() >= max_entries ||
        (!page.entries.empty() && bytes + content.size() > max_bytes)) {
      page.more = true;
      break;
    }
    bytes += content.size();
    OutputEntry entry;
    entry.index = sqlite3_column_int64(s.get(), 0);
    entry.line.stream = sqlite3_column_int(s.get(), 1) == 1 ? Stream::stderr_stream
                                                             : Stream::stdout_stream;
    entry.line.content = std::move(content);
    page.next = entry.index + 1;
    page.entries.push_back(std::move(entry));
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) _fail("read output");
  return page;
}

std::vector<std::string> JobStore::delete_ended(double finished_before, std::size_t batch,
                                                const std::set<std::string>& skip) {
  std::lock_guard lock(_mutex);
  _exec("BEGIN IMMEDIATE");
  try {
    // Ended jobs have a finished_at; queued and running ones do not (a cancelled job gets
    // one when it is cancelled), and the status test makes sure of it.
    std::vector<std::pair<std::int64_t, std::string>> due;
    {
      Statement s(_prepare(
          "SELECT seq, id FROM jobs WHERE finished_at < ? "
          "AND status IN ('completed', 'failed', 'cancelled') ORDER BY finished_at, seq LIMIT ?"));
      s.bind(1, finished_before);
      // The skipped ones can be among the first: asking for that many more still fills a batch.
      s.bind(2, static_cast<std::int64_t>(batch + skip.size()));
      int rc;
      while ((rc = sqlite3_step(s.get())) == SQLITE_ROW && due.size() < batch) {
        std::string id = column_text(s.get(), 1);
        if (skip.count(id) == 0) due.emplace_back(sqlite3_column_int64(s.get(), 0), std::move(id));
      }
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) _fail("find ended jobs");
    }
    Statement output(_prepare("DELETE FROM output WHERE job_seq = ?"));
    Statement progress(_prepare("DELETE FROM stream_progress WHERE job_seq = ?"));
    Statement job(_prepare("DELETE FROM jobs WHERE seq = ?"));
    std::vector<std::string> deleted;
    deleted.reserve(due.size());
    for (auto& [seq, id] : due) {
      for (Statement* s : {&output, &progress, &job}) {
        sqlite3_reset(s->get());
        s->bind(1, seq);
        if (sqlite3_step(s->get()) != SQLITE_DONE) _fail("delete job " + id);
      }
      deleted.push_back(std::move(id));
    }
    _exec("COMMIT");
    return deleted;
  } catch (...) {
    sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::int64_t JobStore::release_free_pages(int pages) {
  std::lock_guard lock(_mutex);
  if (!_incremental_vacuum) return 0;
  std::string sql = "PRAGMA incremental_vacuum(" + std::to_string(std::max(pages, 1)) + ")";
  _exec(sql.c_str());
  Statement s(_prepare("PRAGMA freelist_count"));
  if (sqlite3_step(s.get()) != SQLITE_ROW) _fail("count free pages");
  return sqlite3_column_int64(s.get(), 0);
}

}  // namespace pelmora::service
