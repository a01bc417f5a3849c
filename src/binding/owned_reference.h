// OwnedReference: one strong reference to a Python object, released when it goes.
//
// Must only be created, moved from, reset or destroyed with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace galtro::binding {

class OwnedReference {
 public:
  OwnedReference() noexcept = default;
  // Steals `object`, which may be null.
  explicit OwnedReference(PyObject* object) noexcept : object_(object) {}
  OwnedReference(OwnedReference&& other) noexcept : object_(other.release()) {}
  OwnedReference& operator=(OwnedReference&& other) noexcept {
    reset(other.release());
    return *this;
  }
  OwnedReference(const OwnedReference&) = delete;
  OwnedReference& operator=(const OwnedReference&) = delete;
  ~OwnedReference() { Py_XDECREF(object_); }

  // Borrowed; may be null.
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Steals `object` and releases the reference held before.
  void reset(PyObject* object = nullptr) noexcept { Py_XDECREF(std::exchange(object_, object)); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace galtro::binding
