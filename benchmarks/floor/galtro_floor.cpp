// galtro_floor: the cost of crossing into a CoordinationState method and back, with
// no coordination work behind it.
//
// The class below has the nine methods of galtro_core.CoordinationState with the same
// calling convention (METH_VARARGS | METH_KEYWORDS on a heap type from
// PyType_FromSpec, limited API 3.9). Each method does what the native binding layer
// has to do on every call and nothing else:
//   - bind the arguments by position or keyword against the parameter names (count
//     check, one PyDict_Next walk whose keys are matched against interned names by
//     identity, else by their UTF-8 bytes, check for missing parameters), with the
//     same TypeError messages;
//   - check the receiver's type, count the call in the instance's use counter and
//     hold a reference to the receiver for the length of the call;
//   - require every argument to be a str (Py_TPFLAGS_UNICODE_SUBCLASS) and copy its
//     UTF-8 encoding (PyUnicode_AsUTF8String) into a buffer the call owns;
//   - build the result the real method returns: a str for the claim methods (made
//     from the owned text) and `status` (one cached str), None for `release`, a 4-tuple for `send_message` and `broadcast`, a
//     list of 4-tuples for `inbox` and `drain_inbox`; or raise RuntimeError with a
//     message built from a template.
// Nothing is stored. What `inbox`/`drain_inbox` return and whether the claim methods
// refuse is set from outside with the module functions `set_pending` and
// `set_refusal`, so the benchmark can make the floor answer like a state with N
// pending messages or a held key.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------
// Argument descriptions

template <std::size_t N>
struct ArgSpec {
  const char* display;  // "CoordinationState.name()"
  std::array<const char*, N> params;
};

// Interned strs of the parameter names, made once per method. The keyword names of a
// call written in Python source are interned, so most keys match by identity and
// are never encoded.
template <std::size_t N, const ArgSpec<N>& Spec>
std::array<PyObject*, N> g_interned{};

template <std::size_t N, const ArgSpec<N>& Spec>
void intern_names() {
  for (std::size_t i = 0; i < N; ++i) {
    if (g_interned<N, Spec>[i] != nullptr) continue;
    g_interned<N, Spec>[i] = PyUnicode_InternFromString(Spec.params[i]);
    if (g_interned<N, Spec>[i] == nullptr) PyErr_Clear();  // matched by bytes instead
  }
}

constexpr ArgSpec<0> kNew{"CoordinationState.__new__()", {}};
constexpr ArgSpec<2> kClaimFile{"CoordinationState.claim_file()", {"agent_id", "path"}};
constexpr ArgSpec<2> kClaimTask{"CoordinationState.claim_task()", {"agent_id", "task_id"}};
constexpr ArgSpec<2> kRelease{"CoordinationState.release()", {"agent_id", "resource_key"}};
constexpr ArgSpec<2> kRenew{"CoordinationState.renew_claim()", {"agent_id", "resource_key"}};
constexpr ArgSpec<3> kSend{"CoordinationState.send_message()",
                           {"from_agent", "to_agent", "content"}};
constexpr ArgSpec<2> kBroadcast{"CoordinationState.broadcast()", {"from_agent", "content"}};
constexpr ArgSpec<1> kInbox{"CoordinationState.inbox()", {"agent_id"}};
constexpr ArgSpec<1> kDrain{"CoordinationState.drain_inbox()", {"agent_id"}};
constexpr ArgSpec<1> kStatus{"CoordinationState.status()", {"agent_id"}};

// ---------------------------------------------------------------------------------
// Module-wide settings

struct PendingMessage {
  std::string from_agent;
  std::string content;
};

constexpr unsigned long long kTimestamp = 1765213440ULL;

std::vector<PendingMessage> g_pending;  // what inbox / drain_inbox answer
std::string g_refusing_holder;          // non-empty: claims are refused, naming it
bool g_refusing = false;

PyTypeObject* g_state_type = nullptr;

struct FloorObject {
  PyObject_HEAD
  Py_ssize_t users;
};

// ---------------------------------------------------------------------------------
// Error messages (made only when an error is raised)

