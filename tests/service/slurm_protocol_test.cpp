// The Slurm command-line protocol as pure functions: what is sent, what is made of answers.
#include "service/slurm_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pelmora::service {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(SlurmResources, MapToSbatchOptions) {
  EXPECT_THAT(slurm_resource_args(json::object()), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"cpu", 4}, {"memory", "4Gi"}, {"gpu", "2"}}),
              ElementsAre("--cpus-per-task=4", "--mem=4096M", "--gres=gpu:2"));
  // Slurm's megabyte is 2^20 bytes; a part of one counts as a whole.
  EXPECT_THAT(slurm_resource_args({{"memory", "512M"}}), ElementsAre("--mem=489M"));
  EXPECT_THAT(slurm_resource_args({{"memory", "1"}}), ElementsAre("--mem=1M"));
  EXPECT_THAT(slurm_resource_args({{"memory", "1.5Gi"}}), ElementsAre("--mem=1536M"));
  EXPECT_THAT(slurm_resource_args({{"gpu", "a100"}}), ElementsAre("--gres=gpu:a100:1"));
  EXPECT_THAT(slurm_resource_args({{"gpu", "A100:2"}}), ElementsAre("--gres=gpu:A100:2"));
  EXPECT_THAT(slurm_resource_args({{"cpu", 0}, {"gpu", ""}}), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"gpu", "0"}}), ElementsAre());
  EXPECT_THAT(slurm_resource_args({{"future", "kept"}}), ElementsAre());
  for (const char* gpu : {"a100,mps:1", ":2", "a100:", "a100:x", "tesla v100", "a100:99999"}) {
    EXPECT_THROW(slurm_resource_args({{"gpu", gpu}}), std::invalid_argument) << gpu;
  }
}

TEST(SlurmProtocol, BatchScriptQuotesEveryValue) {
  std::string script = slurm_batch_script("job-1", "/data/it's here", "/opt/py 3/python");
  EXPECT_EQ(script.rfind("#!/bin/sh\n", 0), 0u);
  EXPECT_THAT(script, HasSubstr("cd '/data/it'\\''s here' || exit 1\n"));
  EXPECT_THAT(script, HasSubstr("'/opt/py 3/python' -u main.py </dev/null\n"));
  EXPECT_THAT(script, HasSubstr("> 'pelmora-exit-status.part' && mv -f 'pelmora-exit-status.part' "
                                "'pelmora-exit-status'\n"));
  EXPECT_THAT(script, HasSubstr("exit \"$status\"\n"));
}

TEST(SlurmProtocol, SbatchCommandPutsOursAfterTheExtraOptions) {
  EXPECT_THAT(sbatch_command({"sbatch", {"--time=10"}, "gpu", "job-1", "/d", {"--mem=5"}}),
              ElementsAre("sbatch", "--parsable", "--time=10", "--partition=gpu",
                          "--job-name=pelmora-job-1", "--chdir=/d", "--output=/d/pelmora-stdout.txt",
                          "--error=/d/pelmora-stderr.txt", "--mem=5", "/d/pelmora-job.sh"));
  EXPECT_THAT(sbatch_command({"sbatch", {}, "", "j", "/d", {}}),
              ElementsAre("sbatch", "--parsable", "--job-name=pelmora-j", "--chdir=/d",
                          "--output=/d/pelmora-stdout.txt", "--error=/d/pelmora-stderr.txt",
                          "/d/pelmora-job.sh"));
}

TEST(SlurmProtocol, ParsesAnswers) {
  struct Case {
    std::string text;
    std::optional<std::string> id;
  };
  for (const auto& c : std::vector<Case>{{"42\n", "42"},
                                         {"42;cluster\n", "42"},
                                         {"  7 \n", "7"},
                                         {"warning: x\n43\n", "43"},
                                         {"", std::nullopt},
                                         {"abc\n", std::nullopt},
                                         {"-1\n", std::nullopt},
                                         {std::string(19, '9') + "\n", std::nullopt}}) {
    EXPECT_EQ(parse_slurm_job_id(c.text), c.id) << c.text;
  }
  auto queue = parse_squeue("1 RUNNING None\n2 CANCELLED by 1000\n\nbroken\n 3  PENDING  Resources \n4 PENDING\n");
  ASSERT_EQ(queue.size(), 4u);
  EXPECT_EQ(queue["1"].state, "RUNNING");
  EXPECT_EQ(queue["2"].state, "CANCELLED");
  EXPECT_EQ(queue["3"].state, "PENDING");
  EXPECT_EQ(queue["3"].reason, "Resources");
  EXPECT_EQ(queue["4"].reason, "");
  EXPECT_TRUE(never_runs_reason("PartitionConfig"));
  EXPECT_TRUE(never_runs_reason("InvalidQOS"));
  for (const char* clears : {"Resources", "Priority", "ReqNodeNotAvail", "PartitionDown", "", "partitionconfig"}) {
    EXPECT_FALSE(never_runs_reason(clears)) << clears;
  }
  EXPECT_THAT(explain_pending_reason("PartitionConfig"), HasSubstr("PartitionConfig (the partition"));
  EXPECT_EQ(explain_pending_reason("Odd"), "Odd");
  EXPECT_EQ(parse_sinfo_partitions("debug\n gpu \n\ndebug\n"), (std::vector<std::string>{"debug", "gpu"}));
  EXPECT_TRUE(squeue_forgot_job("slurm_load_jobs error: Invalid job id specified\n"));
  EXPECT_FALSE(squeue_forgot_job("Unable to contact slurm controller\n"));

  auto record = parse_sacct("CANCELLED by 0|0:15\nCANCELLED|0:15\n");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->state, "CANCELLED");
  EXPECT_EQ(record->exit_code, "0:15");
  EXPECT_EQ(parse_sacct("TIMEOUT\n")->exit_code, "");
  EXPECT_FALSE(parse_sacct("\n  \n"));

  EXPECT_EQ(parse_exit_status("0\n"), 0);
  EXPECT_EQ(parse_exit_status(" 137 "), 137);
  EXPECT_EQ(parse_exit_status("999"), 999);
  for (const char* bad : {"", "\n", "1000", "-1", "1 2", "x"}) EXPECT_FALSE(parse_exit_status(bad)) << bad;
}

