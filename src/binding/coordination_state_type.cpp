// The class CoordinationState, top to bottom: instance record, constructor, destructor,
// the road of a method call, the nine methods with their documentation, the method
// table, the slots and the type spec.
#include "binding/coordination_state_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fatal_failure.h"
#include "binding/argument_binding.h"
#include "binding/entry_frame.h"
#include "binding/instance_record.h"
#include "binding/interpreter_version.h"
#include "binding/result_conversion.h"
#include "binding/text_conversion.h"
#include "core/borrowed_text.h"
#include "core/coordination_state.h"

namespace galtro::binding {
namespace {

constexpr char kClassName[] = "CoordinationState";

PyTypeObject* cached_type = nullptr;  // filled once, under the interpreter lock

// ---------------------------------------------------------------------------------------
// Instance record (binding/instance_record.h)

Instance* as_instance(PyObject* object) noexcept {
  return reinterpret_cast<Instance*>(object);
}

// A slot of `type`. PyType_GetSlot reads heap types on every version, other types only
// from 3.10 on; the limited API has no other way in, so before 3.10 a static type's slot
// reads as empty and the caller's fallback applies. Borrows `type`.
void* type_slot(PyTypeObject* type, int slot) {
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0 || is_at_least_3_10()) {
    return PyType_GetSlot(type, slot);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Constructor: CoordinationState() takes no arguments.

constexpr ArgumentDescription kNewArguments{kClassName, "__new__", {}, {}};

// Returns a new instance with an empty state, or null with an exception set. Borrows
// all three arguments.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_entry([&]() -> Outcome {
    if (auto bound = bind_arguments(kNewArguments, args, kwargs, nullptr); !bound) {
      return std::unexpected(std::move(bound.error()));
    }
    auto state = std::make_unique<CoordinationState>();
    auto allocate = reinterpret_cast<allocfunc>(type_slot(type, Py_tp_alloc));
    if (allocate == nullptr) allocate = PyType_GenericAlloc;
    PyObject* object = allocate(type, 0);
    if (object == nullptr) return std::unexpected(ErrorValue::fetch());  // state goes too
    Instance* instance = as_instance(object);
    instance->state = state.release();
    instance->shared_use = 0;
    return object;
  });
}

// ---------------------------------------------------------------------------------------
// Destructor: never raises; a fatal failure is reported as unraisable.

void destroy(PyObject* object) {
  run_entry_without_result([&] {
    PyTypeObject* type = Py_TYPE(object);
    delete std::exchange(as_instance(object)->state, nullptr);
    auto free_memory = reinterpret_cast<freefunc>(type_slot(type, Py_tp_free));
    if (free_memory == nullptr) fatal("PyBaseObject_Type should have tp_free");
    free_memory(object);
    // Instances of a heap type hold a reference to it, taken by tp_alloc.
    Py_DECREF(type);
  });
}

// ---------------------------------------------------------------------------------------
// A method call: bind the arguments, check the receiver and take shared use, convert
// the arguments to texts in parameter order, run the core operation, convert the result.

// The parameters of one method, and the interned strs of their names.
template <std::size_t N>
struct Signature {
  const char* function_name;
  std::array<const char*, N> parameter_names;
  std::array<PyObject*, N> interned_names{};

  ArgumentDescription description() {
    return {kClassName, function_name, parameter_names, interned_names};
  }
};

// The class, made here if module initialisation has not made it (which no Python caller
// can bring about); failing that is fatal. Borrowed.
PyTypeObject* require_type() {
  if (cached_type != nullptr) return cached_type;
  std::expected<PyTypeObject*, ErrorValue> type = coordination_state_type();
  if (!type) {
    std::move(type.error()).raise();
    PyErr_PrintEx(0);
    fatal(std::string("failed to create type object for ") + kClassName);
  }
  return *type;
}

// Through Python the interpreter checks the receiver itself; this catches calls made
// through the C API. Borrows `receiver`.
std::expected<void, ErrorValue> check_receiver(PyObject* receiver) {
  PyTypeObject* type = Py_TYPE(receiver);
  PyTypeObject* expected = require_type();
  if (type == expected || PyType_IsSubtype(type, expected)) return {};
  return std::unexpected(conversion_error(type, kClassName));
}

