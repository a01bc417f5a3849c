#include "base/platform.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace galtro::platform {
namespace {

constexpr const char* kRandomDevice = "/dev/urandom";

// sched_getaffinity fails with EINVAL when the mask is smaller than the kernel's;
// the mask is grown by doubling up to this many processors.
constexpr std::size_t kMaxAffinityProcessors = std::size_t{1} << 20;
static_assert(kMaxAffinityProcessors >= CPU_SETSIZE, "must cover the default mask size");

bool fill_from_getrandom(unsigned char* bytes, std::size_t size) noexcept {
#ifdef SYS_getrandom
  while (size != 0) {
    const long got = ::syscall(SYS_getrandom, bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // e.g. ENOSYS on an old kernel
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
#else
  static_cast<void>(bytes);
  static_cast<void>(size);
  return false;
#endif
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

std::optional<std::size_t> affinity_processors() {
  for (std::size_t processors = CPU_SETSIZE; processors <= kMaxAffinityProcessors;
       processors *= 2) {
    const std::size_t bytes = CPU_ALLOC_SIZE(processors);
    std::unique_ptr<cpu_set_t, decltype(&::free)> mask(CPU_ALLOC(processors), &::free);
    if (!mask) return std::nullopt;
    if (::sched_getaffinity(0, bytes, mask.get()) == 0) {
      const int count = CPU_COUNT_S(bytes, mask.get());
      if (count <= 0) return std::nullopt;
      return static_cast<std::size_t>(count);
    }
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

// The futex operates on the atomic's own storage.
std::uint32_t* futex_word(std::atomic<std::uint32_t>& word) noexcept {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free,
                "a futex word is a plain, lock-free 32-bit atomic");
  return reinterpret_cast<std::uint32_t*>(&word);
}

}  // namespace

bool fill_random_bytes(unsigned char* bytes, std::size_t size) noexcept {
  return fill_from_getrandom(bytes, size) || fill_from_random_device(bytes, size);
}

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  ::syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

std::optional<std::size_t> scheduler_processor_count() {
  if (auto processors = affinity_processors()) return processors;
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<std::size_t>(online);
  return std::nullopt;
}

}  // namespace galtro::platform
