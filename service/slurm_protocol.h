#pragma once
// What the Slurm runner says to Slurm and makes of its answers, as pure functions over text:
// the batch script, the sbatch command line, the answers of sbatch, squeue and sacct, the
// job states, and how a job's end becomes its outcome. The I/O is the runner's.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/runner.h"

namespace pelmora::service {

// The names of the files a job leaves in its directory.
inline constexpr const char* kSlurmScriptFile = "pelmora-job.sh";
inline constexpr const char* kSlurmStdoutFile = "pelmora-stdout.txt";
inline constexpr const char* kSlurmStderrFile = "pelmora-stderr.txt";
inline constexpr const char* kSlurmExitFile = "pelmora-exit-status";
inline constexpr const char* kSlurmJobIdFile = "pelmora-slurm-job-id";

// The batch script of a job: enters `work_dir`, runs `python -u main.py` with standard input
// /dev/null, leaves the interpreter's exit status in kSlurmExitFile (written whole, then
// renamed) and exits with it. Every value is quoted for the POSIX shell.
std::string slurm_batch_script(const std::string& job_id, const std::string& work_dir,
                               const std::string& python);

// The sbatch options asking for a job's (checked) resources: "cpu" N → --cpus-per-task=N;
// "memory" (parse_memory's bytes) → --mem=<MiB>M, whole mebibytes rounded up; "gpu"
// "N" → --gres=gpu:N, "TYPE" → --gres=gpu:TYPE:1, "TYPE:N" → --gres=gpu:TYPE:N. Zero and
// empty values ask for nothing. Throws std::invalid_argument for a "gpu" of another shape.
std::vector<std::string> slurm_resource_args(const nlohmann::json& resources);

// What a submission asks of sbatch.
struct SbatchRequest {
  std::string sbatch;                   // the command
  std::vector<std::string> extra_args;  // the service's own, ahead of the job's
  std::string partition;                // empty: the cluster's default
  std::string job_id;
  std::string work_dir;
  std::vector<std::string> resource_args;  // slurm_resource_args
};

// The whole sbatch command line: --parsable, the extra arguments, then ours (Slurm takes the
// last of a repeated option, so ours win), the files of kSlurm* in work_dir, the script last.
std::vector<std::string> sbatch_command(const SbatchRequest& request);

// The Slurm job id in sbatch --parsable's output ("ID" or "ID;CLUSTER" on a line; the last
// such line wins), or in the text of kSlurmJobIdFile. Absent when there is none.
std::optional<std::string> parse_slurm_job_id(const std::string& text);

// The error of a submission whose sbatch succeeded without printing a job id.
std::string sbatch_without_id_message(const std::string& out);

// What squeue says of one job: its state and, while it waits, Slurm's reason ("Resources",
// "Priority", "PartitionConfig"; "None" or empty otherwise).
struct SqueueEntry {
  std::string state;
  std::string reason;
};

// The squeue options for the answer parse_squeue reads.
inline constexpr const char* kSqueueFormat = "%i %T %r";

// `squeue -h -o '%i %T %r'` output: job id → its state (the state's first word) and reason
// (the rest of the line, trimmed; empty when absent). Lines of another shape are skipped.
std::map<std::string, SqueueEntry> parse_squeue(const std::string& text);

// Pending reasons that say Slurm will never start the job as it was asked for: the request
// exceeds what the partition or the cluster is configured with, or names an account, QOS or
// dependency that cannot be met. Slurm keeps such a job pending for ever; the runner cancels
// it and fails it with the reason. They are BadConstraints, PartitionConfig,
// PartitionTimeLimit, InvalidAccount, InvalidQOS, AccountNotAllowed, QOSNotAllowed and
// DependencyNeverSatisfied. Reasons that clear by themselves or by a node coming back
// (Resources, Priority, ReqNodeNotAvail, PartitionNodeLimit, PartitionDown, held jobs, limits
// of an association) are not among them.
bool never_runs_reason(const std::string& reason);

// A pending reason as a user reads it: "PartitionConfig" → "PartitionConfig (the partition
// cannot meet the request, such as more CPUs or memory than its nodes have)". Unknown
// reasons stay as they are.
std::string explain_pending_reason(const std::string& reason);

// The partition names in `sinfo -h -o %R` output, one a line.
std::vector<std::string> parse_sinfo_partitions(const std::string& text);

// squeue asked about one job it no longer knows fails saying so: its answer is then an empty
// list, not a failure.
bool squeue_forgot_job(const std::string& err);

// A Slurm command that failed because the controller could not be reached (it is down or
// restarting): worth asking again later, unlike a refusal.
bool controller_unreachable(const std::string& err);

// The first record of `sacct -n -X -P -o State,ExitCode`: its state's first word and the
// exit code ("1:0"). Absent for an empty answer.
struct SacctRecord {
  std::string state;
  std::string exit_code;
};
std::optional<SacctRecord> parse_sacct(const std::string& text);

// The text of kSlurmExitFile as a status 0..999; absent for anything else.
std::optional<int> parse_exit_status(const std::string& text);

// States in which Slurm has started the job and not yet ended it.
bool is_active_state(const std::string& state);
// States a job only has once it has left for good.
bool is_final_state(const std::string& state);
// Final states that say why a job's processes were killed, beyond the signal itself.
bool explains_kill(const std::string& state);

// What is known of a job once it has left Slurm's queue.
struct SlurmEnd {
  std::optional<int> exit_status;  // from kSlurmExitFile
  std::string state;      // the last state squeue or sacct gave; empty: never seen
  std::string exit_code;  // sacct's, when asked
  std::string slurm_id;
  bool resumed = false;   // followed again after a restart of the service
  bool seen_in_queue = false;  // squeue listed it since then (or since submission)
  bool started = false;
};

// The outcome of such a job (without cancellation, which the runner puts on top). An exit
// status above 128 and up to 128+64 is the shell's report of a signal: exit_code is then
// minus the signal.
JobOutcome slurm_outcome(const SlurmEnd& end);

// One line on what went wrong with a Slurm command, in its own words when it said something
// (the last line mentioning "error", else its last line), else from its `status` (minus a
// signal for a command ended by one).
std::string slurm_command_message(const std::string& name, int status, const std::string& out,
                                  const std::string& err);

}  // namespace pelmora::service
