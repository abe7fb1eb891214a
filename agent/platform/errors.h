#pragma once
// The one mapping from an errno value to words, and the exception that carries both.

#include <stdexcept>
#include <string>

namespace pelmora {

// The system's text for `error_code`, as strerror gives it ("No such file or directory"),
// made thread-safely.
std::string errno_text(int error_code);

// A system call failed. what() is the whole message (usually "<what was tried>: " +
// errno_text(error_code)); `error_code` is the errno.
class SystemError : public std::runtime_error {
 public:
  SystemError(int error_code_, const std::string& message)
      : std::runtime_error(message), error_code(error_code_) {}
  int error_code;
};

// SystemError(error_code, context + ": " + errno_text(error_code)).
[[noreturn]] void throw_system_error(int error_code, const std::string& context);

}  // namespace pelmora
