// The pelmora command: the watch agent and its companions.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>
#include <curl/curl.h>

#include "cli/commands.h"

int main(int argc, char** argv) {
  using namespace pelmora::cli;
  // Writes to a closed pipe report EPIPE instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  CLI::App app{"pelmora: offload heavy Python scripts from this machine to a job service."};
  app.set_version_flag("--version", "pelmora 0.1.0");
  app.require_subcommand(1);
  int exit_code = kExitOk;
  add_watch_command(app, exit_code);
  add_client_commands(app, exit_code);
  add_service_commands(app, exit_code);
  add_bundle_command(app, exit_code);
  add_imports_command(app, exit_code);
  add_scan_command(app, exit_code);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "pelmora: error: " << e.what() << "\n";
    return kExitError;
  }
  std::fflush(stdout);
  curl_global_cleanup();
  return exit_code;
}
