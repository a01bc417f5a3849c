#include "binding/result_conversion.h"

#include <cstddef>

#include "binding/error_value.h"
#include "binding/owned_reference.h"

namespace galtro::binding {
namespace {

constexpr std::size_t kStatusCount = 4;
static_assert(static_cast<std::size_t>(AgentStatus::kError) + 1 == kStatusCount,
              "one cached str per status value");

PyObject* status_strs[kStatusCount] = {};  // filled on first use, under the interpreter lock

// Puts `item` (a new reference, stolen) at `index` of the new tuple `tuple`.
void set_tuple_item(PyObject* tuple, Py_ssize_t index, PyObject* item) {
  if (PyTuple_SetItem(tuple, index, item) < 0) require_object(nullptr);
}

}  // namespace

PyObject* str_from_text(std::string_view text) {
  return require_object(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* none_result() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* status_str(AgentStatus status) {
  PyObject*& cached = status_strs[static_cast<std::size_t>(status)];
  if (cached == nullptr) {
    PyObject* name = str_from_text(status_text(status));
    PyUnicode_InternInPlace(&name);
    cached = name;
  }
  Py_INCREF(cached);
  return cached;
}

PyObject* message_tuple(PyObject* from_agent, PyObject* addressee, PyObject* content,
                        std::uint64_t timestamp) {
  OwnedReference items[3] = {OwnedReference(from_agent), OwnedReference(addressee),
                             OwnedReference(content)};
  OwnedReference stamp(require_object(PyLong_FromUnsignedLongLong(timestamp)));
  OwnedReference tuple(require_object(PyTuple_New(4)));
  for (Py_ssize_t i = 0; i < 3; ++i) set_tuple_item(tuple.get(), i, items[i].release());
  set_tuple_item(tuple.get(), 3, stamp.release());
  return tuple.release();
}

PyObject* message_list(const std::vector<PendingMessage>& messages, std::string_view owner) {
  OwnedReference list(require_object(PyList_New(static_cast<Py_ssize_t>(messages.size()))));
  if (messages.empty()) return list.release();
  // Every message in an inbox is addressed to its owner: one str serves them all.
  const OwnedReference owner_str(str_from_text(owner));
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const PendingMessage& message = messages[i];
    OwnedReference from_agent(str_from_text(message.from_agent()));
    OwnedReference content(str_from_text(message.content()));
    Py_INCREF(owner_str.get());
    PyObject* tuple = message_tuple(from_agent.release(), owner_str.get(), content.release(),
                                    message.timestamp());
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple) < 0) require_object(nullptr);
  }
  return list.release();
}

}  // namespace galtro::binding
