// Module initialisation: the module definition and PyInit_galtro_core, the module's
// only exported symbol. Single-phase initialisation, one interpreter per process.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/fatal_failure.h"
#include "binding/coordination_state_type.h"
#include "binding/entry_frame.h"
#include "binding/error_value.h"
#include "binding/owned_reference.h"
#include "binding/text_conversion.h"

namespace galtro::binding {
namespace {

// ---------------------------------------------------------------------------------------
// Module definition and process-wide state

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "galtro_core",
    "",  // an empty __doc__, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; -1 before. Set once, by
// compare-and-swap.
std::atomic<std::int64_t> first_interpreter_id{-1};

// The module made by the first successful initialisation; one strong reference kept for
// the life of the process. Touched only under the interpreter lock.
PyObject* module_cache = nullptr;

// The interned str "__all__", made once.
PyObject* all_name = nullptr;

constexpr char kClassName[] = "CoordinationState";

constexpr char kSubinterpreterMessage[] =
    "galtro_core: native extension modules do not yet support subinterpreters; the module "
    "can only be used in the interpreter that first imported it";

// ---------------------------------------------------------------------------------------
// Registration of the class

// The module's __all__ list, made and set if the module has none. Returns a new
// reference. Borrows `module`.
std::expected<OwnedReference, ErrorValue> all_list(PyObject* module) {
  if (all_name == nullptr) {
    all_name = PyUnicode_InternFromString("__all__");
    if (all_name == nullptr) return std::unexpected(ErrorValue::fetch());
  }
  OwnedReference all(PyObject_GetAttr(module, all_name));
  if (!all) {
    ErrorValue failure = ErrorValue::fetch();
    if (!PyErr_GivenExceptionMatches(failure.type(), PyExc_AttributeError)) {
      return std::unexpected(std::move(failure));
    }
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) {
      return std::unexpected(ErrorValue::fetch());
    }
    return all;
  }
  if (!PyList_Check(all.get()))
    return std::unexpected(conversion_error(Py_TYPE(all.get()), "PyList"));
  return all;
}

// Adds the class to `module` and to its __all__. Borrows `module`.
std::expected<void, ErrorValue> register_class(PyObject* module) {
  std::expected<PyTypeObject*, ErrorValue> type = coordination_state_type();
  if (!type) return std::unexpected(std::move(type.error()));
  OwnedReference name(PyUnicode_FromString(kClassName));
  if (!name) return std::unexpected(ErrorValue::fetch());

  std::expected<OwnedReference, ErrorValue> all = all_list(module);
  if (!all) return std::unexpected(std::move(all.error()));
  if (PyList_Append(all->get(), name.get()) < 0) {
    drop_pending_failure();
    fatal("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(*type)) < 0) {
    return std::unexpected(ErrorValue::fetch());
  }
  return {};
}

// ---------------------------------------------------------------------------------------
// Initialisation

// Returns a new reference to the module: the cached one, or a new one with the class
// registered.
Outcome initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return std::unexpected(ErrorValue::fetch());
  std::int64_t expected = -1;
  if (!first_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return std::unexpected(ErrorValue::deferred(PyExc_ImportError, kSubinterpreterMessage));
  }

  if (module_cache == nullptr) {
    OwnedReference module(PyModule_Create2(&module_definition, 3));
    if (!module) return std::unexpected(ErrorValue::fetch());
    if (auto registered = register_class(module.get()); !registered) {
      return std::unexpected(std::move(registered.error()));
    }
    module_cache = module.release();
  }
  Py_INCREF(module_cache);
  return module_cache;
}

}  // namespace
}  // namespace galtro::binding

PyMODINIT_FUNC PyInit_galtro_core(void) {
  return galtro::binding::run_entry(galtro::binding::initialise);
}
