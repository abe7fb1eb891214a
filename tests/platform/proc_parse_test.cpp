#include "agent/platform/proc_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/platform/files.h"

namespace pelmora {
namespace {

using Args = std::vector<std::string>;

std::string fixture(const std::string& rel) {
  return read_file_bytes(std::string(PELMORA_TEST_DATA_DIR) + "/proc/" + rel);
}

TEST(ProcStatParse, FieldsAfterTheLastParenthesis) {
  const auto odd = parse_proc_stat(fixture("42/stat"));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->comm, "my (odd) ) name");
  EXPECT_EQ(odd->state, 'R');
  EXPECT_EQ(odd->utime, 1000u);
  EXPECT_EQ(odd->stime, 500u);
  EXPECT_EQ(odd->starttime, 12000u);
  EXPECT_EQ(odd->rss_pages, 25600u);
  EXPECT_EQ(odd->num_threads, 1u);

  const auto zombie = parse_proc_stat(fixture("77/stat"));
  ASSERT_TRUE(zombie);
  EXPECT_EQ(zombie->state, 'Z');
  EXPECT_EQ(zombie->rss_pages, 0u);

  const auto kthread = parse_proc_stat(fixture("100/stat"));
  ASSERT_TRUE(kthread);
  EXPECT_EQ(kthread->comm, "kworker/0:1-events");
  EXPECT_EQ(kthread->state, 'I');
}

TEST(ProcStatParse, SchedstatRuntime) {
  EXPECT_EQ(parse_schedstat_runtime("5123456789 20000 7\n"), 5123456789u);
  EXPECT_FALSE(parse_schedstat_runtime(""));
  EXPECT_FALSE(parse_schedstat_runtime("12 34"));  // cut short
  EXPECT_FALSE(parse_schedstat_runtime("-1 2 3"));
}

TEST(ProcStatParse, RejectsTextThatIsNotAStatLine) {
  EXPECT_FALSE(parse_proc_stat(""));
  EXPECT_FALSE(parse_proc_stat("12 (x"));
  EXPECT_FALSE(parse_proc_stat("12 x) S 1 2"));
  EXPECT_FALSE(parse_proc_stat("12 (x) S 1 2 3"));  // cut short
  std::string bad = fixture("42/stat");
  bad.replace(bad.find(" 1000 "), 6, " 1e3x ");
  EXPECT_FALSE(parse_proc_stat(bad));
}

TEST(CmdlineParse, SeparatorsAsPsutilSplitsThem) {
  EXPECT_EQ(parse_cmdline(""), Args{});
  EXPECT_EQ(parse_cmdline(fixture("42/cmdline")), (Args{"python3", "-u", "train.py"}));
  // Rewritten with spaces and no NUL (setproctitle).
  EXPECT_EQ(parse_cmdline(fixture("301/cmdline")), (Args{"python3", "serve.py", "--port", "80"}));
  // One NUL-ended argument holding spaces is split on spaces.
  EXPECT_EQ(parse_cmdline(std::string("a b  c\0", 7)), (Args{"a", "b", "", "c"}));
  // Empty arguments are kept; only one trailing separator is dropped.
  EXPECT_EQ(parse_cmdline(std::string("a\0\0b\0\0", 6)), (Args{"a", "", "b", ""}));
  EXPECT_EQ(parse_cmdline(std::string("\0", 1)), (Args{""}));
  EXPECT_EQ(parse_cmdline("x "), (Args{"x"}));
  EXPECT_EQ(parse_cmdline("x  "), (Args{"x", ""}));
  // Two NUL-separated arguments with spaces stay as they are.
  EXPECT_EQ(parse_cmdline(std::string("a b\0c d\0", 8)), (Args{"a b", "c d"}));
}

TEST(CmdlineParse, RawBytesAndLineEnds) {
  EXPECT_EQ(parse_cmdline(fixture("302/cmdline")), (Args{"python3", "caf\xe9 \xff.py"}));
  EXPECT_EQ(parse_cmdline(fixture("303/cmdline")), (Args{"python3", "a\nb\nc"}));
}

TEST(SmallFilesParse, StatusStatmMeminfoBootTime) {
  EXPECT_EQ(parse_status_real_uid(fixture("77/status")), 65534u);
  EXPECT_EQ(parse_status_real_uid("Name:\tx\nGid:\t1\t1\t1\t1\n"), std::nullopt);
  EXPECT_EQ(parse_statm_resident_pages(fixture("42/statm")), 25600u);
  EXPECT_EQ(parse_statm_resident_pages("12"), std::nullopt);
  EXPECT_EQ(parse_meminfo_total_bytes(fixture("meminfo")), 2048000ull * 1024);
  EXPECT_EQ(parse_meminfo_total_bytes("MemFree: 1 kB\n"), std::nullopt);
  EXPECT_EQ(parse_boot_time(fixture("stat")), 1700000000u);
  EXPECT_EQ(parse_boot_time("cpu 1 2 3\n"), std::nullopt);
}

TEST(ProcessName, LongCommTakesTheBaseNameOfTheProgram) {
  const Args long_prog{"/opt/bin/python3-long-name-tool", "job.py"};
  EXPECT_EQ(process_name("python3-long-na", long_prog), "python3-long-name-tool");
  // Under 15 characters the comm stands, whatever the program is called.
  EXPECT_EQ(process_name("python3-long-n", long_prog), "python3-long-n");
  // The base name must start with the comm.
  EXPECT_EQ(process_name("other-long-name", long_prog), "other-long-name");
  EXPECT_EQ(process_name("python3-long-na", Args{}), "python3-long-na");
  // Kernel threads: long comm, no command line.
  EXPECT_EQ(process_name("kworker/0:1-events", Args{}), "kworker/0:1-events");
  // 14 ASCII bytes and a cut two-byte letter: 15 characters once decoded, but the prefix
  // does not hold on the decoded text (the cut byte is undecodable), so the comm stands.
  const std::string cut = std::string("abcdefghijklmn") + "\xc3";
  EXPECT_TRUE(name_may_be_cut(cut));
  EXPECT_EQ(process_name(cut, Args{"/bin/abcdefghijklmn\xc3\xa9z"}), cut);
  // Two-byte letters count once each: 8 letters are 16 bytes but 8 characters.
  EXPECT_FALSE(name_may_be_cut("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"));
}

TEST(DecodedLength, CountsAsPythonSurrogateescape) {
  EXPECT_EQ(decoded_length(""), 0u);
  EXPECT_EQ(decoded_length("abc"), 3u);
  EXPECT_EQ(decoded_length("caf\xc3\xa9"), 4u);
  EXPECT_EQ(decoded_length("\xf0\x9f\x90\x8d"), 1u);
  EXPECT_EQ(decoded_length("\xff\xfe"), 2u);
  EXPECT_EQ(decoded_length("\xed\xa0\x80"), 3u);  // an encoded surrogate is three bad bytes
  EXPECT_EQ(decoded_length("\xe2\x82"), 2u);      // cut short
}

TEST(CpuPercent, AsPsutilComputesIt) {
  // One core busy for a whole second on a two-CPU machine: 100.0.
  EXPECT_EQ(cpu_percent_between(1.0, 0.5, 1.75, 0.75, 200.0, 202.0, 2), 100.0);
  // No time has passed.
  EXPECT_EQ(cpu_percent_between(1.0, 0.5, 1.5, 0.5, 10.0, 10.0, 1), 0.0);
  // Several cores: above 100.
  EXPECT_EQ(cpu_percent_between(0.0, 0.0, 2.0, 1.0, 0.0, 2.0, 2), 300.0);
  // Rounded to one decimal, ties as Python's round does on the binary value.
  EXPECT_EQ(cpu_percent_between(0.0, 0.0, 1.0, 0.0, 0.0, 3.0, 1), 33.3);
  EXPECT_EQ(round_to_tenth(0.25), 0.2);
  EXPECT_EQ(round_to_tenth(0.35), 0.3);  // 0.35 is slightly below the tie in binary
  EXPECT_EQ(round_to_tenth(84.95), 85.0);
  EXPECT_EQ(round_to_tenth(-0.04), -0.0);
}

}  // namespace
}  // namespace pelmora
