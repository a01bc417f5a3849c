// Little-endian words read from byte strings, for the code that treats short byte
// strings a word at a time: the keyed hash, key comparison and Text.
//
// None of them touches a byte outside those it reads. load_le_partial reads 0..8
// bytes without a loop: two loads that may overlap (a byte read twice lands in the
// same place both times), or the first, middle and last byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace galtro {

inline std::uint64_t load_le64(const unsigned char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

inline std::uint32_t load_le32(const unsigned char* bytes) noexcept {
  std::uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// The first `count` (at most 8) bytes at `bytes` as the low bytes of a little-endian
// word, the rest of it 0.
inline std::uint64_t load_le_partial(const unsigned char* bytes, std::size_t count) noexcept {
  if (count == 8) return load_le64(bytes);
  if (count >= 4) {
    return std::uint64_t{load_le32(bytes)} |
           (std::uint64_t{load_le32(bytes + count - 4)} << (8 * (count - 4)));
  }
  if (count == 0) return 0;
  return std::uint64_t{bytes[0]} | std::uint64_t{bytes[count / 2]} << (8 * (count / 2)) |
         std::uint64_t{bytes[count - 1]} << (8 * (count - 1));
}

// Bytes 8 to `size` (8 < size <= 16) at `bytes` as the low bytes of a word, the rest
// 0: one load of the last 8 bytes, shifted down past those before byte 8.
inline std::uint64_t load_le_beyond8(const unsigned char* bytes, std::size_t size) noexcept {
  return load_le64(bytes + size - 8) >> (8 * (16 - size));
}

// The same over char.
inline std::uint64_t load_le64(const char* bytes) noexcept {
  return load_le64(reinterpret_cast<const unsigned char*>(bytes));
}
inline std::uint64_t load_le_partial(const char* bytes, std::size_t count) noexcept {
  return load_le_partial(reinterpret_cast<const unsigned char*>(bytes), count);
}
inline std::uint64_t load_le_beyond8(const char* bytes, std::size_t size) noexcept {
  return load_le_beyond8(reinterpret_cast<const unsigned char*>(bytes), size);
}

}  // namespace galtro
