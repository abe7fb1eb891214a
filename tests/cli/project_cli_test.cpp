// The project form from the command line: pelmora bundle --project and pelmora submit
// --project through a real `pelmora serve` started for the test; jobs print what the
// projects print in place.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent/client/local_service.h"
#include "tests/bundle/project_corpus.h"

namespace pelmora {
namespace {

using testing::shell_quote;

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

class ProjectCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new testing::TempDir;
    data_dir_ = home_->path() + "/data";
    std::filesystem::create_directories(data_dir_);
    std::filesystem::permissions(data_dir_, std::filesystem::perms::owner_all);
    service_ = ::fork();
    if (service_ == 0) {
      const int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execl(PELMORA_BINARY, PELMORA_BINARY, "serve", "--port", "0", "--data-dir",
              data_dir_.c_str(), "--python", testing::python3_command().c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      if (auto found = read_local_service(data_dir_); found && local_service_answers(found->url, found->api_key, 1.0)) {
        service_info_ = new LocalService(*found);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  static void TearDownTestSuite() {
    if (service_ > 0) {
      ::kill(service_, SIGTERM);
      ::waitpid(service_, nullptr, 0);
    }
    delete service_info_;
    service_info_ = nullptr;
    delete home_;
    home_ = nullptr;
  }

  void SetUp() override {
    if (!testing::have_python3()) GTEST_SKIP() << "python3 is not installed";
  }

  // pelmora with `args`, run in `cwd`, with a clean environment of our own.
  static CliRun pelmora(const std::string& cwd, const std::vector<std::string>& args) {
    std::string command = "cd " + shell_quote(cwd) + " && env -i PATH=/usr/bin:/bin HOME=" +
                          shell_quote(home_->path()) + " XDG_CONFIG_HOME=" +
                          shell_quote(home_->path() + "/config") + " " + PELMORA_BINARY;
    for (const std::string& a : args) command += " " + shell_quote(a);
    const std::string err_file = home_->path() + "/stderr";
    const testing::CommandResult r = testing::run_command(command + " 2>" + shell_quote(err_file));
    return {r.status, r.out, testing::read_all(err_file)};
  }

  static std::vector<std::string> service_args() {
    return {"--api-url", service_info_->url, "--api-key", service_info_->api_key};
  }

  static testing::TempDir* home_;
  static std::string data_dir_;
  static pid_t service_;
  static LocalService* service_info_;
};

testing::TempDir* ProjectCli::home_ = nullptr;
std::string ProjectCli::data_dir_;
pid_t ProjectCli::service_ = -1;
LocalService* ProjectCli::service_info_ = nullptr;

// The job's log: what `submit --follow` prints after its three header lines and a blank.
std::string job_log(const std::string& out) {
  const std::string marker = " --follow\n\n";
  const std::size_t at = out.find(marker);
  return at == std::string::npos ? "(no header) " + out : out.substr(at + marker.size());
}

TEST_F(ProjectCli, SubmittedProjectsPrintWhatTheyPrintInPlace) {
  ASSERT_NE(service_info_, nullptr) << "the job service did not start";
  for (const char* name : {"relative_imports", "configurator", "src_layout", "importlib_plugins"}) {
    SCOPED_TRACE(name);
    const testing::CorpusProject* p = nullptr;
    for (const auto& c : testing::project_corpus()) {
      if (std::string(c.name) == name) p = &c;
    }
    ASSERT_NE(p, nullptr);
    testing::TempDir work;
    const std::string root = testing::copy_project(work, name);
    const std::string in_place = testing::run_python3(root, p->script, p->args);
    ASSERT_TRUE(in_place.starts_with("exit 0\n")) << in_place;

    std::vector<std::string> args = {"submit", "--project", p->script, "--follow"};
    for (const std::string& a : service_args()) args.push_back(a);
    args.push_back("--");
    for (const std::string& a : p->args) args.push_back(a);
    const CliRun run = pelmora(root, args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ("exit 0\n" + job_log(run.out), in_place) << run.out << run.err;
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(ProjectCli, AFailingScriptFailsTheJobAndAProjectOverTheOldBodyLimitIsTaken) {
  ASSERT_NE(service_info_, nullptr) << "the job service did not start";
  testing::TempDir work;
  work.write("proj/main.py",
             "import os, sys\nprint(os.path.getsize('weights.bin'), sys.argv[1:])\nsys.exit(5)\n");
  std::mt19937 gen(7);
  std::string weights(12 * 1024 * 1024, '\0');  // more than the 10 MiB the service took before
  for (char& c : weights) c = static_cast<char>(gen() & 0xff);
  work.write("proj/weights.bin", weights);
  std::vector<std::string> args = {"submit", "--project", "main.py", "--follow"};
  for (const std::string& a : service_args()) args.push_back(a);
  args.insert(args.end(), {"--", "a b"});
  const CliRun run = pelmora(work.path() + "/proj", args);
  EXPECT_EQ(run.status, 3) << run.out << run.err;  // the job failed
  EXPECT_EQ(job_log(run.out), "12582912 ['a b']\n") << run.out << run.err;
}

TEST_F(ProjectCli, BundleListsTheManifestAndTheDefaultFormGivesTheHint) {
  testing::TempDir work;
  const std::string root = testing::copy_project(work, "relative_imports");
  work.write("relative_imports/.env", "KEY=1\n");

  const CliRun list = pelmora(root, {"bundle", "--project", "--list", "train.py", "--", "34"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("  models/resnet.py\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("left out: .env  (may hold a secret"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("total: 5 files, "), std::string::npos) << list.out;

  const CliRun text = pelmora(root, {"bundle", "--project", "train.py", "--", "34"});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("_pelmora_run(b'relative_imports', b'train.py', [b'34'])\n"), std::string::npos);

  const CliRun plain = pelmora(root, {"bundle", "train.py"});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.err,
            "pelmora: warning: the module bundle cannot carry this script as it runs in place "
            "(package 'models' uses relative imports); use --project to ship the project's files\n");

  const CliRun args_alone = pelmora(root, {"bundle", "train.py", "--", "34"});
  EXPECT_EQ(args_alone.status, 2) << args_alone.err;

  work.write("relative_imports/.pelmoraignore", "models/\n");
  const CliRun refused = pelmora(root, {"bundle", "--project", "train.py"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("pelmora: error: models/__init__.py, which the script imports, would be left out"),
            std::string::npos)
      << refused.err;
}

}  // namespace
}  // namespace pelmora
