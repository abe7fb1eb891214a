// pelmora submit, status, logs, login and logout, run as the built command against a
// scripted job service on loopback.
#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/fakes/test_http_server.h"

namespace pelmora {
namespace {

using nlohmann::json;
using testing::TestHttpServer;

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string _slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

constexpr const char* kKey = "sk-cli-secret-4711";

class ClientCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() /
            ("pelmora-cli-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(home_);
    env_["HOME"] = home_.string();
    env_["XDG_CONFIG_HOME"] = (home_ / "config").string();
    env_["PATH"] = "/usr/bin:/bin";
    server.fallback([this](const httplib::Request& req, httplib::Response& res) {
      TestHttpServer::Handler handler;
      {
        std::lock_guard lock(mutex_);
        auto& queue = req.path.ends_with("/output") ? outputs_ : statuses_;
        if (!queue.empty()) {
          handler = std::move(queue.front());
          queue.pop_front();
        }
      }
      if (handler) {
        handler(req, res);
      } else if (req.path.ends_with("/output")) {
        res.body = "{}";
      } else {
        res.status = 599;
      }
    });
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  void status(int code, std::string body) { _push(statuses_, code, std::move(body)); }
  void output(int code, std::string body) { _push(outputs_, code, std::move(body)); }

  // Runs the pelmora command with `args`, the environment env_ (nothing inherited) and
  // `input` on standard input.
  RunResult run(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string in_path = (home_ / "stdin").string();
    const std::string out_path = (home_ / "stdout").string();
    const std::string err_path = (home_ / "stderr").string();
    std::ofstream(in_path, std::ios::binary) << input;
    std::vector<std::string> argv_text = {PELMORA_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (const auto& [name, value] : env_) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int in_fd = ::open(in_path.c_str(), O_RDONLY);
    const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(in_fd, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(in_fd);
    ::close(out_fd);
    ::close(err_fd);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    RunResult result;
    result.exit_code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = _slurp(out_path);
    result.err = _slurp(err_path);
    return result;
  }

  // The key must show nowhere in what the command printed.
  static void expect_no_key(const RunResult& r) {
    EXPECT_EQ(r.out.find(kKey), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(kKey), std::string::npos) << r.err;
  }

  void _push(std::deque<TestHttpServer::Handler>& queue, int code, std::string body) {
    std::lock_guard lock(mutex_);
    queue.push_back([code, body = std::move(body)](const httplib::Request&, httplib::Response& res) {
      res.status = code;
      res.body = body;
    });
  }

  std::filesystem::path home_;
  std::map<std::string, std::string> env_;
  std::mutex mutex_;
  std::deque<TestHttpServer::Handler> statuses_;
  std::deque<TestHttpServer::Handler> outputs_;
  TestHttpServer server;  // last: its handlers use the members above until it stops
};

TEST_F(ClientCliTest, SubmitPrintsTheJobAndTheCommandsToFollowIt) {
  const auto script = home_ / "train.py";
  std::ofstream(script) << "print('hi')\r\n";
  env_["PELMORA_API_KEY"] = kKey;
  env_["PELMORA_API_URL"] = server.url();
  server.reply(200, R"({"job_id":"job-7f3a"})");
  RunResult r = run({"submit", script.string(), "--gpu", "T4", "--cpu", "2", "--fast"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "    Submitted!  job_id=job-7f3a\n"
            "    Track with:  pelmora status job-7f3a\n"
            "    Logs:        pelmora logs job-7f3a --follow\n");
  expect_no_key(r);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Authorization"), std::string("Bearer ") + kKey);
  const json body = json::parse(requests[0].body);
  EXPECT_EQ(body["code"], "print('hi')\n");
  EXPECT_EQ(body["file_path"], script.string());
  EXPECT_EQ(body["resources"], json({{"gpu", "T4"}, {"cpu", 2}}));
  EXPECT_EQ(body["fast"], true);
}

TEST_F(ClientCliTest, FollowedJobSetsTheExitStatus) {
  const auto script = home_ / "job.py";
  std::ofstream(script) << "pass\n";
  env_["PELMORA_API_KEY"] = kKey;
  env_["PELMORA_API_URL"] = server.url();

  server.reply(200, R"({"job_id":"j1"})");
  status(200, R"({"status":"failed"})");
  output(200, R"({"entries":[{"content":"Traceback"}],"current_index":1})");
  RunResult failed = run({"submit", script.string(), "--follow"});
  EXPECT_EQ(failed.exit_code, 3) << failed.err;
  EXPECT_TRUE(failed.out.ends_with("--follow\n\nTraceback\n")) << failed.out;
  EXPECT_NE(failed.err.find("failed"), std::string::npos);

  status(200, R"({"status":"cancelled"})");
  EXPECT_EQ(run({"logs", "j1", "--follow"}).exit_code, 4);

  status(200, R"({"status":"completed"})");
  output(200, R"({"entries":[{"content":"done\n"}]})");
  RunResult done = run({"logs", "j1", "-f"});
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_EQ(done.out, "done\n");
  expect_no_key(done);
}

TEST_F(ClientCliTest, LogsWithoutFollowPrintsEveryPageSoFar) {
  env_["PELMORA_API_KEY"] = kKey;
  env_["PELMORA_API_URL"] = server.url();
  status(200, R"({"status":"running"})");
  output(200, R"({"entries":[{"content":"a\n"}],"current_index":1,"more":true})");
  output(200, R"({"entries":[{"content":"b\n"}],"current_index":2})");
  RunResult r = run({"logs", "j2"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "a\nb\n");
  EXPECT_EQ(server.request_count(), 3u);

  status(200, R"({"status":"failed"})");
  EXPECT_EQ(run({"logs", "j2"}).exit_code, 3);
}

TEST_F(ClientCliTest, StatusShowsTheDocumentAndErrorsAreOneLineWithoutTheKey) {
  env_["PELMORA_API_KEY"] = kKey;
  env_["PELMORA_API_URL"] = server.url();
  status(200, R"({"status":"running","job_id":"j3","progress":0.5})");
  RunResult r = run({"status", "j3"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "status: running\njob_id: j3\nprogress: 0.5\n");

  status(401, std::string("{\"detail\":\"unknown key\n") + kKey + "\"}");
  RunResult refused = run({"status", "j3"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_TRUE(refused.err.starts_with("pelmora: error: Failed to check job (401): ")) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  expect_no_key(refused);
}

TEST_F(ClientCliTest, ServiceTextIsEscapedAndACancelMustBeConfirmed) {
  env_["PELMORA_API_KEY"] = kKey;
  env_["PELMORA_API_URL"] = server.url();
  status(200, R"({"status":"\u001b[2Jrunning","file_path":"a\u009bb"})");
  RunResult r = run({"status", "j5"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "status: \\x1b[2Jrunning\nfile_path: a\\x9bb\n");

  status(200, "garbage");
  RunResult garbage = run({"cancel", "j5"});
  EXPECT_EQ(garbage.exit_code, 1);
  EXPECT_EQ(garbage.out, "");
  status(200, R"({"job_id":"j5","status":"cancelled"})");
  RunResult done = run({"cancel", "j5"});
  EXPECT_EQ(done.exit_code, 0) << done.err;
  EXPECT_EQ(done.out, "Cancelled j5.\n");
}

TEST_F(ClientCliTest, MissingKeyOrFileOrArgument) {
  env_["PELMORA_API_URL"] = server.url();
  RunResult no_key = run({"status", "j"});
  EXPECT_EQ(no_key.exit_code, 1);
  EXPECT_NE(no_key.err.find("pelmora login"), std::string::npos) << no_key.err;
  EXPECT_EQ(server.request_count(), 0u);

  env_["PELMORA_API_KEY"] = kKey;
  RunResult no_file = run({"submit", (home_ / "missing.py").string()});
  EXPECT_EQ(no_file.exit_code, 1);
  EXPECT_NE(no_file.err.find("cannot read"), std::string::npos) << no_file.err;

  EXPECT_EQ(run({"status"}).exit_code, 2);
  EXPECT_EQ(run({"submit", "x.py", "--cpu", "many"}).exit_code, 2);
  RunResult help = run({"submit", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("process table"), std::string::npos);
  EXPECT_NE(help.out.find("3 the job failed"), std::string::npos);
}

TEST_F(ClientCliTest, SavedLoginServesLaterCommandsAndLogoutRemovesIt) {
  RunResult login = run({"login", "--api-url", server.url()}, std::string(kKey) + "\n");
  EXPECT_EQ(login.exit_code, 0) << login.err;
  expect_no_key(login);
  const auto file = home_ / "config" / "pelmora" / "login.json";
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(json::parse(_slurp(file.string()))["api_key"], kKey);

  // No flags and no environment: the saved key and URL.
  status(200, R"({"status":"queued"})");
  RunResult r = run({"status", "j4"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(server.request_count(), 1u);
  EXPECT_EQ(server.requests()[0].header("Authorization"), std::string("Bearer ") + kKey);

  // The environment's key wins, and is not sent to the saved URL.
  env_["PELMORA_API_KEY"] = "sk-other";
  env_["PELMORA_API_URL"] = server.url();
  status(200, R"({"status":"queued"})");
  EXPECT_EQ(run({"status", "j4"}).exit_code, 0);
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer sk-other");
  env_.erase("PELMORA_API_KEY");
  env_.erase("PELMORA_API_URL");

  EXPECT_EQ(run({"logout"}).exit_code, 0);
  EXPECT_FALSE(std::filesystem::exists(file));
  RunResult again = run({"logout"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, "Not logged in.\n");

  EXPECT_EQ(run({"login"}, "\n").exit_code, 1);  // an empty key is refused
  EXPECT_FALSE(std::filesystem::exists(file));
}

}  // namespace
}  // namespace pelmora
