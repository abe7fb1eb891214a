// pelmora serve --print-systemd-unit and pelmora watch --print-systemd-unit: the unit files
// as systemd reads them (systemd-analyze verify, where it is installed), the options given
// on ExecStart, and never a key.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace pelmora {
namespace {

struct Ran {
  int status = -1;
  std::string out;
};

Ran run(const std::string& command) {
  Ran result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) result.out.append(buf, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string line_starting(const std::string& text, const std::string& start) {
  const size_t at = text.find("\n" + start);
  if (at == std::string::npos) return "";
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

TEST(SystemdUnit, WatchAndServeUnitsRunTheGivenOptionsAndNeverCarryTheKey) {
  const std::string pelmora = PELMORA_BINARY;
  const std::string dir = pelmora.substr(0, pelmora.rfind('/'));
  const std::string env = "env PELMORA_API_KEY=sk-secret-123 XDG_CONFIG_HOME='/tmp/c 50%' ";
  const Ran watch = run(env + pelmora +
                        " watch --print-systemd-unit --local --for 5 --mine --stop-local "
                        "--gpu 'A%1 \"x\" $HOME' 2>&1");
  ASSERT_EQ(watch.status, 0) << watch.out;
  EXPECT_EQ(line_starting(watch.out, "ExecStart="),
            "ExecStart=" + pelmora +
                " watch \"--gpu=A%%1 \\\"x\\\" $$HOME\" --local --for=5 --mine --stop-local --auto");
  EXPECT_EQ(line_starting(watch.out, "EnvironmentFile="),
            "EnvironmentFile=-/tmp/c 50%%/pelmora/agent.env");
  EXPECT_NE(watch.out.find("\nRestart=on-failure\n"), std::string::npos);
  EXPECT_NE(watch.out.find("\nAfter=pelmora-serve.service\n"), std::string::npos);
  EXPECT_EQ(watch.out.find("sk-secret-123"), std::string::npos);
  // --auto given is not given twice; a key on the command line is refused.
  EXPECT_EQ(line_starting(run(pelmora + " watch --print-systemd-unit --auto").out, "ExecStart="),
            "ExecStart=" + pelmora + " watch --auto");
  EXPECT_EQ(run(pelmora + " watch --print-systemd-unit --api-key sk-x >/dev/null 2>&1").status, 2);

  const Ran serve = run(pelmora + " serve --print-systemd-unit --port 9000 --pass-env 'A B' 2>&1");
  ASSERT_EQ(serve.status, 0) << serve.out;
  EXPECT_EQ(line_starting(serve.out, "ExecStart="),
            "ExecStart=" + dir + "/pelmora-service serve --port=9000 \"--pass-env=A B\"");
  EXPECT_EQ(run(pelmora + " serve --print-systemd-unit --stop >/dev/null 2>&1").status, 2);

  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed: the units were not verified";
  }
  char pattern[] = "/tmp/pelmora-unit-XXXXXX";
  const std::string tmp = mkdtemp(pattern);
  std::ofstream(tmp + "/pelmora-watch.service") << watch.out;
  std::ofstream(tmp + "/pelmora-serve.service") << serve.out;
  const Ran verified = run("systemd-analyze verify " + tmp + "/pelmora-watch.service " + tmp +
                           "/pelmora-serve.service 2>&1");
  std::system(("rm -rf '" + tmp + "'").c_str());
  EXPECT_EQ(verified.status, 0) << verified.out;
  EXPECT_EQ(verified.out.find("pelmora-"), std::string::npos) << verified.out;
}

}  // namespace
}  // namespace pelmora
