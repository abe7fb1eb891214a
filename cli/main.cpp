// The pelmora command: the watch agent and its companions.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "agent/platform/errors.h"
#include "cli/commands.h"

namespace {

// `pelmora serve ...` runs pelmora-service from pelmora's own directory with the same
// arguments; it only returns when that program cannot be started.
int run_service_program(int argc, char** argv) {
  std::string self(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::string program = pelmora::cli::kServiceProgram;
  if (n > 0) {
    self.resize(static_cast<std::size_t>(n));
    const auto slash = self.rfind('/');
    if (slash != std::string::npos) program = self.substr(0, slash + 1) + program;
  }
  std::vector<char*> args;
  args.push_back(program.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(program.c_str(), args.data());
  std::cerr << "pelmora: error: cannot run the job service program " << program << ": "
            << pelmora::errno_text(errno) << " (it is installed beside pelmora)\n";
  return pelmora::cli::kExitError;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pelmora::cli;
  if (argc >= 2 && std::string(argv[1]) == "serve") return run_service_program(argc, argv);
  // Writes to a closed pipe report EPIPE instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"pelmora: offload heavy Python scripts from this machine to a job service."};
  app.set_version_flag("--version", "pelmora 0.1.0");
  app.require_subcommand(1);
  int exit_code = kExitOk;
  add_watch_command(app, exit_code);
  add_submit_commands(app, exit_code);
  add_login_commands(app, exit_code);
  // Listed here for the help text; run by pelmora-service (see above).
  app.add_subcommand("serve", "Run the local job service in the foreground (see `pelmora serve --help`).")
      ->allow_extras();
  add_job_commands(app, exit_code);
  add_file_commands(app, exit_code);
  add_bundle_command(app, exit_code);
  add_imports_command(app, exit_code);
  add_scan_command(app, exit_code);
  return run_app(app, argc, argv, exit_code);
}
