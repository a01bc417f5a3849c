#include "binding/error_value.h"

#include <new>
#include <optional>

#include "base/fatal_failure.h"
#include "binding/panic_exception.h"
#include "binding/text_conversion.h"

namespace galtro::binding {

ErrorValue::ErrorValue(OwnedReference type, std::string message) noexcept
    : type_(std::move(type)), message_(std::move(message)), deferred_(true) {}

ErrorValue::ErrorValue(OwnedReference type, OwnedReference value, OwnedReference traceback) noexcept
    : type_(std::move(type)),
      value_(std::move(value)),
      traceback_(std::move(traceback)),
      deferred_(false) {}

ErrorValue ErrorValue::deferred(PyObject* type, std::string message) {
  Py_INCREF(type);
  return ErrorValue(OwnedReference(type), std::move(message));
}

namespace {

// The text of a PanicException coming back through the interpreter. Borrows `value`.
std::string panic_text(PyObject* value) {
  OwnedReference text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Clear();
    return "a fatal failure came back through the interpreter without a message";
  }
  OwnedReference bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return "a fatal failure came back through the interpreter without a message";
  }
  return decode_utf8_lossy(bytes_view(bytes.get()));
}

}  // namespace

ErrorValue ErrorValue::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  OwnedReference owned_type(type);
  OwnedReference owned_value(value);
  OwnedReference owned_traceback(traceback);
  if (type == panic_exception_type()) {
    type = owned_type.release();
    value = owned_value.release();
    traceback = owned_traceback.release();
    PyErr_NormalizeException(&type, &value, &traceback);  // may replace all three
    owned_type.reset(type);
    owned_value.reset(value);
    owned_traceback.reset(traceback);
    std::string text = panic_text(value);
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    PyErr_PrintEx(0);
    // The printed traceback is the report; the failure itself was reported where it
    // first happened.
    throw FatalFailure(std::move(text));
  }
  return ErrorValue(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

PyObject* ErrorValue::value() {
  if (deferred_) {
    if (value_) return value_.get();
    if (PyExceptionClass_Check(type_.get())) {
      OwnedReference message(
          PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
      if (message) value_.reset(PyObject_CallFunctionObjArgs(type_.get(), message.get(), nullptr));
      if (value_) return value_.get();
    } else {
      std::move(*this).raise();  // sets the TypeError that stands in for it
    }
    // Whatever failed is now pending and becomes this error, in fetched form.
    *this = fetch();
  }
  if (!value_ || !PyExceptionInstance_Check(value_.get())) {
    // Fetched but not normalised: the value may be null, an argument or a tuple of them.
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_.reset(type);
    value_.reset(value);
    traceback_.reset(traceback);
  }
  if (!value_) {
    // The interpreter always makes an instance; should it not, None stands in.
    Py_INCREF(Py_None);
    value_.reset(Py_None);
  }
  return value_.get();
}

void ErrorValue::raise() && noexcept {
  if (!deferred_) {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  if (!PyExceptionClass_Check(type_.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  if (value_) {
    PyErr_SetObject(type_.get(), value_.get());
    return;
  }
  OwnedReference message(
      PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
  // Without the message object the interpreter's own error (a MemoryError) stands.
  if (message) PyErr_SetObject(type_.get(), message.get());
}

void drop_pending_failure() {
  (void)ErrorValue::fetch();
}

PyObject* require_object(PyObject* object) {
  if (object == nullptr) {
    // Running out of memory is not fatal here: it unwinds as std::bad_alloc, which the
    // entry frame raises as MemoryError, and the caller may undo what it took out.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    PyErr_Print();
    fatal("Python API call failed");
  }
  return object;
}

std::string display(PyObject* object) {
  OwnedReference text(PyObject_Str(object));
  if (!text) {
    ErrorValue::fetch().raise();
    PyErr_WriteUnraisable(object);
    const std::optional<std::string> name = type_attribute_text(Py_TYPE(object), "__name__");
    if (!name) return "<unprintable object>";
    return "<unprintable " + *name + " object>";
  }
  OwnedReference bytes(
      require_object(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass")));
  return decode_utf8_lossy(bytes_view(bytes.get()));
}

}  // namespace galtro::binding
