// ErrorValue: a Python exception on its way out of an entry, and the rules for
// taking a failure from the interpreter and for showing an object inside a message.
//
// An error is either deferred (an exception type and the text of its message, turned
// into Python objects only when it is raised or inspected) or fetched (the type, value
// and traceback taken from the interpreter after one of its calls failed).
#pragma once

#include <Python.h>

#include <string>

#include "binding/owned_reference.h"

namespace galtro::binding {

class ErrorValue {
 public:
  // A deferred error. Borrows `type`, a built-in exception type such as PyExc_TypeError.
  static ErrorValue deferred(PyObject* type, std::string message);

  // Takes the interpreter's pending exception; SystemError "attempted to fetch exception
  // but none was set" when there is none. A pending PanicException is no error but a
  // fatal failure coming back through the interpreter: it is printed and thrown on as a
  // FatalFailure carrying its str.
  static ErrorValue fetch();

  ErrorValue(ErrorValue&&) noexcept = default;
  ErrorValue& operator=(ErrorValue&&) noexcept = default;

  // The exception type. Borrowed.
  PyObject* type() const noexcept { return type_.get(); }

  // The exception instance, made (deferred) or normalised (fetched) on first use. Should
  // that fail, this error becomes the failure that did. Borrowed; never null.
  PyObject* value();

  // Sets this error as the interpreter's current exception. A deferred error's only
  // argument is its message; a type that is no exception class raises TypeError
  // "exceptions must derive from BaseException" instead.
  void raise() && noexcept;

 private:
  ErrorValue(OwnedReference type, std::string message) noexcept;
  ErrorValue(OwnedReference type, OwnedReference value, OwnedReference traceback) noexcept;

  OwnedReference type_;
  OwnedReference value_;      // fetched, or deferred once made by value()
  OwnedReference traceback_;  // fetched only; may be empty
  std::string message_;       // deferred only
  bool deferred_;
};

// Takes the pending exception and drops it (for failures the caller has a fallback for).
// A pending PanicException still ends as a fatal failure, as in ErrorValue::fetch.
void drop_pending_failure();

// Returns `object`, a new reference from an interpreter call that must not fail. A null
// with MemoryError pending throws std::bad_alloc; any other null is a fatal failure
// "Python API call failed", after the pending exception is printed.
PyObject* require_object(PyObject* object);

// The Display rule: str(object) as UTF-8, surrogates and all, with every invalid
// sequence replaced by U+FFFD. If str() fails, the failure is reported as unraisable and
// "<unprintable {type name} object>" (or "<unprintable object>") stands in. Borrows
// `object`.
std::string display(PyObject* object);

}  // namespace galtro::binding
