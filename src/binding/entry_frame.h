// The entry frame: the wrapper around every call from the interpreter into the module
// (methods, constructor, destructor, module initialisation).
//
// The body runs inside a try block. Its outcome is a result (returned), an ErrorValue
// (raised, null returned) or a C++ exception:
//   FatalFailure        -> PanicException with the failure's text (already reported),
//                          or with a fixed text when it has none
//   std::bad_alloc      -> MemoryError
//   std::exception      -> PanicException with what()
//   anything else       -> PanicException with a fixed text
// Anything thrown while one of these is being handled ends the process with
// "uncaught panic at ffi boundary": no C++ exception ever reaches the interpreter.
#pragma once

#include <Python.h>

#include <expected>

#include "binding/error_value.h"

namespace galtro::binding {

// What an entry's body produces: a new reference, or the error to raise.
using Outcome = std::expected<PyObject*, ErrorValue>;

// Turns the C++ exception being handled into the current Python exception. Call only
// from a catch block. Ends the process if that fails in turn.
void raise_caught_failure() noexcept;

// Runs `body` (returning Outcome) and returns its result, or null with an exception set.
template <typename Body>
PyObject* run_entry(Body&& body) noexcept {
  try {
    Outcome outcome = body();
    if (outcome) return *outcome;
    std::move(outcome.error()).raise();
  } catch (...) {
    raise_caught_failure();
  }
  return nullptr;
}

// The frame of an entry without a result (the destructor): `body` returns nothing, and a
// failure in it is reported with PyErr_WriteUnraisable instead of being raised. An
// exception pending on entry is kept.
void report_caught_failure_unraisable() noexcept;

template <typename Body>
void run_entry_without_result(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    report_caught_failure_unraisable();
  }
}

}  // namespace galtro::binding
