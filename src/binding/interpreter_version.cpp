#include "binding/interpreter_version.h"

#include <Python.h>

#include <charconv>
#include <string>

#include "base/fatal_failure.h"

namespace galtro::binding {
namespace {

std::optional<int> parse_number(std::string_view digits) noexcept {
  int value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

bool is_at_least(int major, int minor) {
  const InterpreterVersion version = interpreter_version();
  return version.major > major || (version.major == major && version.minor >= minor);
}

}  // namespace

std::optional<InterpreterVersion> parse_interpreter_version(std::string_view version) noexcept {
  const std::string_view number = version.substr(0, version.find(' '));
  const std::size_t first_dot = number.find('.');
  if (first_dot == std::string_view::npos) return std::nullopt;
  const std::string_view rest = number.substr(first_dot + 1);
  const std::optional<int> major = parse_number(number.substr(0, first_dot));
  const std::optional<int> minor = parse_number(rest.substr(0, rest.find('.')));
  if (!major || !minor) return std::nullopt;
  return InterpreterVersion{*major, *minor};
}

InterpreterVersion interpreter_version() {
  static const InterpreterVersion version = [] {
    const char* text = Py_GetVersion();
    const std::optional<InterpreterVersion> parsed = parse_interpreter_version(text);
    if (!parsed) fatal(std::string("unable to parse the Python version: ") + text);
    return *parsed;
  }();
  return version;
}

bool is_at_least_3_11() {
  static const bool answer = is_at_least(3, 11);
  return answer;
}

bool is_at_least_3_10() {
  static const bool answer = is_at_least(3, 10);
  return answer;
}

}  // namespace galtro::binding
