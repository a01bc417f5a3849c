// Argument binding: positional and keyword arguments matched against the parameter
// names of an entry, and the errors that name what went wrong.
//
// Every parameter of every entry is required and may be given by position or by
// keyword; there are no defaults, no positional-only and no keyword-only parameters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "binding/error_value.h"

namespace galtro::binding {

// The static description of one entry.
struct ArgumentDescription {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> parameter_names;
  // One slot per parameter: the name as an interned str, made on the first call with
  // keywords. Keyword names written in Python source are interned, so most keys match
  // by identity and never need encoding.
  std::span<PyObject*> interned_names;

  // "{class}.{function}()", for messages.
  std::string display_name() const;
};

// Binds `args` (a tuple) and `kwargs` (a dict or null) to the parameters of
// `description`: on success slots[i] holds a borrowed reference to the argument of
// parameter i. `slots` must have one entry per parameter, all null. Borrows `args` and
// `kwargs`.
std::expected<void, ErrorValue> bind_arguments(const ArgumentDescription& description,
                                               PyObject* args, PyObject* kwargs, PyObject** slots);

// Replaces `error`, raised while converting the argument of `parameter`, by TypeError
// "argument '{parameter}': {error shown by the Display rule}" carrying the same
// __cause__, when its type is TypeError itself; passes any other error through.
ErrorValue name_failing_argument(ErrorValue error, const char* parameter);

}  // namespace galtro::binding
