// pelmora files, get and submit --get, run as the built command against the real job
// service on loopback (local runner): what a job wrote comes back byte for byte, hostile
// names are never printed raw nor followed, and an interrupted download resumes.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/platform/data_dir.h"
#include "tests/service/service_fixture.h"

namespace pelmora {
namespace {

using service::testing::RunningService;
using service::testing::TempDir;
using service::testing::submit_raw;
using service::testing::wait_for_end;

constexpr std::uint64_t kLarge = 200ull * 1024 * 1024;

// The large file is sparse, with marks at its start, middle and end, so that it is quick to
// make and still shows bytes out of place.
const std::string kTreeCode = R"(import os
os.makedirs('out/deep', exist_ok=True)
open('out/deep/n.txt', 'w').write('nested\n')
open('bin.dat', 'wb').write(os.urandom(3 << 20))
open('empty', 'w').close()
open('run.sh', 'w').write('#!/bin/sh\necho hi\n')
os.chmod('run.sh', 0o755)
with open('large.bin', 'wb') as f:
    f.write(b'start')
    f.seek(100 << 20)
    f.write(b'middle')
    f.truncate()" + std::to_string(kLarge) + R"()
    f.seek()" + std::to_string(kLarge - 3) + R"()
    f.write(b'end')
os.symlink('/etc/passwd', 'passwd')
os.mkfifo('fifo')
open('new\nline', 'w').write('n')
open('\x1b[2J\x1b]0;title\x07esc', 'w').write('e')
open(b'caf\xe9', 'wb').write(b'c')
)";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

class FilesCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service::ServiceOptions o;
    o.data_dir = dir.path() + "/data";
    running = std::make_unique<RunningService>(o);
    id = submit_raw(running->url(), running->key(), kTreeCode);
    ASSERT_EQ(wait_for_end(running->url(), running->key(), id, 60)["status"], "completed");
    job_dir = jobs_dir(running->data_dir()) + "/" + id;
  }

  RunResult run(const std::vector<std::string>& args) {
    const std::string out_path = dir.path() + "/stdout";
    const std::string err_path = dir.path() + "/stderr";
    std::vector<std::string> argv_text = {PELMORA_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<std::string> env_text = {"PATH=/usr/bin:/bin", "HOME=" + dir.path(),
                                         "PELMORA_API_KEY=" + running->key(),
                                         "PELMORA_API_URL=" + running->url()};
    std::vector<char*> argv, envp;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      if (!std::freopen(out_path.c_str(), "w", stdout) || !std::freopen(err_path.c_str(), "w", stderr)) _exit(126);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out_path), slurp(err_path)};
  }

  TempDir dir;
  std::unique_ptr<RunningService> running;
  std::string id;
  std::string job_dir;
};

// No byte of a job's names reaches the terminal as a control character.
void expect_no_raw_controls(const std::string& text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_TRUE(u == '\n' || (u >= 0x20 && u != 0x7f && u < 0x80)) << "raw byte " << int(u);
  }
}

