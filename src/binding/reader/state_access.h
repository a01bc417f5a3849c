// The reader module's way into an instance of galtro_core.CoordinationState: the class,
// taken from galtro_core once, and a shared use of an instance's state for one read.
#pragma once

#include <Python.h>

#include <expected>

#include "binding/error_value.h"
#include "lib/coordination_state.h"

namespace galtro::binding {

// Imports galtro_core and keeps its class CoordinationState for the life of the process,
// after checking that its instances have the record of binding/instance_record.h
// (ImportError otherwise). Call once from module initialisation.
std::expected<void, ErrorValue> load_state_type();

// Shared use of an instance's state for the length of one read, with a reference to the
// instance held meanwhile; counted in the instance's `shared_use` like a method call.
class SharedStateUse {
 public:
  // The use of `object`'s state, or TypeError: "'{type}' object cannot be converted to
  // 'CoordinationState'" for anything but an instance of the class, and
  // "uninitialized CoordinationState object" for an instance without a state. Borrows
  // `object`.
  static std::expected<SharedStateUse, ErrorValue> of(PyObject* object);

  SharedStateUse(SharedStateUse&& other) noexcept;
  SharedStateUse& operator=(SharedStateUse&&) = delete;
  SharedStateUse(const SharedStateUse&) = delete;
  SharedStateUse& operator=(const SharedStateUse&) = delete;
  ~SharedStateUse();

  const CoordinationState& state() const noexcept { return *state_; }

 private:
  SharedStateUse(PyObject* object, const CoordinationState* state) noexcept;

  PyObject* object_;  // owned reference; null once moved from
  const CoordinationState* state_;
};

}  // namespace galtro::binding
