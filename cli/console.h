#pragma once
// Terminal pieces shared by the pelmora commands: error lines that never show the key, an
// output stream that knows where its line stands, and a question answered without echo.

#include <streambuf>
#include <string>

namespace pelmora::cli {

// One line for the terminal: every occurrence of `api_key` (when not empty) becomes "***",
// line breaks and runs of white space become one space, other control characters and bytes
// that are not UTF-8 are shown as escape_for_terminal shows them, and a text longer than 600
// bytes is cut (never inside a UTF-8 sequence) and ends in "...".
std::string one_line(std::string text, const std::string& api_key);

// A stream buffer that passes everything on to `target` and remembers whether the last
// character written ended a line, so that a message after a followed log starts on a line
// of its own. `target` must outlive it.
class LineTrackingBuf : public std::streambuf {
 public:
  explicit LineTrackingBuf(std::streambuf* target) : _target(target) {}
  bool at_line_start() const { return _at_line_start; }

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  std::streambuf* _target;
  bool _at_line_start = true;
};

// One line of standard input, read with read(2) (line end dropped). On a terminal, `prompt`
// goes to standard error first and the line is read without echo; SIGINT, SIGTERM and
// SIGHUP put the terminal's settings back before they take their default action, and the
// handlers in force before are restored afterwards. Not reentrant: one question at a time.
std::string ask_without_echo(const char* prompt);

}  // namespace pelmora::cli
