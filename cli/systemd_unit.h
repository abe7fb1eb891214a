#pragma once
// The systemd user units that `pelmora serve --print-systemd-unit` and
// `pelmora watch --print-systemd-unit` print.

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace pelmora::cli {

// What one unit runs and how.
struct UnitOptions {
  std::string name;         // "pelmora-serve": the unit file is NAME.service
  std::string description;  // Description=
  std::vector<std::string> command;  // ExecStart=, the program's absolute path first
  std::vector<std::string> unit_lines;     // more lines of [Unit] (After=, Wants=)
  std::vector<std::string> service_lines;  // more lines of [Service] (EnvironmentFile=)
};

// The unit file's text: a comment that says how to install it, then [Unit], [Service]
// (ExecStart=, Restart=on-failure, the environment's XDG_CONFIG_HOME and XDG_DATA_HOME when
// set) and [Install] (WantedBy=default.target).
// Throws std::invalid_argument when a word holds a NUL or a line break.
std::string systemd_unit(const UnitOptions& unit);

// One word of ExecStart= or Environment=: as it is when systemd reads it so, else in double
// quotes with C escapes; '%' doubled (specifiers) and '$' doubled (variables) either way.
std::string systemd_word(std::string_view word);

// The options given on `cmd`'s command line, as words that give them again ("--name=value",
// "--flag"), in the order `cmd` declares them, leaving out those whose long name is in
// `leave_out` and the help flag.
std::vector<std::string> given_options(const CLI::App& cmd, const std::set<std::string>& leave_out);

// The absolute path of program `name` in this program's own directory.
std::string program_beside_self(const std::string& name);

}  // namespace pelmora::cli
