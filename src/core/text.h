// Text: an owned, immutable UTF-8 byte string in 16 bytes.
//
// Layout: texts of up to 15 bytes are stored inline (bytes 0..14, length in byte 15);
// longer texts live in one heap block of exactly their size, addressed by a pointer
// in bytes 0..7 and a 56-bit length in bytes 8..14, with byte 15 set to kHeapTag.
// Either form is written by one path on every byte order: two little-endian words
// built in registers and stored whole (store_words).
// Copies are deep; moves leave the source empty. Contents are compared byte for byte.
// A text always owns its bytes; an argument the core reads only for the length of a
// call is a BorrowedText (borrowed_text.h), from whose view a Text is made by this
// same path where the bytes must be kept.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/little_endian.h"

namespace galtro {

class Text {
 public:
  Text() noexcept { clear_inline(); }
  explicit Text(std::string_view bytes) { assign(bytes.data(), bytes.size()); }
  Text(const char* data, std::size_t size) { assign(data, size); }
  // Concatenation of two pieces, built in place (used for resource keys).
  Text(std::string_view prefix, std::string_view rest);

  Text(const Text& other) {
    if (other.is_heap()) {
      assign(other.data(), other.size());
    } else {
      std::memcpy(raw_, other.raw_, sizeof raw_);  // an inline text is its 16 bytes
    }
  }
  Text(Text&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.clear_inline();
  }
  Text& operator=(const Text& other) {
    if (this != &other) {
      Text copy(other);
      swap(copy);
    }
    return *this;
  }
  Text& operator=(Text&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(raw_, other.raw_, sizeof raw_);
      other.clear_inline();
    }
    return *this;
  }
  ~Text() { release(); }

  void swap(Text& other) noexcept {
    unsigned char tmp[sizeof raw_];
    std::memcpy(tmp, raw_, sizeof raw_);
    std::memcpy(raw_, other.raw_, sizeof raw_);
    std::memcpy(other.raw_, tmp, sizeof raw_);
  }

  const char* data() const noexcept { return is_heap() ? heap_pointer() : inline_data(); }
  std::size_t size() const noexcept { return is_heap() ? heap_size() : raw_[kTagByte]; }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: a text is a view
  std::string str() const { return std::string(view()); }

  friend bool operator==(const Text& a, const Text& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const Text& a, std::string_view b) noexcept { return a.view() == b; }

  static constexpr std::size_t kInlineCapacity = 15;

 private:
  static constexpr std::size_t kTagByte = 15;
  static constexpr unsigned char kHeapTag = 0xFF;
  static_assert(kHeapTag > kInlineCapacity, "the tag is never an inline length");
  static constexpr std::uint64_t kMaxHeapSize = (std::uint64_t{1} << 56) - 1;

  // Keeps its bytes in a heap block of its own.
  bool is_heap() const noexcept { return raw_[kTagByte] == kHeapTag; }
  // Makes this text the owner of the `size` bytes of the heap block `block`.
  void set_heap(char* block, std::size_t size) noexcept {
    store_words(reinterpret_cast<std::uintptr_t>(block),
                (std::uint64_t{size} & kMaxHeapSize) | (std::uint64_t{kHeapTag} << 56));
  }
  // Writes all 16 bytes with one store, bytes 0..7 from `low` and 8..15 from `high`,
  // each little-endian. A text is usually moved right after it is made, and moving
  // reads it as one 16-byte word: had it been written piecewise, that read would wait
  // for the pieces to reach the cache instead of taking them from the store.
  void store_words(std::uint64_t low, std::uint64_t high) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
      low = std::byteswap(low);
      high = std::byteswap(high);
    }
    using Pair = std::uint64_t __attribute__((vector_size(16)));
    const Pair pair = {low, high};
    std::memcpy(raw_, &pair, sizeof raw_);
  }
  // The `size` (at most kInlineCapacity) bytes at `data` as the two words of an inline
  // text without its length, built in registers from loads that stay inside the bytes.
  struct Words {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
  };
  static Words inline_words(const char* data, std::size_t size) noexcept {
    if (size < 8) return {load_le_partial(data, size), 0};
    return {load_le64(data), size > 8 ? load_le_beyond8(data, size) : 0};
  }
  void assign_inline(const char* data, std::size_t size) noexcept {
    const Words words = inline_words(data, size);
    store_words(words.low, words.high | (std::uint64_t{size} << 56));
  }
  const char* inline_data() const noexcept { return reinterpret_cast<const char*>(raw_); }
  char* heap_pointer() const noexcept {
    static_assert(sizeof(char*) <= sizeof(std::uint64_t), "a pointer fits bytes 0..7");
    return reinterpret_cast<char*>(static_cast<std::uintptr_t>(load_le64(raw_)));
  }
  std::size_t heap_size() const noexcept {
    // Bytes 8..14, read as one word with the tag byte masked off: a 7-byte copy would
    // be pieced together from two overlapping loads, which stalls.
    return static_cast<std::size_t>(load_le64(raw_ + 8) & kMaxHeapSize);
  }
  void clear_inline() noexcept { std::memset(raw_, 0, sizeof raw_); }
  // Makes this text a fresh heap block of `size` (more than kInlineCapacity) bytes,
  // contents unset, and returns the block. PRECONDITION: holds no heap block.
  char* allocate_heap(std::size_t size);
  void assign(const char* data, std::size_t size) {
    if (size <= kInlineCapacity) return assign_inline(data, size);
    std::memcpy(allocate_heap(size), data, size);
  }
  void release() noexcept {
    if (is_heap()) std::free(heap_pointer());
  }

  alignas(8) unsigned char raw_[16];
};

static_assert(sizeof(Text) == 16, "Text is two machine words; records are laid out around it");

}  // namespace galtro
