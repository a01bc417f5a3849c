// The module galtro._state_reader: functions over an instance of
// galtro_core.CoordinationState for galtro's views and front ends. Top to bottom: result
// conversion, the functions with their documentation, the method table, the module
// definition and PyInit__state_reader, the module's only exported symbol.
//
// Each function takes the instance for shared use. The views copy what they read out of
// the tables (StateReader holds each shard lock shared only while copying) and build the
// Python objects after every lock is released; they change nothing. remove_delivered,
// the one function that changes the state, takes off an inbox the messages that a front
// end has handed on.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <variant>
#include <vector>

#include "binding/entry_frame.h"
#include "binding/error_value.h"
#include "binding/owned_reference.h"
#include "binding/reader/state_access.h"
#include "binding/result_conversion.h"
#include "binding/text_conversion.h"
#include "core/inbox.h"
#include "core/records.h"
#include "core/state_reader.h"

namespace galtro::binding {
namespace {

// ---------------------------------------------------------------------------------------
// Result conversion. Each returns a new reference; running out of memory throws
// std::bad_alloc, any other failure is fatal (result_conversion.h).

PyObject* int_from(std::uint64_t value) {
  return require_object(PyLong_FromUnsignedLongLong(value));
}

// A tuple of `items`, whose references it steals (each already made, none null).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
  std::vector<OwnedReference> owned;
  owned.reserve(items.size());
  for (PyObject* item : items) owned.emplace_back(item);
  OwnedReference tuple(require_object(PyTuple_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < owned.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());  // steals
  }
  return tuple.release();
}

// A list of convert(item) for every item of `items`.
template <typename Item, typename Convert>
PyObject* list_of(const std::vector<Item>& items, Convert convert) {
  OwnedReference list(require_object(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]));  // steals
  }
  return list.release();
}

// (kind, time, fields): the kind's name and the event's texts in field order.
PyObject* event_tuple(const HistoryEvent& event) {
  struct Convert {
    PyObject* operator()(const ClaimedEvent& e) const {
      return tuple_of({str_from_text("claimed"), int_from(e.time),
                       tuple_of({str_from_text(e.agent_id), str_from_text(e.resource_key)})});
    }
    PyObject* operator()(const ReleasedEvent& e) const {
      return tuple_of({str_from_text("released"), int_from(e.time),
                       tuple_of({str_from_text(e.agent_id), str_from_text(e.resource_key)})});
    }
    PyObject* operator()(const MessageSentEvent& e) const {
      return tuple_of({str_from_text("message_sent"), int_from(e.time),
                       tuple_of({str_from_text(e.from_agent), str_from_text(e.to_agent),
                                 str_from_text(e.content)})});
    }
    PyObject* operator()(const BroadcastEvent& e) const {
      return tuple_of({str_from_text("broadcast"), int_from(e.time),
                       tuple_of({str_from_text(e.from_agent), str_from_text(e.content)})});
    }
  };
  return std::visit(Convert{}, event);
}

// ---------------------------------------------------------------------------------------
// Functions

// Parses `args` by `format` (one object, the state, then the optional ones), takes the
// state for shared use and returns read(use, extra objects...). Borrows `args`.
template <typename Read>
PyObject* read_state(PyObject* args, const char* format, Read read) noexcept {
  return run_entry([&]() -> Outcome {
    PyObject* object = nullptr;
    PyObject* since = Py_None;
    PyObject* count = Py_None;
    if (PyArg_ParseTuple(args, format, &object, &since, &count) == 0) {
      return std::unexpected(ErrorValue::fetch());
    }
    std::expected<SharedStateUse, ErrorValue> use = SharedStateUse::of(object);
    if (!use) return std::unexpected(std::move(use.error()));
    return read(StateReader(use->state()), since, count);
  });
}

// A non-negative int argument, or nothing for None. Borrows `object`.
std::expected<std::optional<std::uint64_t>, ErrorValue> optional_count(PyObject* object,
                                                                       const char* name) {
  if (object == Py_None) return std::nullopt;
  if (PyLong_Check(object) == 0) {
    return std::unexpected(
        ErrorValue::deferred(PyExc_TypeError, std::string(name) + " must be an int or None"));
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    drop_pending_failure();
    return std::unexpected(ErrorValue::deferred(
        PyExc_ValueError, std::string(name) + " must be between 0 and 2**64 - 1"));
  }
  return static_cast<std::uint64_t>(value);
}