TEST_F(FilesCliTest, GetReproducesEveryFileAndFollowsNothing) {
  RunResult listed = run({"files", id});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  expect_no_raw_controls(listed.out);
  EXPECT_NE(listed.out.find("new\\x0aline"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\\x1b[2J\\x1b]0;title\\x07esc"), std::string::npos);
  EXPECT_NE(listed.out.find("caf\\xe9"), std::string::npos);
  EXPECT_NE(listed.out.find("passwd -> /etc/passwd"), std::string::npos);
  EXPECT_EQ(listed.out.find("main.py"), std::string::npos);

  const std::string to = dir.path() + "/got";
  RunResult got = run({"get", id, "--to", to});
  ASSERT_EQ(got.exit_code, 0) << got.out << got.err;
  expect_no_raw_controls(got.out);
  for (const char* name : {"out/deep/n.txt", "bin.dat", "empty", "run.sh", "large.bin", "new\nline",
                           "\x1b[2J\x1b]0;title\x07" "esc", "caf\xe9"}) {
    SCOPED_TRACE(name);
    const std::string mine = to + "/" + name;
    ASSERT_TRUE(std::filesystem::is_regular_file(mine));
    EXPECT_EQ(std::filesystem::file_size(mine), std::filesystem::file_size(job_dir + "/" + name));
    EXPECT_TRUE(slurp(mine) == slurp(job_dir + "/" + name));
    EXPECT_FALSE(std::filesystem::exists(mine + ".part"));
  }
  EXPECT_EQ(std::filesystem::file_size(to + "/large.bin"), kLarge);
  struct stat st {};
  ASSERT_EQ(stat((to + "/run.sh").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IXUSR);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(to + "/passwd")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(to + "/fifo")));
  EXPECT_FALSE(std::filesystem::exists(to + "/main.py"));

  // A link put in the target is not followed: the file beneath it is refused, nothing is
  // written where it points.
  const std::string trap = dir.path() + "/trap";
  std::filesystem::create_directories(trap);
  const std::string to2 = dir.path() + "/got2";
  std::filesystem::create_directories(to2);
  std::filesystem::create_directory_symlink(trap, to2 + "/out");
  RunResult blocked = run({"get", id, "out", "--to", to2});
  EXPECT_EQ(blocked.exit_code, 1);
  EXPECT_TRUE(std::filesystem::is_empty(trap));

  RunResult missing = run({"get", id, "no/such", "--to", to2});
  EXPECT_EQ(missing.exit_code, 1);
  RunResult climbing = run({"get", id, "../x", "--to", to2});
  EXPECT_EQ(climbing.exit_code, 1);
}

TEST_F(FilesCliTest, AnInterruptedDownloadResumesFromItsPartFile) {
  const std::string to = dir.path() + "/resume";
  std::filesystem::create_directories(to);
  const std::string source = slurp(job_dir + "/bin.dat");
  RunResult listed = run({"files", id, "--json"});
  ASSERT_EQ(listed.exit_code, 0);
  std::string etag;
  const nlohmann::json doc = nlohmann::json::parse(listed.out);
  for (const auto& e : doc["files"]) {
    if (e.value("path", "") == "bin.dat") etag = e["etag"].get<std::string>();
  }
  ASSERT_FALSE(etag.empty()) << listed.out;
  // What an interrupted run left: the first megabyte (marked, so that a fetch from the start
  // would show) and the version it came from.
  std::string held = source.substr(0, 1 << 20);
  held.replace(0, 6, "MARKED");
  std::ofstream(to + "/bin.dat.part", std::ios::binary) << held;
  std::ofstream(to + "/bin.dat.part.etag", std::ios::binary) << etag;
  RunResult resumed = run({"get", id, "bin.dat", "--to", to});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.out << resumed.err;
  EXPECT_TRUE(slurp(to + "/bin.dat") == held + source.substr(held.size()));
  EXPECT_FALSE(std::filesystem::exists(to + "/bin.dat.part.etag"));

  // A part from another version of the file starts over.
  std::ofstream(to + "/bin.dat.part", std::ios::binary) << held;
  std::ofstream(to + "/bin.dat.part.etag", std::ios::binary) << "\"another\"";
  RunResult fresh = run({"get", id, "bin.dat", "--to", to});
  ASSERT_EQ(fresh.exit_code, 0);
  EXPECT_TRUE(slurp(to + "/bin.dat") == source);
}

TEST_F(FilesCliTest, SubmitFollowGetFetchesTheMatchingFiles) {
  const std::string script = dir.path() + "/job.py";
  std::ofstream(script) << "import os\nos.makedirs('res', exist_ok=True)\n"
                           "open('res/a.csv', 'w').write('1\\n')\nopen('res/b.txt', 'w').write('2')\n";
  const std::string to = dir.path() + "/fetched";
  RunResult r = run({"submit", script, "--follow", "--get", "*.csv", "--to", to});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(slurp(to + "/res/a.csv"), "1\n");
  EXPECT_FALSE(std::filesystem::exists(to + "/res/b.txt"));
  EXPECT_EQ(run({"submit", script, "--get", "*"}).exit_code, 2);  // --get needs --follow
}

}  // namespace
}  // namespace pelmora
