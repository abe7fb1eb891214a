#include "service/slurm_protocol.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

#include "agent/platform/files.h"
#include "service/output.h"
#include "service/resources.h"

namespace pelmora::service {
namespace {

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> nonempty_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = trim(std::string_view(text).substr(start, nl - start));
    if (!line.empty()) lines.push_back(std::move(line));
    start = nl + 1;
  }
  return lines;
}

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string first_word(const std::string& text) { return text.substr(0, text.find(' ')); }

// `text` quoted for the POSIX shell.
std::string sh_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted.push_back(c);
    }
  }
  return quoted + "'";
}

}  // namespace

std::string slurm_batch_script(const std::string& job_id, const std::string& work_dir,
                               const std::string& python) {
  std::string exit_file = sh_quote(kSlurmExitFile);
  std::string part_file = sh_quote(std::string(kSlurmExitFile) + ".part");
  return "#!/bin/sh\n"
         "# pelmora job " + job_id + "\n"
         "# Runs main.py here and leaves the interpreter's exit status in " + kSlurmExitFile + ".\n"
         "cd " + sh_quote(work_dir) + " || exit 1\n" +
         sh_quote(python) + " -u main.py </dev/null\n"
         "status=$?\n"
         "printf '%s\\n' \"$status\" > " + part_file + " && mv -f " + part_file + " " +
         exit_file + "\n"
         "exit \"$status\"\n";
}

std::vector<std::string> slurm_resource_args(const nlohmann::json& resources) {
  std::vector<std::string> args;
  if (!resources.is_object()) return args;
  if (resources.contains("cpu") && resources["cpu"].is_number_integer()) {
    auto cpu = resources["cpu"].get<long long>();
    if (cpu > 0) args.push_back("--cpus-per-task=" + std::to_string(cpu));
  }
  if (resources.contains("memory") && resources["memory"].is_string()) {
    if (auto bytes = parse_memory(resources["memory"].get<std::string>())) {
      constexpr std::uint64_t mib = 1024 * 1024;
      args.push_back("--mem=" + std::to_string((*bytes + mib - 1) / mib) + "M");
    }
  }
  if (resources.contains("gpu") && resources["gpu"].is_string()) {
    std::string gpu = resources["gpu"].get<std::string>();
    if (!gpu.empty()) {
      std::string type = gpu;
      std::string count = "1";
      if (all_digits(gpu)) {
        type.clear();
        count = gpu;
      } else if (auto colon = gpu.rfind(':'); colon != std::string::npos) {
        type = gpu.substr(0, colon);
        count = gpu.substr(colon + 1);
      }
      bool type_ok = std::all_of(type.begin(), type.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
      });
      if (!type_ok || (type.empty() && !all_digits(gpu)) || !all_digits(count) || count.size() > 4) {
        throw std::invalid_argument("GPU \"" + gpu +
                                    "\" cannot be asked of Slurm: give a count, a type, or TYPE:COUNT");
      }
      if (std::stoi(count) > 0) {
        args.push_back("--gres=gpu:" + (type.empty() ? "" : type + ":") +
                       std::to_string(std::stoi(count)));
      }
    }
  }
  return args;
}

std::vector<std::string> sbatch_command(const SbatchRequest& request) {
  std::vector<std::string> args = {request.sbatch, "--parsable"};
  args.insert(args.end(), request.extra_args.begin(), request.extra_args.end());
  if (!request.partition.empty()) args.push_back("--partition=" + request.partition);
  args.push_back("--job-name=pelmora-" + request.job_id);
  args.push_back("--chdir=" + request.work_dir);
  args.push_back("--output=" + join_path(request.work_dir, kSlurmStdoutFile));
  args.push_back("--error=" + join_path(request.work_dir, kSlurmStderrFile));
  args.insert(args.end(), request.resource_args.begin(), request.resource_args.end());
  args.push_back(join_path(request.work_dir, kSlurmScriptFile));
  return args;
}

std::optional<std::string> parse_slurm_job_id(const std::string& text) {
  std::optional<std::string> id;
  for (const auto& line : nonempty_lines(text)) {
    std::string first = line.substr(0, line.find(';'));
    if (all_digits(first) && first.size() <= 18) id = first;
  }
  return id;
}

std::string sbatch_without_id_message(const std::string& out) {
  return "sbatch printed no job id" + (out.empty() ? "" : ": " + trim(out));
}

std::map<std::string, SqueueEntry> parse_squeue(const std::string& text) {
  std::map<std::string, SqueueEntry> jobs;
  for (const auto& line : nonempty_lines(text)) {
    std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string rest = trim(line.substr(space + 1));
    SqueueEntry entry;
    entry.state = first_word(rest);
    if (rest.size() > entry.state.size()) entry.reason = trim(rest.substr(entry.state.size()));
    jobs[line.substr(0, space)] = std::move(entry);
  }
  return jobs;
}

