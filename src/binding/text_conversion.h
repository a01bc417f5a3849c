// Text conversion: Python str arguments into UTF-8 bytes, and the names of types as
// they appear in error messages.
#pragma once

#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "binding/error_value.h"
#include "binding/owned_reference.h"

namespace galtro::binding {

// Returns a new reference to the strict UTF-8 encoding (a bytes object) of `object`,
// which must be a str or an instance of a str subclass. Anything else is TypeError
// "'{}' object cannot be converted to 'PyString'"; a lone surrogate is the
// interpreter's UnicodeEncodeError. Borrows `object`.
std::expected<OwnedReference, ErrorValue> utf8_bytes(PyObject* object);

// The UTF-8 bytes of `object`: `encoding` is set to its strict UTF-8 encoding, which
// the result views, so the caller keeps `encoding` for as long as it reads them (a
// call's BorrowedText arguments, core/borrowed_text.h). Errors as utf8_bytes. Borrows
// `object`.
std::expected<std::string_view, ErrorValue> utf8_view(PyObject* object, OwnedReference& encoding);

// The contents of a bytes object. Borrows `bytes`, which must be a bytes object and
// outlive the view.
std::string_view bytes_view(PyObject* bytes);

// The attribute `attribute` of `type` read as text; empty, with the failure dropped,
// when it cannot be read or is not a str. Borrows `type`.
std::optional<std::string> type_attribute_text(PyTypeObject* type, const char* attribute);

// The `__qualname__` of `type`, or "<failed to extract type name>". Borrows `type`.
std::string type_qualname(PyTypeObject* type);

// "'{qualname of type}' object cannot be converted to '{target}'" as a TypeError.
ErrorValue conversion_error(PyTypeObject* type, std::string_view target);

// Decodes UTF-8, replacing each maximal invalid subsequence by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace galtro::binding
