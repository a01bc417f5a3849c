#include "lib/text.h"

#include <cstdlib>
#include <new>

namespace galtro {

Text::Text(std::string_view prefix, std::string_view rest) {
  char* target = allocate(prefix.size() + rest.size());
  if (!prefix.empty()) std::memcpy(target, prefix.data(), prefix.size());
  if (!rest.empty()) std::memcpy(target + prefix.size(), rest.data(), rest.size());
}

char* Text::allocate_heap(std::size_t size) {
  clear_inline();
  if (size > kMaxHeapSize) throw std::bad_alloc();
  char* block = static_cast<char*>(std::malloc(size));
  if (block == nullptr) throw std::bad_alloc();
  set_pointer(block, size, kHeapTag);
  return block;
}

}  // namespace galtro
