// The instance record of the class CoordinationState, shared by every native module of
// the package that reads an instance: galtro_core, which builds and destroys it, and
// the state reader.
#pragma once

#include <Python.h>

namespace galtro {
class CoordinationState;
}  // namespace galtro

namespace galtro::binding {

struct Instance {
  PyObject ob_base;  // the object header (PyObject_HEAD)
  // Owned; built by the constructor, destroyed by the destructor. Null in an instance
  // made without the constructor, which every reader of the state refuses.
  CoordinationState* state;
  // Calls using the state: 0 none, n > 0 that many shared uses, -1 exclusive use (which
  // no operation needs, as the tables lock themselves). Changed only under the
  // interpreter lock.
  Py_ssize_t shared_use;
};

}  // namespace galtro::binding