// str(obj) as text fit for a message: surrogates passed through, invalid UTF-8
// replaced.
PyObject* display_text(PyObject* object) {
  PyObject* text = PyObject_Str(object);
  if (text == nullptr) {
    PyErr_WriteUnraisable(object);
    return PyUnicode_FromString("<unprintable object>");
  }
  PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass");
  Py_DECREF(text);
  if (bytes == nullptr) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  PyObject* shown = PyUnicode_DecodeUTF8(data, size, "replace");
  Py_DECREF(bytes);
  return shown;
}

std::string type_qualname(PyObject* object) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                          "__qualname__");
  std::string result = "<failed to extract type name>";
  if (name != nullptr) {
    PyObject* bytes = PyUnicode_Check(name) ? PyUnicode_AsUTF8String(name) : nullptr;
    if (bytes != nullptr) {
      result.assign(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
      Py_DECREF(bytes);
    }
    Py_DECREF(name);
  }
  PyErr_Clear();
  return result;
}

template <std::size_t N>
void raise_too_many(const ArgSpec<N>& spec, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
               spec.display, static_cast<Py_ssize_t>(N), given, given == 1 ? "was" : "were");
}

template <std::size_t N>
void raise_unexpected(const ArgSpec<N>& spec, PyObject* key) {
  PyObject* shown = display_text(key);
  if (shown == nullptr) return;
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", spec.display,
               shown);
  Py_DECREF(shown);
}

template <std::size_t N>
void raise_missing(const ArgSpec<N>& spec, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < N; ++i)
    if (slots[i] == nullptr) missing.push_back(spec.params[i]);
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) names += ',';
      names += i + 1 == missing.size() ? " and " : " ";
    }
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", spec.display,
               static_cast<Py_ssize_t>(missing.size()),
               missing.size() == 1 ? "argument" : "arguments", names.c_str());
}

// ---------------------------------------------------------------------------------
// Binding and conversion

bool is_str(PyObject* object) {
  return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// Index of the parameter that `key` names, or N. A key that is not a str, or whose
// UTF-8 encoding fails, names no parameter.
template <std::size_t N, const ArgSpec<N>& Spec>
std::size_t parameter_index(PyObject* key) {
  const ArgSpec<N>& spec = Spec;
  for (std::size_t i = 0; i < N; ++i)
    if (g_interned<N, Spec>[i] == key) return i;
  if (!is_str(key)) return N;
  PyObject* bytes = PyUnicode_AsUTF8String(key);
  if (bytes == nullptr) {
    PyErr_Clear();
    return N;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  const std::string_view text(data, static_cast<std::size_t>(size));
  std::size_t index = 0;
  while (index < N && text != spec.params[index]) ++index;
  Py_DECREF(bytes);
  return index;
}

// Fills slots[0..N) with borrowed references, or raises TypeError and returns false.
template <std::size_t N, const ArgSpec<N>& Spec>
bool bind(PyObject* args, PyObject* kwargs, PyObject** slots) {
  const ArgSpec<N>& spec = Spec;
  const Py_ssize_t given = PyTuple_Size(args);
  const Py_ssize_t p = static_cast<Py_ssize_t>(N);
  const Py_ssize_t positional = given < p ? given : p;
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (given > p) {
    raise_too_many(spec, given);
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool interned = false;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!interned) {
        intern_names<N, Spec>();
        interned = true;
      }
      const std::size_t index = parameter_index<N, Spec>(key);
      if (index == N) {
        raise_unexpected(spec, key);
        return false;
      }
      if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     spec.display, spec.params[index]);
        return false;
      }
      slots[index] = value;
    }
  }
  if (given < p) {
    for (std::size_t i = 0; i < N; ++i) {
      if (slots[i] == nullptr) {
        raise_missing(spec, slots);
        return false;
      }
    }
  }
  return true;
}

