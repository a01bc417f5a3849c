#include "base/fatal_failure.h"

#include <execinfo.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace galtro {
namespace {

constexpr const char* kBacktraceVariable = "GALTRO_BACKTRACE";

void write_all(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

bool backtrace_requested() noexcept {
  const char* value = std::getenv(kBacktraceVariable);
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace

void report_fatal(std::string_view message) noexcept {
  write_all("galtro_core: fatal internal failure: ");
  write_all(message);
  write_all("\n");
  if (backtrace_requested()) {
    void* frames[64];
    const int depth = ::backtrace(frames, 64);
    write_all("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  } else {
    write_all("note: run with `GALTRO_BACKTRACE=1` to display a backtrace\n");
  }
}

void fatal(std::string_view message) {
  report_fatal(message);
  throw FatalFailure(std::string(message));
}

void abort_with(std::string_view message) noexcept {
  report_fatal(message);
  std::abort();
}

}  // namespace galtro
