#include "binding/entry_frame.h"

#include <exception>
#include <new>
#include <string_view>

#include "base/fatal_failure.h"
#include "binding/panic_exception.h"

namespace galtro::binding {
namespace {

constexpr std::string_view kNoText = "native code failed without saying why";

// Rethrows the exception being handled and raises its Python counterpart. May throw
// (a failure to make the PanicException type is itself a FatalFailure).
void raise_python_counterpart() {
  try {
    throw;
  } catch (const FatalFailure& failure) {
    raise_panic(failure.message().empty() ? kNoText : failure.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic(kNoText);
  }
}

}  // namespace

void raise_caught_failure() noexcept {
  try {
    raise_python_counterpart();
  } catch (...) {
    abort_with("uncaught panic at ffi boundary");
  }
}

void report_caught_failure_unraisable() noexcept {
  PyObject* pending_type = nullptr;
  PyObject* pending_value = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
  raise_caught_failure();
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(pending_type, pending_value, pending_traceback);
}

}  // namespace galtro::binding