// Copies the UTF-8 encoding of a str argument into `out`, or raises.
bool to_text(PyObject* object, const char* param, std::string& out) {
  if (!is_str(object)) {
    const std::string type = type_qualname(object);
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'",
                 param, type.c_str(), "PyString");
    return false;
  }
  PyObject* bytes = PyUnicode_AsUTF8String(object);
  if (bytes == nullptr) return false;  // UnicodeEncodeError passes through
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  out.assign(data, static_cast<std::size_t>(size));
  Py_DECREF(bytes);
  return true;
}

// ---------------------------------------------------------------------------------
// Results

PyObject* to_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* message_tuple(std::string_view from_agent, std::string_view to_agent,
                        std::string_view content, unsigned long long timestamp) {
  PyObject* tuple = PyTuple_New(4);
  if (tuple == nullptr) return nullptr;
  PyObject* items[4] = {to_str(from_agent), to_str(to_agent), to_str(content),
                        PyLong_FromUnsignedLongLong(timestamp)};
  bool ok = true;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    if (items[i] == nullptr) {
      ok = false;
      continue;
    }
    PyTuple_SetItem(tuple, i, items[i]);  // steals the reference
  }
  if (!ok) {
    Py_DECREF(tuple);
    return nullptr;
  }
  return tuple;
}

PyObject* pending_list(std::string_view owner) {
  const auto count = static_cast<Py_ssize_t>(g_pending.size());
  PyObject* list = PyList_New(count);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const PendingMessage& message = g_pending[static_cast<std::size_t>(i)];
    PyObject* tuple = message_tuple(message.from_agent, owner, message.content, kTimestamp);
    if (tuple == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, i, tuple);
  }
  return list;
}

PyObject* refuse(std::string_view holder, std::string_view what, std::string_view target) {
  std::string text;
  text.reserve(holder.size() + what.size() + target.size());
  text.append(holder).append(what).append(target);
  PyObject* message = to_str(text);
  if (message == nullptr) return nullptr;
  PyErr_SetObject(PyExc_RuntimeError, message);
  Py_DECREF(message);
  return nullptr;
}

// ---------------------------------------------------------------------------------
// Method entries

template <std::size_t N>
using Texts = std::array<std::string, N>;

// The road of every call: bind, check the receiver, take shared use, convert each
// argument in parameter order, run the body on the owned texts, give shared use back.
template <std::size_t N, const ArgSpec<N>& Spec, PyObject* (*Body)(Texts<N>&)>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    PyObject* slots[N > 0 ? N : 1] = {};
    if (!bind<N, Spec>(args, kwargs, slots)) return nullptr;
    if (Py_TYPE(self) != g_state_type && !PyType_IsSubtype(Py_TYPE(self), g_state_type)) {
      const std::string type = type_qualname(self);
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type.c_str(),
                   "CoordinationState");
      return nullptr;
    }
    auto* object = reinterpret_cast<FloorObject*>(self);
    ++object->users;
    Py_INCREF(self);
    PyObject* result = nullptr;
    {
      Texts<N> texts;
      std::size_t i = 0;
      while (i < N && to_text(slots[i], Spec.params[i], texts[i])) ++i;
      if (i == N) result = Body(texts);
    }
    --object->users;
    Py_DECREF(self);
    return result;
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_SystemError, failure.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown failure");
    return nullptr;
  }
}

PyObject* claim_file_body(Texts<2>& t) {
  if (g_refusing) return refuse(g_refusing_holder, " already holds claim on ", t[1]);
  return to_str(t[0]);
}
PyObject* claim_task_body(Texts<2>& t) {
  if (g_refusing) return refuse(g_refusing_holder, " already holds claim on task ", t[1]);
  return to_str(t[0]);
}
PyObject* release_body(Texts<2>&) { Py_RETURN_NONE; }
PyObject* renew_body(Texts<2>& t) { return to_str(t[0]); }
PyObject* send_body(Texts<3>& t) { return message_tuple(t[0], t[1], t[2], kTimestamp); }
PyObject* broadcast_body(Texts<2>& t) { return message_tuple(t[0], "*", t[1], kTimestamp); }
PyObject* inbox_body(Texts<1>& t) { return pending_list(t[0]); }
PyObject* drain_body(Texts<1>& t) { return pending_list(t[0]); }
// Status names are made once and handed out again, as the real binding does.
PyObject* status_body(Texts<1>&) {
  static PyObject* idle = nullptr;
  if (idle == nullptr) {
    idle = PyUnicode_InternFromString("idle");
    if (idle == nullptr) return nullptr;
  }
  Py_INCREF(idle);
  return idle;
}

