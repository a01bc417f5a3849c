// The version of the running interpreter, read once from Py_GetVersion.
//
// One build of the module loads into every interpreter from 3.9 on; the two places
// where the version matters ask here at run time.
#pragma once

#include <optional>
#include <string_view>

namespace galtro::binding {

struct InterpreterVersion {
  int major;
  int minor;
};

// Parses the text that Py_GetVersion returns ("3.11.7 (main, ...) [GCC ...]"): the
// text before the first space, split at '.', gives the major and the minor number.
// Empty if either is not a number.
std::optional<InterpreterVersion> parse_interpreter_version(std::string_view version) noexcept;

// The running interpreter's version, read on first use and cached for the process.
// An unreadable version is a fatal failure.
InterpreterVersion interpreter_version();

// From 3.11 on, PyType_FromSpec copies the type's name; before, it keeps pointing at it.
bool is_at_least_3_11();
// From 3.10 on, PyType_GetSlot accepts types that are not heap types.
bool is_at_least_3_10();

}  // namespace galtro::binding