TEST(SlurmProtocol, StateSets) {
  for (const char* s : {"RUNNING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT"}) {
    EXPECT_TRUE(is_active_state(s)) << s;
    EXPECT_FALSE(is_final_state(s)) << s;
  }
  for (const char* s : {"COMPLETED", "FAILED"}) {
    EXPECT_TRUE(is_final_state(s)) << s;
    EXPECT_FALSE(explains_kill(s)) << s;
  }
  for (const char* s : {"CANCELLED", "TIMEOUT", "OUT_OF_MEMORY", "NODE_FAIL", "PREEMPTED",
                        "BOOT_FAIL", "DEADLINE", "REVOKED"}) {
    EXPECT_TRUE(is_final_state(s)) << s;
    EXPECT_TRUE(explains_kill(s)) << s;
    EXPECT_FALSE(is_active_state(s)) << s;
  }
  for (const char* s : {"PENDING", "REQUEUED", "", "running"}) {
    EXPECT_FALSE(is_active_state(s)) << s;
    EXPECT_FALSE(is_final_state(s)) << s;
  }
}

struct OutcomeCase {
  const char* name;
  SlurmEnd end;
  std::optional<int> exit_code;
  std::optional<std::string> error;
};

class SlurmOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SlurmOutcome, Decodes) {
  const auto& c = GetParam();
  JobOutcome outcome = slurm_outcome(c.end);
  EXPECT_EQ(outcome.exit_code, c.exit_code);
  EXPECT_EQ(outcome.error, c.error);
}

SlurmEnd with_status(int status, std::string state = "") {
  SlurmEnd end;
  end.exit_status = status;
  end.state = std::move(state);
  end.slurm_id = "9";
  return end;
}

SlurmEnd without_status(std::string state, std::string exit_code = "", bool resumed = false,
                        bool seen = true, bool started = false) {
  SlurmEnd end;
  end.state = std::move(state);
  end.exit_code = std::move(exit_code);
  end.slurm_id = "9";
  end.resumed = resumed;
  end.seen_in_queue = seen;
  end.started = started;
  return end;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SlurmOutcome,
    ::testing::Values(
        OutcomeCase{"Zero", with_status(0, "COMPLETED"), 0, std::nullopt},
        OutcomeCase{"Plain", with_status(3, "FAILED"), 3, std::nullopt},
        // 128 itself is an exit status, not "signal 0".
        OutcomeCase{"Exactly128", with_status(128), 128, std::nullopt},
        OutcomeCase{"Signal1", with_status(129), -1, "killed by signal 1 (SIGHUP)"},
        OutcomeCase{"Sigkill", with_status(137, "FAILED"), -9, "killed by signal 9 (SIGKILL)"},
        OutcomeCase{"KillExplained", with_status(143, "TIMEOUT"), -15, "slurm: job ended TIMEOUT"},
        OutcomeCase{"LastSignal", with_status(192), -64, "killed by signal 64"},
        OutcomeCase{"Above", with_status(193), 193, std::nullopt},
        OutcomeCase{"EndedState", without_status("OUT_OF_MEMORY", "0:125"), std::nullopt,
                    "slurm: job ended OUT_OF_MEMORY (exit code 0:125)"},
        OutcomeCase{"CleanCode", without_status("CANCELLED", "0:0"), std::nullopt,
                    "slurm: job ended CANCELLED"},
        OutcomeCase{"StillRunning", without_status("RUNNING"), std::nullopt,
                    "slurm: job 9 left the queue without an exit status"},
        OutcomeCase{"Pending", without_status("PENDING"), std::nullopt,
                    "slurm: job 9 left the queue without an exit status"},
        OutcomeCase{"ResumedUnknownRunning", without_status("", "", true, false, true), std::nullopt,
                    "the service restarted while the job was running, and Slurm no longer knows "
                    "its job 9"},
        OutcomeCase{"ResumedUnknownQueued", without_status("", "", true, false, false),
                    std::nullopt,
                    "the service restarted while the job waited in Slurm's queue, and Slurm no "
                    "longer knows its job 9"},
        OutcomeCase{"NeverSeen", without_status("", "", false, false), std::nullopt,
                    "slurm: job 9 left the queue without an exit status"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SlurmProtocol, CommandMessageInTheCommandsOwnWords) {
  EXPECT_EQ(slurm_command_message("sbatch", 1, "",
                                  "sbatch: error: Batch job submission failed: Invalid partition\n"
                                  "hint\n"),
            "sbatch: error: Batch job submission failed: Invalid partition");
  EXPECT_EQ(slurm_command_message("squeue", 1, "last words\n", ""), "last words");
  EXPECT_EQ(slurm_command_message("squeue", 2, "", ""), "squeue exited with status 2");
  EXPECT_EQ(slurm_command_message("scancel", -9, "", "\n"), "scancel was killed by signal 9 (SIGKILL)");
  EXPECT_EQ(sbatch_without_id_message(""), "sbatch printed no job id");
  EXPECT_EQ(sbatch_without_id_message("Submitted\n"), "sbatch printed no job id: Submitted");
}

}  // namespace
}  // namespace pelmora::service