// Shared use of an instance's state for the length of one call, with a reference to
// the instance held meanwhile.
class SharedUse {
 public:
  explicit SharedUse(PyObject* receiver) noexcept : receiver_(receiver) {
    Py_INCREF(receiver_);
    ++as_instance(receiver_)->shared_use;
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  ~SharedUse() {
    --as_instance(receiver_)->shared_use;
    Py_DECREF(receiver_);
  }
  CoordinationState& state() const noexcept { return *as_instance(receiver_)->state; }

 private:
  PyObject* receiver_;
};

// Runs `operation(state, text...)`, each text a BorrowedText, which returns an Outcome,
// inside the entry frame. Borrows `receiver`, `args` and `kwargs`.
template <std::size_t N, typename Operation>
PyObject* call_method(Signature<N>& signature, PyObject* receiver, PyObject* args, PyObject* kwargs,
                      Operation operation) noexcept {
  return run_entry([&]() -> Outcome {
    const ArgumentDescription description = signature.description();
    PyObject* arguments[N] = {};
    if (auto bound = bind_arguments(description, args, kwargs, arguments); !bound) {
      return std::unexpected(std::move(bound.error()));
    }
    if (auto checked = check_receiver(receiver); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
    // Pure Python can make an instance without running the constructor (by replacing
    // the class's __new__), which leaves it without a state.
    if (as_instance(receiver)->state == nullptr) {
      return std::unexpected(
          ErrorValue::deferred(PyExc_TypeError, "uninitialized CoordinationState object"));
    }
    const SharedUse use(receiver);
    // The arguments' texts view their encodings, kept here until the call returns.
    std::array<OwnedReference, N> encodings;
    std::array<std::string_view, N> bytes;
    for (std::size_t i = 0; i < N; ++i) {
      std::expected<std::string_view, ErrorValue> text = utf8_view(arguments[i], encodings[i]);
      if (!text) {
        return std::unexpected(
            name_failing_argument(std::move(text.error()), signature.parameter_names[i]));
      }
      bytes[i] = *text;
    }
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return operation(use.state(), BorrowedText(bytes[I])...);
    }(std::make_index_sequence<N>());
  });
}

// The refusal of a core operation, raised as RuntimeError with its message.
ErrorValue refusal_error(Refusal refusal) {
  return ErrorValue::deferred(PyExc_RuntimeError, std::move(refusal.message));
}

// The holder of a claim as str, which is the caller's agent id (made early as
// `holder`), or the refusal.
Outcome holder_of(std::expected<ClaimStamps, Refusal> claim, EarlyStr& holder) {
  if (!claim) return std::unexpected(refusal_error(std::move(claim.error())));
  return holder.take();
}

// ---------------------------------------------------------------------------------------
// Methods. Each documentation string is the text signature, "\n--\n\n" and the body.

Signature<2> claim_file_signature{"claim_file", {"agent_id", "path"}};
constexpr char kClaimFileDoc[] =
    "claim_file($self, agent_id, path)\n--\n\n"
    "Claims a file for `agent_id`. Raises `RuntimeError` if another agent\n"
    "already holds it. Returns the claiming agent's id back on success \u2014\n"
    "a no-op value, useful mainly to confirm the call didn't raise.";

PyObject* claim_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(
      claim_file_signature, self, args, kwargs,
      [](CoordinationState& state, const BorrowedText& agent_id, const BorrowedText& path) {
        EarlyStr holder(agent_id);
        return holder_of(state.claim_file(agent_id, path), holder);
      });
}

Signature<2> claim_task_signature{"claim_task", {"agent_id", "task_id"}};
constexpr char kClaimTaskDoc[] = "claim_task($self, agent_id, task_id)\n--\n\n";

PyObject* claim_task(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(
      claim_task_signature, self, args, kwargs,
      [](CoordinationState& state, const BorrowedText& agent_id, const BorrowedText& task_id) {
        EarlyStr holder(agent_id);
        return holder_of(state.claim_task(agent_id, task_id), holder);
      });
}

Signature<2> release_signature{"release", {"agent_id", "resource_key"}};
constexpr char kReleaseDoc[] =
    "release($self, agent_id, resource_key)\n--\n\n"
    "Releases a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`.\n"
    "Only the holder may release it.";

PyObject* release(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(release_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& agent_id,
                        const BorrowedText& resource_key) -> Outcome {
                       std::expected<void, Refusal> released =
                           state.release(agent_id, resource_key);
                       if (!released)
                         return std::unexpected(refusal_error(std::move(released.error())));
                       return none_result();
                     });
}

Signature<2> renew_claim_signature{"renew_claim", {"agent_id", "resource_key"}};
constexpr char kRenewClaimDoc[] =
    "renew_claim($self, agent_id, resource_key)\n--\n\n"
    "Renews a claim keyed by e.g. `\"file:src/lib.rs\"` or `\"task:phase-7\"`,\n"
    "extending its lease so a long-running task isn't lost to the TTL.\n"
    "Only the holder may renew.";

PyObject* renew_claim(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(
      renew_claim_signature, self, args, kwargs,
      [](CoordinationState& state, const BorrowedText& agent_id, const BorrowedText& resource_key) {
        EarlyStr holder(agent_id);
        return holder_of(state.renew_claim(agent_id, resource_key), holder);
      });
}

