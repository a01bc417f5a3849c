#include "binding/argument_binding.h"

#include <string_view>

#include "binding/owned_reference.h"
#include "binding/text_conversion.h"

namespace galtro::binding {
namespace {

constexpr std::size_t kNoParameter = static_cast<std::size_t>(-1);

// Fills the interned names of `description` that are still missing. A name that cannot
// be made is left null and matched by its bytes instead.
void intern_names(const ArgumentDescription& description) {
  for (std::size_t i = 0; i < description.parameter_names.size(); ++i) {
    if (description.interned_names[i] != nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(description.parameter_names[i]);
    if (name == nullptr) drop_pending_failure();
    description.interned_names[i] = name;
  }
}

// The index of the parameter that keyword `key` names, or kNoParameter. A key whose
// text cannot be taken names none. Borrows `key`.
std::size_t find_parameter(const ArgumentDescription& description, PyObject* key) {
  const std::size_t count = description.parameter_names.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (description.interned_names[i] == key) return i;
  }
  std::expected<OwnedReference, ErrorValue> bytes = utf8_bytes(key);
  if (!bytes) return kNoParameter;  // the conversion failure is dropped
  const std::string_view text = bytes_view(bytes->get());
  for (std::size_t i = 0; i < count; ++i) {
    if (text == description.parameter_names[i]) return i;
  }
  return kNoParameter;
}

ErrorValue too_many_positional(const ArgumentDescription& description, Py_ssize_t given) {
  std::string message = description.display_name();
  message += " takes ";
  message += std::to_string(description.parameter_names.size());
  message += " positional arguments but ";
  message += std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  return ErrorValue::deferred(PyExc_TypeError, std::move(message));
}

ErrorValue multiple_values(const ArgumentDescription& description, std::size_t parameter) {
  std::string message = description.display_name();
  message += " got multiple values for argument '";
  message += description.parameter_names[parameter];
  message += "'";
  return ErrorValue::deferred(PyExc_TypeError, std::move(message));
}

ErrorValue unexpected_keyword(const ArgumentDescription& description, PyObject* key) {
  std::string message = description.display_name();
  message += " got an unexpected keyword argument '";
  message += display(key);
  message += "'";
  return ErrorValue::deferred(PyExc_TypeError, std::move(message));
}

// TypeError "{} missing {} required positional {}: 'a', 'b', and 'c'", naming the
// parameters whose slots are empty.
ErrorValue missing_arguments(const ArgumentDescription& description, PyObject* const* slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < description.parameter_names.size(); ++i) {
    if (slots[i] == nullptr) ++missing;
  }
  std::string message = description.display_name();
  message += " missing ";
  message += std::to_string(missing);
  message += missing == 1 ? " required positional argument: " : " required positional arguments: ";
  std::size_t listed = 0;
  for (std::size_t i = 0; i < description.parameter_names.size(); ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) {
      if (missing > 2) message += ",";
      message += listed + 1 == missing ? " and " : " ";
    }
    message += "'";
    message += description.parameter_names[i];
    message += "'";
    ++listed;
  }
  return ErrorValue::deferred(PyExc_TypeError, std::move(message));
}

}  // namespace

std::string ArgumentDescription::display_name() const {
  std::string name = class_name;
  name += ".";
  name += function_name;
  name += "()";
  return name;
}

std::expected<void, ErrorValue> bind_arguments(const ArgumentDescription& description,
                                               PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t parameter_count = description.parameter_names.size();
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return std::unexpected(ErrorValue::fetch());
  const std::size_t positional = static_cast<std::size_t>(given);
  const std::size_t filled = positional < parameter_count ? positional : parameter_count;
  for (std::size_t i = 0; i < filled; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (positional > parameter_count) {
    return std::unexpected(too_many_positional(description, given));
  }

  if (kwargs != nullptr) {
    // Names are interned in order, so the last one tells whether this ran before. One
    // that could not be made stays null and is matched by its bytes.
    if (parameter_count != 0 && description.interned_names[parameter_count - 1] == nullptr) {
      intern_names(description);
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const std::size_t parameter = find_parameter(description, key);
      if (parameter == kNoParameter) {
        return std::unexpected(unexpected_keyword(description, key));
      }
      if (slots[parameter] != nullptr) {
        return std::unexpected(multiple_values(description, parameter));
      }
      slots[parameter] = value;
    }
  }

  for (std::size_t i = positional; i < parameter_count; ++i) {
    if (slots[i] == nullptr) return std::unexpected(missing_arguments(description, slots));
  }
  return {};
}

ErrorValue name_failing_argument(ErrorValue error, const char* parameter) {
  if (error.type() != PyExc_TypeError) return error;
  PyObject* value = error.value();
  if (error.type() != PyExc_TypeError) return error;  // making the value failed instead

  std::string message = "argument '";
  message += parameter;
  message += "': ";
  message += display(value);
  OwnedReference cause(PyExceptionInstance_Check(value) ? PyException_GetCause(value) : nullptr);

  ErrorValue named = ErrorValue::deferred(PyExc_TypeError, std::move(message));
  PyObject* named_value = named.value();
  if (named.type() == PyExc_TypeError && PyExceptionInstance_Check(named_value)) {
    // Steals the cause. Like `raise ... from`, this also suppresses the context, null
    // cause included.
    PyException_SetCause(named_value, cause.release());
  }
  return named;
}

}  // namespace galtro::binding
