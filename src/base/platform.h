// What the table needs from the operating system, all in this header and its source
// file, so that a port to another system replaces this pair alone:
//
//   fill_random_bytes         key material for the table hashes
//   futex_wait, futex_wake_all  sleeping on a 32-bit word until another thread wakes it
//   scheduler_processor_count   the processors the process may run on
//   cpu_relax                 a pause in a spin loop (inline: the one processor-specific
//                             instruction)
//
// This build is Linux's. Only system calls and C library functions that glibc 2.17
// has are used (getrandom goes through syscall(2), since its wrapper came in 2.25),
// so the release wheels run on any glibc 2.17 or later.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace galtro::platform {

// Fills `bytes` with `size` bytes of operating-system randomness: getrandom, or the
// random device where the kernel has no getrandom. False if neither gives them.
bool fill_random_bytes(unsigned char* bytes, std::size_t size) noexcept;

// Sleeps while `word` still holds `expected`; returns at once if it does not. May also
// return spuriously: the caller looks at the word again.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Wakes every thread sleeping in futex_wait on `word`.
void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept;

// The size of the process's scheduling affinity mask, or else the number of online
// processors; nothing if neither can be read.
std::optional<std::size_t> scheduler_processor_count();

// Tells the processor that the caller is spinning on a memory word, so that it lets the
// other hardware thread of its core run and does not speculate ahead into the loop.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace galtro::platform
