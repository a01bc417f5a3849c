// Fatal internal failures: a broken invariant that the code cannot recover from.
//
// `fatal` writes the runtime report to standard error (with a stack trace when the
// environment variable GALTRO_BACKTRACE is set to anything but "0" or empty) and then
// throws `FatalFailure`, which unwinds every lock guard on its way out. The Python
// boundary catches it and raises the fatal-failure exception; a C++ caller without
// such a boundary gets the usual uncaught-exception termination.
#pragma once

#include <string>
#include <string_view>

namespace galtro {

// Deliberately not derived from std::exception, so that a handler for ordinary
// exceptions can never swallow it by accident.
class FatalFailure {
 public:
  explicit FatalFailure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Reports `message` and throws FatalFailure carrying it.
[[noreturn]] void fatal(std::string_view message);

// Writes the runtime report for `message` to standard error (no throw). Used by
// `fatal` and by the boundary when it must end the process.
void report_fatal(std::string_view message) noexcept;

// Reports `message` and aborts the process. For failures that must not unwind.
[[noreturn]] void abort_with(std::string_view message) noexcept;

}  // namespace galtro