constexpr char kClaimsDoc[] =
    "claims(state, /)\n--\n\n"
    "Every claim of `state`, expired ones too, by resource key: a list of tuples\n"
    "(resource_key, holder, claimed_at, renewed_at, expires_at, expired). The claim is\n"
    "live before second expires_at; `expired` is read at the call's clock reading.";

PyObject* claims(PyObject*, PyObject* args) {
  return read_state(args, "O:claims", [](const StateReader& reader, PyObject*, PyObject*) {
    return list_of(reader.claims(), [](const ClaimReading& c) {
      return tuple_of({str_from_text(c.resource_key), str_from_text(c.holder),
                       int_from(c.claimed_at), int_from(c.renewed_at), int_from(c.expires_at),
                       require_object(PyBool_FromLong(c.expired ? 1 : 0))});
    });
  });
}

constexpr char kAgentsDoc[] =
    "agents(state, /)\n--\n\n"
    "Every agent with a status entry in `state`, by id: a list of (agent_id, status).";

PyObject* agents(PyObject*, PyObject* args) {
  return read_state(args, "O:agents", [](const StateReader& reader, PyObject*, PyObject*) {
    return list_of(reader.agents(), [](const AgentReading& a) {
      return tuple_of({str_from_text(a.agent_id), status_str(a.status)});
    });
  });
}

constexpr char kInboxSizesDoc[] =
    "inbox_sizes(state, /)\n--\n\n"
    "Every inbox of `state`, by owner: a list of (agent_id, pending). An inbox that was\n"
    "read or drained and is empty is listed with 0.";

PyObject* inbox_sizes(PyObject*, PyObject* args) {
  return read_state(args, "O:inbox_sizes", [](const StateReader& reader, PyObject*, PyObject*) {
    return list_of(reader.inbox_sizes(), [](const InboxReading& i) {
      return tuple_of({str_from_text(i.agent_id), int_from(i.pending)});
    });
  });
}

constexpr char kHistoryDoc[] =
    "history(state, since=None, count=None, /)\n--\n\n"
    "The events of `state` appended during second `since` (a Unix second) or later,\n"
    "oldest first, at most `count` of them: a list of (kind, time, fields) with kind\n"
    "'claimed' or 'released' (agent_id, resource_key), 'message_sent' (from_agent,\n"
    "to_agent, content) or 'broadcast' (from_agent, content).";

PyObject* history(PyObject*, PyObject* args) {
  return read_state(
      args, "O|OO:history", [](const StateReader& reader, PyObject* since, PyObject* count) {
        auto first_second = optional_count(since, "since");
        if (!first_second) return Outcome(std::unexpected(std::move(first_second.error())));
        auto limit = optional_count(count, "count");
        if (!limit) return Outcome(std::unexpected(std::move(limit.error())));
        std::optional<std::size_t> limit_size;
        if (*limit) limit_size = static_cast<std::size_t>(**limit);
        return Outcome(list_of(reader.history(first_second->value_or(0), limit_size), event_tuple));
      });
}

constexpr char kIsStateDoc[] =
    "is_state(object, /)\n--\n\n"
    "Whether `object` is an instance of galtro_core.CoordinationState. The class is known\n"
    "by itself, whatever galtro_core's attributes name now.";

PyObject* is_state_function(PyObject*, PyObject* object) {
  return run_entry([&]() -> Outcome {
    std::expected<bool, ErrorValue> recognised = is_state(object);
    if (!recognised) return std::unexpected(std::move(recognised.error()));
    return require_object(PyBool_FromLong(*recognised ? 1 : 0));
  });
}

constexpr char kMessageShape[] =
    "messages must be (from_agent, to_agent, content, timestamp) tuples";

