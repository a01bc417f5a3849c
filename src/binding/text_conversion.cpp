#include "binding/text_conversion.h"

#include <cstdint>

#include "base/fatal_failure.h"

namespace galtro::binding {

std::expected<OwnedReference, ErrorValue> utf8_bytes(PyObject* object) {
  if (!PyUnicode_CheckExact(object) && !PyUnicode_Check(object)) {
    return std::unexpected(conversion_error(Py_TYPE(object), "PyString"));
  }
  OwnedReference bytes(PyUnicode_AsUTF8String(object));
  if (!bytes) return std::unexpected(ErrorValue::fetch());
  return bytes;
}

std::expected<std::string_view, ErrorValue> utf8_view(PyObject* object, OwnedReference& encoding) {
  // utf8_bytes and bytes_view, written out: this runs for every argument of every call.
  if (!PyUnicode_CheckExact(object) && !PyUnicode_Check(object)) {
    return std::unexpected(conversion_error(Py_TYPE(object), "PyString"));
  }
  OwnedReference bytes(PyUnicode_AsUTF8String(object));
  if (!bytes) return std::unexpected(ErrorValue::fetch());
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Print();
    fatal("Python API call failed");
  }
  encoding = std::move(bytes);
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string_view bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    PyErr_Print();
    fatal("Python API call failed");
  }
  return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string> type_attribute_text(PyTypeObject* type, const char* attribute) {
  OwnedReference value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!value) {
    drop_pending_failure();
    return std::nullopt;
  }
  // Checked here rather than left to utf8_bytes, whose error message would ask for the
  // name of this value's type in turn.
  if (!PyUnicode_Check(value.get())) return std::nullopt;
  std::expected<OwnedReference, ErrorValue> bytes = utf8_bytes(value.get());
  if (!bytes) return std::nullopt;
  return std::string(bytes_view(bytes->get()));
}

std::string type_qualname(PyTypeObject* type) {
  return type_attribute_text(type, "__qualname__").value_or("<failed to extract type name>");
}

ErrorValue conversion_error(PyTypeObject* type, std::string_view target) {
  std::string message = "'";
  message += type_qualname(type);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return ErrorValue::deferred(PyExc_TypeError, std::move(message));
}

namespace {

// Length of the valid UTF-8 sequence at the start of `bytes`, or 0 when the first byte
// starts none; `*invalid_length` is then the length of the maximal subpart to replace.
std::size_t valid_sequence_length(std::string_view bytes, std::size_t* invalid_length) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  *invalid_length = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return 0;
    const std::uint8_t next = byte(i);
    const bool in_range = i == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
    if (!in_range) return 0;
    *invalid_length = i + 1;
  }
  return length;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string result;
  result.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t invalid_length = 0;
    const std::size_t length = valid_sequence_length(bytes, &invalid_length);
    if (length != 0) {
      result.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    } else {
      result.append(kReplacement);
      bytes.remove_prefix(invalid_length);
    }
  }
  return result;
}

}  // namespace galtro::binding
