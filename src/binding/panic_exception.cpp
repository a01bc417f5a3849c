#include "binding/panic_exception.h"

#include "base/fatal_failure.h"
#include "binding/owned_reference.h"

namespace galtro::binding {
namespace {

constexpr const char kQualifiedName[] = "tamrel_runtime.PanicException";

constexpr const char kDocumentation[] =
    "\n"
    "The exception raised when the native code of galtro_core, called from Python, fails "
    "fatally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* cached_type = nullptr;  // filled once, under the interpreter lock

}  // namespace

PyObject* panic_exception_type() {
  if (cached_type == nullptr) {
    PyObject* type =
        PyErr_NewExceptionWithDoc(kQualifiedName, kDocumentation, PyExc_BaseException, nullptr);
    if (type == nullptr) fatal("Failed to initialize new exception type.");
    cached_type = type;
  }
  return cached_type;
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  OwnedReference text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  // Without the message object the interpreter's own error (a MemoryError) stands.
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace galtro::binding
