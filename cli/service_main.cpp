// pelmora-service: the local job service, run as `pelmora serve` (or directly, as
// `pelmora-service serve`).
#include <csignal>

#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
  using namespace pelmora::cli;
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{"pelmora serve: the local job service."};
  app.name("pelmora");
  app.set_version_flag("--version", "pelmora 0.1.0");
  app.require_subcommand(1);
  int exit_code = kExitOk;
  add_serve_command(app, exit_code);
  return run_app(app, argc, argv, exit_code);
}
