#include "cli/console.h"

#include <cerrno>
#include <csignal>
#include <iostream>

#include <termios.h>
#include <unistd.h>

#include "agent/platform/terminal_text.h"

namespace pelmora::cli {

std::string one_line(std::string text, const std::string& api_key) {
  if (!api_key.empty()) {
    for (size_t at = text.find(api_key); at != std::string::npos; at = text.find(api_key, at)) {
      text.replace(at, api_key.size(), "***");
    }
  }
  std::string line;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = true;
      continue;
    }
    if (space && !line.empty()) line += ' ';
    space = false;
    line += c;
  }
  // What a service or a job sent can neither move the cursor nor start an escape sequence.
  line = escape_for_terminal(line);
  constexpr size_t kMax = 600;
  if (line.size() > kMax) {
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut) + "...";
  }
  return line;
}

LineTrackingBuf::int_type LineTrackingBuf::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  _at_line_start = traits_type::to_char_type(ch) == '\n';
  return _target->sputc(traits_type::to_char_type(ch));
}

std::streamsize LineTrackingBuf::xsputn(const char* s, std::streamsize n) {
  if (n > 0) _at_line_start = s[n - 1] == '\n';
  return _target->sputn(s, n);
}

int LineTrackingBuf::sync() { return _target->pubsync(); }

namespace {

// The terminal settings to put back if a signal ends the program while echo is off.
termios g_saved_termios{};
volatile sig_atomic_t g_echo_off = 0;

// Async-signal-safe: tcsetattr, signal and raise only.
extern "C" void _restore_echo_and_reraise(int signal_number) {
  if (g_echo_off) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Installs `handler` for SIGINT, SIGTERM and SIGHUP and puts the previous actions back when
// it goes out of scope.
class SignalGuard {
 public:
  explicit SignalGuard(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t k = 0; k < kCount; ++k) ::sigaction(kSignals[k], &action, &_previous[k]);
  }
  ~SignalGuard() {
    for (size_t k = 0; k < kCount; ++k) ::sigaction(kSignals[k], &_previous[k], nullptr);
  }
  SignalGuard(const SignalGuard&) = delete;
  SignalGuard& operator=(const SignalGuard&) = delete;

 private:
  static constexpr size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction _previous[kCount] {};
};

// Reads one line from standard input with read(2); drops the line end.
std::string _read_line() {
  std::string line;
  char c = 0;
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  return line;
}

}  // namespace

std::string ask_without_echo(const char* prompt) {
  if (!::isatty(STDIN_FILENO)) return _read_line();
  std::cerr << prompt << std::flush;
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0) return _read_line();
  g_saved_termios = settings;
  const SignalGuard guard(_restore_echo_and_reraise);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  settings.c_lflag |= ECHONL;
  g_echo_off = 1;
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings);
  std::string line = _read_line();
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  g_echo_off = 0;
  return line;
}

}  // namespace pelmora::cli
