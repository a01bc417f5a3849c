#include "binding/reader/state_access.h"

#include <string>
#include <utility>

#include "binding/instance_record.h"
#include "binding/owned_reference.h"
#include "binding/text_conversion.h"

namespace galtro::binding {
namespace {

constexpr char kClassName[] = "CoordinationState";

// galtro_core.CoordinationState; one strong reference kept for the life of the process,
// set once under the interpreter lock.
PyTypeObject* state_type = nullptr;

Instance* as_instance(PyObject* object) noexcept {
  return reinterpret_cast<Instance*>(object);
}

}  // namespace

std::expected<void, ErrorValue> load_state_type() {
  if (state_type != nullptr) return {};
  OwnedReference module(PyImport_ImportModule("galtro_core"));
  if (!module) return std::unexpected(ErrorValue::fetch());
  OwnedReference type(PyObject_GetAttrString(module.get(), kClassName));
  if (!type) return std::unexpected(ErrorValue::fetch());
  if (!PyType_Check(type.get())) {
    return std::unexpected(
        ErrorValue::deferred(PyExc_ImportError, "galtro_core.CoordinationState is not a class"));
  }
  // A galtro_core from another build could lay its instances out otherwise; reading one
  // through this record would read past it.
  OwnedReference size_object(PyObject_GetAttrString(type.get(), "__basicsize__"));
  if (!size_object) return std::unexpected(ErrorValue::fetch());
  const Py_ssize_t size = PyLong_AsSsize_t(size_object.get());
  if (size == -1 && PyErr_Occurred() != nullptr) return std::unexpected(ErrorValue::fetch());
  if (size != static_cast<Py_ssize_t>(sizeof(Instance))) {
    return std::unexpected(ErrorValue::deferred(
        PyExc_ImportError, "galtro_core.CoordinationState has instances of " +
                               std::to_string(size) + " bytes, this reader expects " +
                               std::to_string(sizeof(Instance)) +
                               ": galtro_core and galtro come from different builds"));
  }
  state_type = reinterpret_cast<PyTypeObject*>(type.release());
  return {};
}

std::expected<SharedStateUse, ErrorValue> SharedStateUse::of(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (state_type == nullptr || (type != state_type && PyType_IsSubtype(type, state_type) == 0)) {
    return std::unexpected(conversion_error(type, kClassName));
  }
  const CoordinationState* state = as_instance(object)->state;
  if (state == nullptr) {
    return std::unexpected(
        ErrorValue::deferred(PyExc_TypeError, "uninitialized CoordinationState object"));
  }
  return SharedStateUse(object, state);
}

SharedStateUse::SharedStateUse(PyObject* object, const CoordinationState* state) noexcept
    : object_(object), state_(state) {
  Py_INCREF(object_);
  ++as_instance(object_)->shared_use;
}

SharedStateUse::SharedStateUse(SharedStateUse&& other) noexcept
    : object_(std::exchange(other.object_, nullptr)), state_(other.state_) {}

SharedStateUse::~SharedStateUse() {
  if (object_ == nullptr) return;
  --as_instance(object_)->shared_use;
  Py_DECREF(object_);
}

}  // namespace galtro::binding
