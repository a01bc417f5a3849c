// The reader module's way into an instance of galtro_core.CoordinationState: telling
// the class from anything else, and a shared use of an instance's state for one call.
//
// The class is recognised by what Python code cannot change: the function that
// destroys its instances (the type's tp_dealloc slot) lies in the shared object that
// galtro_core was loaded from, the one defining PyInit_galtro_core. The module's
// attribute CoordinationState, a metaclass, __slots__ or a matching __basicsize__ play
// no part, so replacing or patching them never makes another object readable.
#pragma once

#include <Python.h>

#include <expected>

#include "binding/error_value.h"
#include "core/coordination_state.h"

namespace galtro::binding {

// Imports galtro_core so that its class exists, and recognises the class at once when
// the module's attribute still names it: ImportError if its instances do not have the
// record of binding/instance_record.h (galtro_core from another build). Call once from
// module initialisation, under the interpreter lock.
std::expected<void, ErrorValue> load_state_type();

// Whether `object` is an instance of galtro_core's class (which takes no subclasses).
// Under the interpreter lock. Borrows `object`.
std::expected<bool, ErrorValue> is_state(PyObject* object);

// Shared use of an instance's state for the length of one call, with a reference to the
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

  // The tables lock themselves: shared use allows the operations that change them.
  CoordinationState& state() const noexcept { return *state_; }

 private:
  SharedStateUse(PyObject* object, CoordinationState* state) noexcept;

  PyObject* object_;  // owned reference; null once moved from
  CoordinationState* state_;
};

}  // namespace galtro::binding
