// The class CoordinationState: one heap type per process, made on first need.
#pragma once

#include <Python.h>

#include <expected>

#include "binding/error_value.h"

namespace galtro::binding {

// The class, made by the first call and kept for the life of the process. Borrowed.
std::expected<PyTypeObject*, ErrorValue> coordination_state_type();

}  // namespace galtro::binding
