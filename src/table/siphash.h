// SipHash with a configurable number of rounds, as used to hash table keys.
//
// The hash of a byte string under a 128-bit key (k0, k1) with C compression rounds
// per 8-byte block and D finalisation rounds. Tables use C = 1, D = 3; the C = 2,
// D = 4 variant shares the round code and is there to check it against the
// reference vectors.
//
// Words are read little-endian whatever the host byte order, so a hash depends only
// on the key and the bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/little_endian.h"

namespace galtro {

// Key of a keyed hash: two 64-bit words.
struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
  friend bool operator==(const HashKey&, const HashKey&) = default;
};

namespace siphash_detail {

// The published initialisation constants ("somepseudorandomlygeneratedbytes").
inline constexpr std::uint64_t kInit0 = 0x736f6d6570736575;
inline constexpr std::uint64_t kInit1 = 0x646f72616e646f6d;
inline constexpr std::uint64_t kInit2 = 0x6c7967656e657261;
inline constexpr std::uint64_t kInit3 = 0x7465646279746573;
// XORed into v2 between the last block and the finalisation rounds.
inline constexpr std::uint64_t kFinalisationMark = 0xff;

}  // namespace siphash_detail

// Incremental SipHash-C-D: write bytes in any pieces, then finish once.
// Full 8-byte words are compressed straight from the caller's buffer; only the
// bytes of an unfinished word are kept in the hasher.
template <int CompressionRounds, int FinalisationRounds>
class SipHasher {
  static_assert(CompressionRounds >= 1 && FinalisationRounds >= 1,
                "SipHash needs at least one round in each phase");

 public:
  explicit SipHasher(HashKey key) noexcept
      : v0_(key.k0 ^ siphash_detail::kInit0),
        v1_(key.k1 ^ siphash_detail::kInit1),
        v2_(key.k0 ^ siphash_detail::kInit2),
        v3_(key.k1 ^ siphash_detail::kInit3) {}

  void write(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    length_ += size;
    if (pending_count_ != 0) {
      const std::size_t room = kWordBytes - pending_count_;
      const std::size_t take = size < room ? size : room;
      pending_ |= load_le_partial(bytes, take) << (8 * pending_count_);
      pending_count_ += take;
      bytes += take;
      size -= take;
      if (pending_count_ < kWordBytes) return;
      compress(pending_);
      pending_ = 0;
      pending_count_ = 0;
    }
    for (; size >= kWordBytes; size -= kWordBytes, bytes += kWordBytes) {
      compress(load_le64(bytes));
    }
    pending_ = load_le_partial(bytes, size);
    pending_count_ = size;
  }

  void write(std::string_view bytes) noexcept { write(bytes.data(), bytes.size()); }

  void write_byte(unsigned char byte) noexcept {
    pending_ |= std::uint64_t{byte} << (8 * pending_count_);
    ++length_;
    if (++pending_count_ == kWordBytes) {
      compress(pending_);
      pending_ = 0;
      pending_count_ = 0;
    }
  }

  // Writes `value` as its 8 bytes, least significant first.
  void write_u64(std::uint64_t value) noexcept {
    if (pending_count_ == 0) {
      length_ += kWordBytes;
      compress(value);
      return;
    }
    unsigned char bytes[kWordBytes];
    for (std::size_t i = 0; i < kWordBytes; ++i)
      bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    write(bytes, sizeof bytes);
  }

  // The hash of `size` bytes followed by the byte `last`, in one go: the whole words
  // straight from `data`, then the 0..7 bytes left and `last` as one word, without a
  // byte loop (text keys are hashed this way, with their terminator).
  static std::uint64_t hash_with_last_byte(HashKey key, const void* data, std::size_t size,
                                           unsigned char last) noexcept {
    SipHasher hasher(key);
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t whole = size - size % kWordBytes;
    for (std::size_t i = 0; i < whole; i += kWordBytes) {
      hasher.compress(load_le64(bytes + i));
    }
    const std::size_t rest = size - whole;
    std::uint64_t word =
        load_le_partial(bytes + whole, rest) | (std::uint64_t{last} << (8 * rest));
    if (rest + 1 == kWordBytes) {
      hasher.compress(word);
      word = 0;
    }
    hasher.pending_ = word;
    hasher.pending_count_ = (rest + 1) % kWordBytes;
    hasher.length_ = size + 1;
    return hasher.finish();
  }

  // The hash of everything written. The hasher must not be used afterwards.
  std::uint64_t finish() noexcept {
    // The final block carries the low byte of the total length in its top byte.
    compress(pending_ | (static_cast<std::uint64_t>(length_) << 56));
    v2_ ^= siphash_detail::kFinalisationMark;
    for (int i = 0; i < FinalisationRounds; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  static constexpr std::size_t kWordBytes = 8;
  static_assert(sizeof(std::uint64_t) == kWordBytes, "SipHash works on 64-bit words");

  void round() noexcept {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  void compress(std::uint64_t word) noexcept {
    v3_ ^= word;
    for (int i = 0; i < CompressionRounds; ++i) round();
    v0_ ^= word;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t pending_ = 0;      // bytes of an unfinished word, little-endian
  std::size_t pending_count_ = 0;  // how many of them, 0..7
  std::size_t length_ = 0;         // total bytes written (only the low byte matters)
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

// One-shot hashes of a byte string.
std::uint64_t siphash13(HashKey key, const void* data, std::size_t size) noexcept;
std::uint64_t siphash24(HashKey key, const void* data, std::size_t size) noexcept;

// SipHash-1-3 of a text key: its UTF-8 bytes followed by the byte 0xFF, so that
// no text is a prefix of another text's hashed form.
std::uint64_t siphash13_text(HashKey key, std::string_view text) noexcept;

// SipHash-1-3 of an unsigned 64-bit key: its 8 bytes, least significant first.
inline std::uint64_t siphash13_u64(HashKey key, std::uint64_t value) noexcept {
  SipHasher13 hasher(key);
  hasher.write_u64(value);
  return hasher.finish();
}

}  // namespace galtro