#define FLOOR_METHOD(name, n, spec, body)                                              \
  {                                                                                    \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(                 \
              &method_entry<n, spec, body>)),                                          \
        METH_VARARGS | METH_KEYWORDS, nullptr                                          \
  }

PyMethodDef g_methods[] = {
    FLOOR_METHOD("claim_file", 2, kClaimFile, claim_file_body),
    FLOOR_METHOD("claim_task", 2, kClaimTask, claim_task_body),
    FLOOR_METHOD("release", 2, kRelease, release_body),
    FLOOR_METHOD("renew_claim", 2, kRenew, renew_body),
    FLOOR_METHOD("send_message", 3, kSend, send_body),
    FLOOR_METHOD("broadcast", 2, kBroadcast, broadcast_body),
    FLOOR_METHOD("inbox", 1, kInbox, inbox_body),
    FLOOR_METHOD("drain_inbox", 1, kDrain, drain_body),
    FLOOR_METHOD("status", 1, kStatus, status_body),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------
// Construction and destruction

PyObject* state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* none[1] = {};
  if (!bind<0, kNew>(args, kwargs, none)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<FloorObject*>(self)->users = 0;
  return self;
}

void state_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyType_Slot g_state_slots[] = {
    {Py_tp_doc, const_cast<char*>("CoordinationState()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&state_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(&state_dealloc)},
    {0, nullptr},
};

PyType_Spec g_state_spec = {
    "galtro_floor.CoordinationState",
    static_cast<int>(sizeof(FloorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_state_slots,
};

// ---------------------------------------------------------------------------------
// Module functions

PyObject* set_pending(PyObject*, PyObject* args) {
  Py_ssize_t count = 0;
  const char* from_agent = "agent-1";
  const char* content = "0123456789abcdef0123456789abcdef";
  if (!PyArg_ParseTuple(args, "n|ss:set_pending", &count, &from_agent, &content))
    return nullptr;
  if (count < 0) {
    PyErr_SetString(PyExc_ValueError, "count must not be negative");
    return nullptr;
  }
  g_pending.assign(static_cast<std::size_t>(count), PendingMessage{from_agent, content});
  Py_RETURN_NONE;
}

PyObject* set_refusal(PyObject*, PyObject* args) {
  PyObject* holder = Py_None;
  if (!PyArg_ParseTuple(args, "|O:set_refusal", &holder)) return nullptr;
  if (holder == Py_None) {
    g_refusing = false;
    g_refusing_holder.clear();
    Py_RETURN_NONE;
  }
  if (!to_text(holder, "holder", g_refusing_holder)) return nullptr;
  g_refusing = true;
  Py_RETURN_NONE;
}

PyMethodDef g_module_functions[] = {
    {"set_pending", set_pending, METH_VARARGS,
     "set_pending(count, from_agent='agent-1', content=32 bytes)\n--\n\n"
     "Makes inbox() and drain_inbox() answer with `count` messages."},
    {"set_refusal", set_refusal, METH_VARARGS,
     "set_refusal(holder=None)\n--\n\n"
     "With a holder, claim_file() and claim_task() raise RuntimeError naming it;\n"
     "with None they succeed."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "galtro_floor",
    "Binding-only stand-in for galtro_core.CoordinationState (benchmark floor).",
    0,
    g_module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_galtro_floor(void) {
  PyObject* module = PyModule_Create(&g_module);
  if (module == nullptr) return nullptr;
  if (g_state_type == nullptr) {
    g_state_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_state_spec));
    if (g_state_type == nullptr) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_INCREF(g_state_type);
  if (PyModule_AddObject(module, "CoordinationState",
                         reinterpret_cast<PyObject*>(g_state_type)) < 0) {
    Py_DECREF(g_state_type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
