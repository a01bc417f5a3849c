#include "core/text.h"

#include <cstdlib>
#include <new>

namespace galtro {

Text::Text(std::string_view prefix, std::string_view rest) {
  const std::size_t size = prefix.size() + rest.size();
  if (size <= kInlineCapacity) {
    // Both pieces in registers, the rest shifted up by the prefix's length.
    const Words head = inline_words(prefix.data(), prefix.size());
    const Words tail = inline_words(rest.data(), rest.size());
    const std::size_t shift = 8 * prefix.size();
    std::uint64_t low = head.low;
    std::uint64_t high = head.high;
    if (shift == 0) {
      low |= tail.low;
      high |= tail.high;
    } else if (shift < 64) {
      low |= tail.low << shift;
      high |= (tail.high << shift) | (tail.low >> (64 - shift));
    } else {
      high |= tail.low << (shift - 64);
    }
    store_words(low, high | (std::uint64_t{size} << 56));
    return;
  }
  char* target = allocate_heap(size);
  if (!prefix.empty()) std::memcpy(target, prefix.data(), prefix.size());
  if (!rest.empty()) std::memcpy(target + prefix.size(), rest.data(), rest.size());
}

char* Text::allocate_heap(std::size_t size) {
  clear_inline();
  if (size > kMaxHeapSize) throw std::bad_alloc();
  char* block = static_cast<char*>(std::malloc(size));
  if (block == nullptr) throw std::bad_alloc();
  set_heap(block, size);
  return block;
}

}  // namespace galtro
