#include "binding/reader/state_access.h"

#include <dlfcn.h>

#include <string>
#include <utility>

#include "binding/instance_record.h"
#include "binding/owned_reference.h"
#include "binding/text_conversion.h"

namespace galtro::binding {
namespace {

constexpr char kClassName[] = "CoordinationState";
constexpr char kModuleName[] = "galtro_core";
constexpr char kModuleInit[] = "PyInit_galtro_core";

// The destructor of the class's instances (its tp_dealloc), once the class has been
// recognised; null before. Set once, under the interpreter lock.
void* state_destructor = nullptr;

Instance* as_instance(PyObject* object) noexcept {
  return reinterpret_cast<Instance*>(object);
}

// Whether `address` lies in the shared object that defines PyInit_galtro_core: the
// object holding `address` is looked up among those loaded (never loading one), and
// the initialisation function it defines must lie in it too.
bool lies_in_galtro_core(void* address) {
  Dl_info holder{};
  if (address == nullptr || dladdr(address, &holder) == 0 || holder.dli_fname == nullptr) {
    return false;
  }
  void* library = dlopen(holder.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return false;
  void* init = dlsym(library, kModuleInit);
  dlclose(library);
  Dl_info init_holder{};
  return init != nullptr && dladdr(init, &init_holder) != 0 &&
         init_holder.dli_fbase == holder.dli_fbase;
}

// ImportError unless the instances of `type`, galtro_core's class, have the record this
// module reads: a galtro_core from another build could lay them out otherwise. The
// class's metaclass is `type`, whose __basicsize__ no Python code can replace. Borrows
// `type`.
std::expected<void, ErrorValue> check_layout(PyTypeObject* type) {
  OwnedReference size_object(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__basicsize__"));
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
  return {};
}

// Whether `type` is galtro_core's class. The class takes no subclasses, so no other
// type has its instances. The first heap type whose destructor lies in galtro_core (the
// only type made there with a destructor of its own) is checked for its layout, and its
// destructor is the one compared from then on. Borrows `type`.
std::expected<bool, ErrorValue> is_state_type(PyTypeObject* type) {
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0) return false;  // the class is one
  void* destructor = PyType_GetSlot(type, Py_tp_dealloc);
  if (destructor == nullptr) return false;
  if (state_destructor != nullptr) return destructor == state_destructor;
  if (!lies_in_galtro_core(destructor)) return false;
  if (auto layout = check_layout(type); !layout) return std::unexpected(std::move(layout.error()));
  state_destructor = destructor;
  return true;
}

}  // namespace

std::expected<void, ErrorValue> load_state_type() {
  OwnedReference module(PyImport_ImportModule(kModuleName));
  if (!module) return std::unexpected(ErrorValue::fetch());
  // The attribute only lets a build mismatch show at import: whatever it names, the
  // class is recognised by its destructor alone.
  OwnedReference named(PyObject_GetAttrString(module.get(), kClassName));
  if (!named) {
    drop_pending_failure();
    return {};
  }
  if (PyType_Check(named.get()) == 0) return {};
  std::expected<bool, ErrorValue> recognised =
      is_state_type(reinterpret_cast<PyTypeObject*>(named.get()));
  if (!recognised) return std::unexpected(std::move(recognised.error()));
  return {};
}

std::expected<bool, ErrorValue> is_state(PyObject* object) {
  return is_state_type(Py_TYPE(object));
}

std::expected<SharedStateUse, ErrorValue> SharedStateUse::of(PyObject* object) {
  std::expected<bool, ErrorValue> recognised = is_state(object);
  if (!recognised) return std::unexpected(std::move(recognised.error()));
  if (!*recognised) return std::unexpected(conversion_error(Py_TYPE(object), kClassName));
  CoordinationState* state = as_instance(object)->state;
  if (state == nullptr) {
    return std::unexpected(
        ErrorValue::deferred(PyExc_TypeError, "uninitialized CoordinationState object"));
  }
  return SharedStateUse(object, state);
}

SharedStateUse::SharedStateUse(PyObject* object, CoordinationState* state) noexcept
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
