// pelmora login, logout: the key and service URL saved for the pelmora commands.
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "agent/client/config.h"
#include "agent/client/local_service.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/host_config.h"

namespace pelmora::cli {

namespace {

std::string _trim(const std::string& text) {
  const char* space = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

struct LoginArgs {
  std::optional<std::string> api_url;
  bool local = false;
};

int _run_login(const LoginArgs& args) {
  if (args.local) {
    if (args.api_url) throw CLI::ValidationError("--local and --api-url cannot be used together");
    const LocalService local = ensure_local_service();
    save_login(local.url, local.api_key);
    std::cout << "Logged in to the local job service at " << local.url << " (saved in "
              << login_file_path() << ").\n";
    return kExitOk;
  }
  const std::string key = _trim(ask_without_echo("API key (not shown): "));
  if (key.empty()) throw std::runtime_error("no API key given");
  if (key.find_first_of(" \t") != std::string::npos || key.find('\0') != std::string::npos) {
    throw std::runtime_error("an API key cannot contain spaces");
  }
  save_login(args.api_url, key);
  const std::string url =
      args.api_url && !args.api_url->empty() ? *args.api_url : std::string(_DEFAULT_API_URL);
  std::cout << "Logged in to " << url << " (saved in " << login_file_path() << ").\n";
  return kExitOk;
}

int _run_logout() {
  if (remove_login()) {
    std::cout << "Logged out (removed " << login_file_path() << ").\n";
  } else {
    std::cout << "Not logged in.\n";
  }
  return kExitOk;
}

}  // namespace

void add_login_commands(CLI::App& app, int& exit_code) {
  auto login_args = std::make_shared<LoginArgs>();
  CLI::App* login = app.add_subcommand(
      "login", "Save an API key (and service URL) for the pelmora commands and the agent.");
  login->add_option("--api-url", login_args->api_url, "Base URL of the job service to log in to (default: the public service)");
  login->add_flag("--local", login_args->local, "Log in to this user's local job service (`pelmora serve`), starting it if needed");
  login->footer(
      "The key is read without echo from the terminal, or as the first line of standard "
      "input (e.g. `pelmora login < keyfile`), and saved with mode 0600 in "
      "$XDG_CONFIG_HOME/pelmora/login.json (default ~/.config/pelmora/login.json). "
      "PELMORA_API_KEY and PELMORA_API_URL, when set, take precedence over it.");
  login->callback([login_args, &exit_code] { exit_code = _run_login(*login_args); });

  CLI::App* logout = app.add_subcommand("logout", "Remove the saved login.");
  logout->callback([&exit_code] { exit_code = _run_logout(); });
}

}  // namespace pelmora::cli
