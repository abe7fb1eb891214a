#pragma once
// The subcommands of the pelmora command. Each add_* function registers one or more
// subcommands on `app`; a subcommand's callback stores its exit status in `exit_code`.
// A callback may throw: main prints "pelmora: error: <what>" on standard error and exits 1.

#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace pelmora::cli {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

// A finite decimal number ("85", "0.5", "1e2"), or nullopt for anything else.
std::optional<double> parse_finite(const std::string& text);

// Rejects an option value that parse_finite does not accept, as a usage error.
CLI::Validator finite_number(const std::string& what);

void add_scan_command(CLI::App& app, int& exit_code);      // scan
void add_imports_command(CLI::App& app, int& exit_code);   // imports
void add_bundle_command(CLI::App& app, int& exit_code);    // bundle
void add_submit_commands(CLI::App& app, int& exit_code);   // submit, status, logs
void add_login_commands(CLI::App& app, int& exit_code);    // login, logout
void add_job_commands(CLI::App& app, int& exit_code);      // cancel, jobs
void add_file_commands(CLI::App& app, int& exit_code);     // files, get
void add_watch_command(CLI::App& app, int& exit_code);     // watch
void add_serve_command(CLI::App& app, int& exit_code);     // serve (pelmora-service only)

// Parses the command line and runs the chosen subcommand: help, version and usage errors
// as CLI11 prints them (usage errors exit kExitUsage), an exception thrown by a callback as
// "pelmora: error: <what>" (kExitError), otherwise `exit_code` as the callback set it.
int run_app(CLI::App& app, int argc, char** argv, const int& exit_code);

// The name of the program that runs the job service, installed beside pelmora.
inline constexpr const char* kServiceProgram = "pelmora-service";

}  // namespace pelmora::cli
