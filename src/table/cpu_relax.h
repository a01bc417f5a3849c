// cpu_relax: tells the processor that the caller is spinning on a memory word, so
// that it lets the other hardware thread of its core run and does not speculate
// ahead into the loop. The one place an instruction of one processor family is used.
#pragma once

namespace galtro {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace galtro
