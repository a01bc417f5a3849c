// Result conversion: what the core returns, as new Python objects.
//
// Each function returns a new reference. The interpreter running out of memory for an
// object throws std::bad_alloc (raised as MemoryError); any other failure to make one is
// a fatal failure "Python API call failed" (the pending exception is printed first).
// Call only after the core operation has returned, with no table lock held.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "lib/records.h"

namespace galtro::binding {

// A str over UTF-8 `text`.
PyObject* str_from_text(std::string_view text);

// None.
PyObject* none_result();

// The name of `status` ("idle", "busy", "completed", "error"), an interned str made
// once per process.
PyObject* status_str(AgentStatus status);

// (from_agent, addressee, content, timestamp).
PyObject* message_tuple(const Message& message, std::string_view addressee);

// [(from_agent, owner, content, timestamp), ...] in the order of `messages`.
PyObject* message_list(const std::vector<Message>& messages, std::string_view owner);

}  // namespace galtro::binding
