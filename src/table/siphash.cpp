#include "table/siphash.h"

namespace galtro {

namespace {
// Terminates a text key's bytes; 0xFF never occurs in UTF-8.
constexpr unsigned char kTextTerminator = 0xFF;
}  // namespace

std::uint64_t siphash13(HashKey key, const void* data, std::size_t size) noexcept {
  SipHasher13 hasher(key);
  hasher.write(data, size);
  return hasher.finish();
}

std::uint64_t siphash24(HashKey key, const void* data, std::size_t size) noexcept {
  SipHasher24 hasher(key);
  hasher.write(data, size);
  return hasher.finish();
}

std::uint64_t siphash13_text(HashKey key, std::string_view text) noexcept {
  return SipHasher13::hash_with_last_byte(key, text.data(), text.size(), kTextTerminator);
}

}  // namespace galtro
