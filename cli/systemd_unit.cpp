#include "cli/systemd_unit.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace pelmora::cli {

std::string systemd_word(std::string_view word) {
  bool plain = !word.empty();
  std::string escaped;
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\0' || c == '\n' || c == '\r') {
      throw std::invalid_argument("a unit file cannot hold a NUL or a line break");
    }
    if (c == '%' || c == '$') {
      escaped += c;
      escaped += c;
    } else if (c == '"' || c == '\\') {
      plain = false;
      escaped += '\\';
      escaped += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      plain = false;
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      escaped += hex;
    } else {
      if (c == ' ' || c == '\'' || c == ';') plain = false;
      escaped += c;
    }
  }
  return plain ? escaped : "\"" + escaped + "\"";
}

std::string systemd_unit(const UnitOptions& unit) {
  std::string exec;
  for (const std::string& word : unit.command) {
    if (!exec.empty()) exec += ' ';
    exec += systemd_word(word);
  }
  std::string text;
  text += "# " + unit.description + ", as a systemd user service. Install it with:\n";
  text += "#   mkdir -p ~/.config/systemd/user\n";
  text += "#   (this output) > ~/.config/systemd/user/" + unit.name + ".service\n";
  text += "#   systemctl --user daemon-reload\n";
  text += "#   systemctl --user enable --now " + unit.name + "\n";
  text += "#   journalctl --user -u " + unit.name + " -f    # its output\n";
  text += "[Unit]\nDescription=" + unit.description + "\n";
  for (const std::string& line : unit.unit_lines) text += line + "\n";
  text += "\n[Service]\nType=simple\n";
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
    if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
      text += "Environment=" + systemd_word(std::string(name) + "=" + value) + "\n";
    }
  }
  for (const std::string& line : unit.service_lines) text += line + "\n";
  text += "ExecStart=" + exec + "\n";
  text += "Restart=on-failure\nRestartSec=5\n";
  text += "\n[Install]\nWantedBy=default.target\n";
  return text;
}

std::vector<std::string> given_options(const CLI::App& cmd, const std::set<std::string>& leave_out) {
  std::vector<std::string> words;
  for (const CLI::Option* option : cmd.get_options()) {
    if (option->count() == 0 || option->get_lnames().empty()) continue;
    const std::string& name = option->get_lnames().front();
    if (name == "help" || leave_out.contains(name)) continue;
    if (option->get_expected_max() == 0) {
      if (option->as<bool>()) words.push_back("--" + name);
      continue;
    }
    for (const std::string& value : option->results()) words.push_back("--" + name + "=" + value);
  }
  return words;
}

std::string program_beside_self(const std::string& name) {
  std::string self(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (n <= 0) throw std::runtime_error("cannot find this program's own path");
  self.resize(static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + name;
}

}  // namespace pelmora::cli
