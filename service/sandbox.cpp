#include "service/sandbox.h"

#include "agent/platform/subprocess.h"

namespace pelmora::service {

const char* confinement_name(Confinement confinement) {
  return confinement == Confinement::bubblewrap ? "bubblewrap" : "supervisor";
}

std::vector<std::string> bubblewrap_command(const std::string& bwrap, const std::string& work_dir,
                                            const std::vector<std::string>& hidden,
                                            const std::vector<std::string>& command) {
  std::vector<std::string> argv = {bwrap,           "--ro-bind",      "/",     "/",
                                   "--dev",         "/dev",           "--proc", "/proc",
                                   "--tmpfs",       "/tmp",           "--unshare-pid",
                                   "--unshare-ipc", "--die-with-parent"};
  for (const auto& dir : hidden) argv.insert(argv.end(), {"--tmpfs", dir});
  argv.insert(argv.end(), {"--bind", work_dir, work_dir, "--chdir", work_dir, "--"});
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

ConfinementProbe probe_confinement(const std::string& bwrap) {
  ConfinementProbe probe;
  auto program = find_program(bwrap);
  if (!program) {
    probe.problem = "bubblewrap (" + bwrap + ") is not installed";
    return probe;
  }
  auto truth = find_program("true");
  SpawnOptions run;
  run.argv = bubblewrap_command(*program, "/", {}, {truth ? *truth : "/bin/true"});
  try {
    CommandOutput out = run_command(run, 10.0, 4096);
    if (out.timed_out || out.status != 0) {
      std::string why = out.err;
      while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
      probe.problem = *program + " cannot run here" +
                      (out.timed_out ? std::string(" (no answer in 10 s)")
                                     : why.empty() ? "" : ": " + why.substr(0, 200));
      return probe;
    }
  } catch (const SpawnError& e) {
    probe.problem = e.what();
    return probe;
  }
  probe.confinement = Confinement::bubblewrap;
  probe.bwrap = *program;
  return probe;
}

}  // namespace pelmora::service
