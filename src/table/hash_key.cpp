#include "table/hash_key.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "table/fatal_failure.h"

namespace galtro {
namespace {

constexpr const char* kRandomDevice = "/dev/urandom";

bool fill_from_getrandom(unsigned char* bytes, std::size_t size) noexcept {
  while (size != 0) {
    const ssize_t got = ::getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // e.g. ENOSYS on an old kernel
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool fill_from_random_device(unsigned char* bytes, std::size_t size) noexcept {
  int fd;
  do {
    fd = ::open(kRandomDevice, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = true;
  while (size != 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  ::close(fd);
  return ok;
}

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
    if (!fill_from_getrandom(bytes, sizeof bytes) &&
        !fill_from_random_device(bytes, sizeof bytes)) {
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
