// Result conversion: what the core returns, as new Python objects.
//
// Each function returns a new reference. The interpreter running out of memory for an
// object throws std::bad_alloc (raised as MemoryError); any other failure to make one is
// a fatal failure "Python API call failed" (the pending exception is printed first).
// Call only after the core operation has returned, with no table lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/owned_reference.h"
#include "core/inbox.h"
#include "core/records.h"

namespace galtro::binding {

// A str over UTF-8 `text`.
PyObject* str_from_text(std::string_view text);

// None.
PyObject* none_result();

// The name of `status` ("idle", "busy", "completed", "error"), an interned str made
// once per process.
PyObject* status_str(AgentStatus status);

// A str for one of the caller's texts that the result repeats, made before the
// operation runs when the text is large, so that running out of memory for it fails the
// call before the state changes; a short one is made afterwards, as usual. `text` must
// outlive this.
class EarlyStr {
 public:
  static constexpr std::size_t kEarlyBytes = std::size_t{64} << 10;

  explicit EarlyStr(std::string_view text)
      : text_(text), str_(text.size() > kEarlyBytes ? str_from_text(text) : nullptr) {}
  // The str of the text. A new reference.
  PyObject* take() { return str_ ? str_.release() : str_from_text(text_); }

 private:
  std::string_view text_;
  OwnedReference str_;
};

// (from_agent, addressee, content, timestamp), stealing the three strs.
PyObject* message_tuple(PyObject* from_agent, PyObject* addressee, PyObject* content,
                        std::uint64_t timestamp);

// [(from_agent, owner, content, timestamp), ...] in the order of `messages`.
PyObject* message_list(const std::vector<PendingMessage>& messages, std::string_view owner);

}  // namespace galtro::binding
