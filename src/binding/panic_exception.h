// PanicException: the Python exception that stands for a fatal internal failure.
//
// Derived from BaseException so that `except Exception` does not swallow it. Made on
// first need and kept for the life of the process; not an attribute of the module.
#pragma once

#include <Python.h>

#include <string_view>

namespace galtro::binding {

// The exception type. Borrowed (the process keeps it). Failing to make it is a fatal
// failure of its own, "Failed to initialize new exception type.".
PyObject* panic_exception_type();

// Sets a PanicException whose only argument is `message` as the current exception.
// Invalid UTF-8 in `message` is replaced by U+FFFD.
void raise_panic(std::string_view message);

}  // namespace galtro::binding