namespace {

struct PendingReason {
  const char* name;
  bool never_runs;
  const char* meaning;
};

constexpr PendingReason kPendingReasons[] = {
    {"BadConstraints", true, "the job's constraints can never be met"},
    {"PartitionConfig", true,
     "the partition cannot meet the request, such as more CPUs or memory than its nodes have"},
    {"PartitionTimeLimit", true, "the time limit asked for is beyond the partition's"},
    {"InvalidAccount", true, "the job's account is not valid"},
    {"InvalidQOS", true, "the job's QOS is not valid"},
    {"AccountNotAllowed", true, "the partition does not allow the job's account"},
    {"QOSNotAllowed", true, "the partition does not allow the job's QOS"},
    {"DependencyNeverSatisfied", true, "a job it depends on can never end as required"},
    {"Resources", false, "waiting for resources to become free"},
    {"Priority", false, "jobs of higher priority go first"},
    {"ReqNodeNotAvail", false, "a node it needs is not available now"},
    {"PartitionNodeLimit", false, "beyond the partition's node limits, or its nodes are down"},
    {"PartitionDown", false, "the partition is down"},
    {"PartitionInactive", false, "the partition is inactive"},
    {"NodeDown", false, "a node it needs is down"},
    {"BeginTime", false, "its start time has not come yet"},
    {"Dependency", false, "waiting for a job it depends on"},
    {"JobHeldAdmin", false, "held by an administrator"},
    {"JobHeldUser", false, "held by its user"},
};

const PendingReason* find_reason(const std::string& reason) {
  for (const auto& known : kPendingReasons) {
    if (reason == known.name) return &known;
  }
  return nullptr;
}

}  // namespace

bool never_runs_reason(const std::string& reason) {
  const PendingReason* known = find_reason(reason);
  return known != nullptr && known->never_runs;
}

std::string explain_pending_reason(const std::string& reason) {
  const PendingReason* known = find_reason(reason);
  return known == nullptr ? reason : reason + " (" + known->meaning + ")";
}

std::vector<std::string> parse_sinfo_partitions(const std::string& text) {
  std::vector<std::string> names;
  for (auto& line : nonempty_lines(text)) {
    if (std::find(names.begin(), names.end(), line) == names.end()) names.push_back(std::move(line));
  }
  return names;
}

bool squeue_forgot_job(const std::string& err) {
  return err.find("Invalid job id") != std::string::npos;
}

bool controller_unreachable(const std::string& err) {
  return err.find("Unable to contact slurm controller") != std::string::npos ||
         err.find("Socket timed out on send/recv") != std::string::npos;
}

std::optional<SacctRecord> parse_sacct(const std::string& text) {
  auto lines = nonempty_lines(text);
  if (lines.empty()) return std::nullopt;
  const std::string& line = lines.front();
  SacctRecord record;
  std::size_t bar = line.find('|');
  record.state = first_word(trim(line.substr(0, bar)));
  if (bar != std::string::npos) record.exit_code = trim(line.substr(bar + 1));
  return record;
}

std::optional<int> parse_exit_status(const std::string& text) {
  std::string status = trim(text);
  if (!all_digits(status) || status.size() > 3) return std::nullopt;
  return std::stoi(status);
}

bool is_active_state(const std::string& state) {
  for (const char* s : {"RUNNING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT"}) {
    if (state == s) return true;
  }
  return false;
}

bool is_final_state(const std::string& state) {
  for (const char* s : {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "OUT_OF_MEMORY", "NODE_FAIL",
                        "PREEMPTED", "BOOT_FAIL", "DEADLINE", "REVOKED"}) {
    if (state == s) return true;
  }
  return false;
}

bool explains_kill(const std::string& state) {
  return is_final_state(state) && state != "COMPLETED" && state != "FAILED";
}

JobOutcome slurm_outcome(const SlurmEnd& end) {
  JobOutcome outcome;
  const std::string& state = end.state;
  if (end.exit_status) {
    const int status = *end.exit_status;
    // The shell gives 128 + N for an interpreter ended by signal N.
    if (status > 128 && status <= 128 + 64) {
      outcome.exit_code = -(status - 128);
      outcome.error = explains_kill(state) ? "slurm: job ended " + state : signal_text(status - 128);
    } else {
      outcome.exit_code = status;
    }
  } else if (!state.empty() && !is_active_state(state) && state != "PENDING") {
    outcome.error = "slurm: job ended " + state;
    if (!end.exit_code.empty() && end.exit_code != "0:0") {
      *outcome.error += " (exit code " + end.exit_code + ")";
    }
  } else if (end.resumed && !end.seen_in_queue) {
    outcome.error = std::string("the service restarted while the job ") +
                    (end.started ? "was running" : "waited in Slurm's queue") +
                    ", and Slurm no longer knows its job " + end.slurm_id;
  } else {
    outcome.error = "slurm: job " + end.slurm_id + " left the queue without an exit status";
  }
  return outcome;
}

std::string slurm_command_message(const std::string& name, int status, const std::string& out,
                                  const std::string& err) {
  auto lines = nonempty_lines(err);
  if (lines.empty()) lines = nonempty_lines(out);
  // Slurm's commands put their reason last ("sbatch: error: Batch job submission failed: ...").
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->find("error") != std::string::npos) return *it;
  }
  if (!lines.empty()) return lines.back();
  return name + (status < 0 ? " was " + signal_text(-status)
                            : " exited with status " + std::to_string(status));
}

}  // namespace pelmora::service
