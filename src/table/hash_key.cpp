#include "table/hash_key.h"

#include <cstddef>
#include <cstring>

#include "base/fatal_failure.h"
#include "base/platform.h"

namespace galtro {
namespace {

// The calling thread's pair; `seeded` is false until its first use.
struct ThreadKey {
  HashKey key;
  bool seeded;
};
thread_local ThreadKey thread_key{{0, 0}, false};

}  // namespace

HashKey next_table_hash_key() {
  if (!thread_key.seeded) {
    unsigned char bytes[sizeof(HashKey)];
    static_assert(sizeof bytes == 2 * sizeof(std::uint64_t), "a key is two 64-bit words");
    if (!platform::fill_random_bytes(bytes, sizeof bytes)) {
      fatal("could not read operating-system randomness for a table hash key");
    }
    std::memcpy(&thread_key.key.k0, bytes, sizeof thread_key.key.k0);
    std::memcpy(&thread_key.key.k1, bytes + sizeof thread_key.key.k0, sizeof thread_key.key.k1);
    thread_key.seeded = true;
  }
  const HashKey current = thread_key.key;
  ++thread_key.key.k0;  // unsigned: wraps
  return current;
}

}  // namespace galtro