// The messages, as the inbox of `owner` listed them, ready to be found there again.
// Borrows `messages`, any iterable.
std::expected<std::vector<PendingMessage>, ErrorValue> delivered_messages(PyObject* messages,
                                                                          std::string_view owner) {
  OwnedReference items(PySequence_Tuple(messages));
  if (!items) return std::unexpected(ErrorValue::fetch());
  const Py_ssize_t count = PyTuple_Size(items.get());
  std::vector<PendingMessage> delivered;
  delivered.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(items.get(), i);  // borrowed
    if (PyTuple_Check(item) == 0 || PyTuple_Size(item) != 4) {
      return std::unexpected(ErrorValue::deferred(PyExc_TypeError, kMessageShape));
    }
    // The texts view these encodings until the message, which copies them, is made.
    OwnedReference from_encoding, to_encoding, content_encoding;
    auto from_agent = utf8_view(PyTuple_GetItem(item, 0), from_encoding);
    if (!from_agent) return std::unexpected(std::move(from_agent.error()));
    auto to_agent = utf8_view(PyTuple_GetItem(item, 1), to_encoding);
    if (!to_agent) return std::unexpected(std::move(to_agent.error()));
    auto content = utf8_view(PyTuple_GetItem(item, 2), content_encoding);
    if (!content) return std::unexpected(std::move(content.error()));
    PyObject* timestamp = PyTuple_GetItem(item, 3);
    if (PyLong_Check(timestamp) == 0) {
      return std::unexpected(ErrorValue::deferred(PyExc_TypeError, kMessageShape));
    }
    const unsigned long long seconds = PyLong_AsUnsignedLongLong(timestamp);
    const bool unreadable =
        seconds == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr;
    if (unreadable) drop_pending_failure();  // negative, or past 2**64 - 1
    if (unreadable || seconds > PendingMessage::kMaxTimestamp) {
      return std::unexpected(
          ErrorValue::deferred(PyExc_ValueError, "timestamp must be between 0 and 2**63 - 1"));
    }
    if (*to_agent != owner) {
      return std::unexpected(ErrorValue::deferred(
          PyExc_ValueError, "messages must be addressed to agent_id: read from its inbox"));
    }
    delivered.push_back(PendingMessage::direct(*from_agent, *content, seconds));
  }
  return delivered;
}

constexpr char kRemoveDeliveredDoc[] =
    "remove_delivered(state, agent_id, messages, /)\n--\n\n"
    "Removes `messages`, the oldest pending messages of `agent_id` as an inbox() call\n"
    "listed them and since handed on, from the front of that inbox: the longest run of\n"
    "their last ones that still stands there (another reader may have removed the\n"
    "others), and no message that arrived after them. Returns how many were removed.";

PyObject* remove_delivered(PyObject*, PyObject* args) {
  return run_entry([&]() -> Outcome {
    PyObject* object = nullptr;
    PyObject* agent_object = nullptr;
    PyObject* messages = nullptr;
    if (PyArg_ParseTuple(args, "OOO:remove_delivered", &object, &agent_object, &messages) == 0) {
      return std::unexpected(ErrorValue::fetch());
    }
    std::expected<SharedStateUse, ErrorValue> use = SharedStateUse::of(object);
    if (!use) return std::unexpected(std::move(use.error()));
    OwnedReference agent_encoding;
    std::expected<std::string_view, ErrorValue> agent_id = utf8_view(agent_object, agent_encoding);
    if (!agent_id) return std::unexpected(std::move(agent_id.error()));
    auto delivered = delivered_messages(messages, *agent_id);
    if (!delivered) return std::unexpected(std::move(delivered.error()));
    const DeliveredRun run(std::move(*delivered));
    return int_from(use->state().remove_delivered(*agent_id, run));
  });
}

// ---------------------------------------------------------------------------------------
// Method table and module definition

template <PyObject* (*Function)(PyObject*, PyObject*)>
PyMethodDef function_entry(const char* name, const char* doc) {
  return {name, Function, METH_VARARGS, doc};
}

PyMethodDef functions[] = {
    function_entry<claims>("claims", kClaimsDoc),
    function_entry<agents>("agents", kAgentsDoc),
    function_entry<inbox_sizes>("inbox_sizes", kInboxSizesDoc),
    function_entry<history>("history", kHistoryDoc),
    {"is_state", is_state_function, METH_O, kIsStateDoc},
    function_entry<remove_delivered>("remove_delivered", kRemoveDeliveredDoc),
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kModuleDoc[] =
    "Views of a galtro_core.CoordinationState for the inspection functions of galtro,\n"
    "which take the tables' locks as a reader and change nothing, and the removal of\n"
    "delivered messages for its front ends.";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "galtro._state_reader",
    kModuleDoc,
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Returns a new reference to a new module. galtro_core is imported first: its class
// is the only receiver the functions accept.
Outcome initialise() {
  if (auto loaded = load_state_type(); !loaded) return std::unexpected(std::move(loaded.error()));
  PyObject* module = PyModule_Create2(&module_definition, 3);
  if (module == nullptr) return std::unexpected(ErrorValue::fetch());
  return module;
}

}  // namespace
}  // namespace galtro::binding

PyMODINIT_FUNC PyInit__state_reader(void) {
  return galtro::binding::run_entry(galtro::binding::initialise);
}