Signature<3> send_message_signature{"send_message", {"from_agent", "to_agent", "content"}};
constexpr char kSendMessageDoc[] = "send_message($self, from_agent, to_agent, content)\n--\n\n";

PyObject* send_message(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(send_message_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& from_agent,
                        const BorrowedText& to_agent, const BorrowedText& content) -> Outcome {
                       EarlyStr sender(from_agent), addressee(to_agent), body(content);
                       const std::uint64_t timestamp =
                           state.send_message(from_agent, to_agent, content);
                       // A sent message carries its addressee as given, which the tuple shows.
                       return message_tuple(sender.take(), addressee.take(),
                                            body.take(), timestamp);
                     });
}

Signature<2> broadcast_signature{"broadcast", {"from_agent", "content"}};
constexpr char kBroadcastDoc[] = "broadcast($self, from_agent, content)\n--\n\n";

PyObject* broadcast(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(broadcast_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& from_agent,
                        const BorrowedText& content) -> Outcome {
                       EarlyStr sender(from_agent), body(content);
                       const std::uint64_t timestamp = state.broadcast(from_agent, content);
                       return message_tuple(sender.take(), str_from_text("*"),
                                            body.take(), timestamp);
                     });
}

Signature<1> inbox_signature{"inbox", {"agent_id"}};
constexpr char kInboxDoc[] =
    "inbox($self, agent_id)\n--\n\n"
    "Pending messages for `agent_id`, oldest first. Does not clear them \u2014\n"
    "use `drain_inbox` for that.";

PyObject* inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(inbox_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& agent_id) -> Outcome {
                       const std::vector<PendingMessage> messages = state.inbox(agent_id);
                       return message_list(messages, agent_id);
                     });
}

Signature<1> drain_inbox_signature{"drain_inbox", {"agent_id"}};
constexpr char kDrainInboxDoc[] = "drain_inbox($self, agent_id)\n--\n\n";

PyObject* drain_inbox(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(drain_inbox_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& agent_id) -> Outcome {
                       // Should the list not be made, `drained` gives the messages back.
                       DrainedMessages drained = state.drain_inbox(agent_id);
                       PyObject* list = message_list(drained.messages(), drained.owner());
                       drained.commit();
                       return list;
                     });
}

Signature<1> status_signature{"status", {"agent_id"}};
constexpr char kStatusDoc[] =
    "status($self, agent_id)\n--\n\n"
    "One of `\"idle\"`, `\"busy\"`, `\"completed\"`, `\"error\"`.";

PyObject* status(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_method(status_signature, self, args, kwargs,
                     [](CoordinationState& state, const BorrowedText& agent_id) -> Outcome {
                       return status_str(state.status(agent_id));
                     });
}

// ---------------------------------------------------------------------------------------
// Method table

template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
PyMethodDef method_entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

PyMethodDef methods[] = {
    method_entry<claim_file>("claim_file", kClaimFileDoc),
    method_entry<claim_task>("claim_task", kClaimTaskDoc),
    method_entry<release>("release", kReleaseDoc),
    method_entry<renew_claim>("renew_claim", kRenewClaimDoc),
    method_entry<send_message>("send_message", kSendMessageDoc),
    method_entry<broadcast>("broadcast", kBroadcastDoc),
    method_entry<inbox>("inbox", kInboxDoc),
    method_entry<drain_inbox>("drain_inbox", kDrainInboxDoc),
    method_entry<status>("status", kStatusDoc),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------------------
// Slots and type spec

// The class name, the constructor's text signature "()", the separator, an empty body.
constexpr char kClassDoc[] = "CoordinationState()\n--\n\n";

// "builtins." and the class name: the class is declared without a module.
constexpr char kQualifiedName[] = "builtins.CoordinationState";

}  // namespace

std::expected<PyTypeObject*, ErrorValue> coordination_state_type() {
  if (cached_type != nullptr) return cached_type;

  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, reinterpret_cast<void*>(construct)},
      {Py_tp_methods, methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(destroy)},
      {0, nullptr},
  };
  // Before 3.11 the type keeps pointing into the name it was given, so its storage must
  // live as long as the process; from 3.11 on the type copies it.
  auto name = std::make_unique<char[]>(sizeof kQualifiedName);
  std::memcpy(name.get(), kQualifiedName, sizeof kQualifiedName);
  PyType_Spec spec{name.get(), static_cast<int>(sizeof(Instance)), 0, Py_TPFLAGS_DEFAULT, slots};

  PyObject* type = PyType_FromSpec(&spec);
  if (!is_at_least_3_11()) static_cast<void>(name.release());
  if (type == nullptr) return std::unexpected(ErrorValue::fetch());
  cached_type = reinterpret_cast<PyTypeObject*>(type);
  return cached_type;
}

}  // namespace galtro::binding
