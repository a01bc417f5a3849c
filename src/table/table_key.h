// How ShardedTable treats its two kinds of key.
//
// An unsigned 64-bit key is looked up by value and hashed as its 8 bytes, least
// significant first. A text key (any type that converts to std::string_view, such
// as galtro::Text or std::string) is looked up by std::string_view, compared byte
// for byte, and hashed as its bytes followed by 0xFF.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/little_endian.h"
#include "table/siphash.h"

namespace galtro {

// Whether two byte strings are equal. Strings of up to 16 bytes are compared inline,
// as two words from each that may overlap; found keys are mostly that short, and a
// library call would cost more than the compare.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  const char* const p = a.data();
  const char* const q = b.data();
  if (size > 16) return std::memcmp(p, q, size) == 0;
  if (size >= 8) {
    return load_le64(p) == load_le64(q) && load_le64(p + size - 8) == load_le64(q + size - 8);
  }
  return load_le_partial(p, size) == load_le_partial(q, size);
}

template <class K>
struct TableKeyTraits;  // only the two kinds below

template <>
struct TableKeyTraits<std::uint64_t> {
  using Lookup = std::uint64_t;
  static Lookup lookup(const std::uint64_t& key) noexcept { return key; }
  static bool equal(const std::uint64_t& stored, Lookup key) noexcept { return stored == key; }
  static std::uint64_t hash(HashKey hash_key, Lookup key) noexcept {
    return siphash13_u64(hash_key, key);
  }
};

template <class K>
requires std::convertible_to<const K&, std::string_view>
struct TableKeyTraits<K> {
  using Lookup = std::string_view;
  static Lookup lookup(const K& key) noexcept { return static_cast<std::string_view>(key); }
  static bool equal(const K& stored, Lookup key) noexcept {
    return same_bytes(static_cast<std::string_view>(stored), key);
  }
  static std::uint64_t hash(HashKey hash_key, Lookup key) noexcept {
    return siphash13_text(hash_key, key);
  }
};

}  // namespace galtro
