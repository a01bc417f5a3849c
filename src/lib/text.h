// Text: an owned, immutable UTF-8 byte string in 16 bytes.
//
// Layout: texts of up to 15 bytes are stored inline (bytes 0..14, length in byte 15);
// longer texts live in one heap block of exactly their size, addressed by a pointer
// in bytes 0..7 and a 56-bit length in bytes 8..14, with byte 15 set to kHeapTag.
// Copies are deep; moves leave the source empty. Contents are compared byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace galtro {

class Text {
 public:
  Text() noexcept { clear_inline(); }
  explicit Text(std::string_view bytes) { assign(bytes.data(), bytes.size()); }
  Text(const char* data, std::size_t size) { assign(data, size); }
  // Concatenation of two pieces, built in place (used for resource keys).
  Text(std::string_view prefix, std::string_view rest);

  Text(const Text& other) { assign(other.data(), other.size()); }
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
  static constexpr std::uint64_t kMaxHeapSize = (std::uint64_t{1} << 56) - 1;

  bool is_heap() const noexcept { return raw_[kTagByte] == kHeapTag; }
  const char* inline_data() const noexcept { return reinterpret_cast<const char*>(raw_); }
  char* heap_pointer() const noexcept {
    char* pointer;
    std::memcpy(&pointer, raw_, sizeof pointer);
    return pointer;
  }
  std::size_t heap_size() const noexcept {
    std::uint64_t size = 0;
    std::memcpy(&size, raw_ + 8, 7);  // little-endian, 56 bits
    return static_cast<std::size_t>(size);
  }
  void clear_inline() noexcept {
    std::memset(raw_, 0, sizeof raw_);
  }
  // Makes this text a fresh buffer of `size` bytes (contents unset) and returns it.
  // PRECONDITION: holds no heap block. The inline case is here, so that short texts
  // are made and dropped without a call.
  char* allocate(std::size_t size) {
    if (size > kInlineCapacity) return allocate_heap(size);
    clear_inline();
    raw_[kTagByte] = static_cast<unsigned char>(size);
    return reinterpret_cast<char*>(raw_);
  }
  char* allocate_heap(std::size_t size);
  void assign(const char* data, std::size_t size) {
    char* target = allocate(size);
    if (size != 0) std::memcpy(target, data, size);
  }
  void release() noexcept {
    if (is_heap()) std::free(heap_pointer());
  }

  alignas(8) unsigned char raw_[16];
};

static_assert(sizeof(Text) == 16, "Text is two machine words; records are laid out around it");

}  // namespace galtro
