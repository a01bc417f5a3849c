#include "table/shard_lock.h"

#include <sched.h>

#include <cassert>

#include "base/fatal_failure.h"
#include "base/platform.h"

namespace galtro {

ShardLock::~ShardLock() {
  assert((state_.load(std::memory_order_relaxed) & (kWriter | kReaderMask)) == 0 &&
         "shard lock destroyed while held");
}

void ShardLock::add_shared() {
  std::uint32_t state = state_.load(std::memory_order_relaxed);
  for (;;) {
    assert((state & kReaderMask) != 0 && "add_shared without a shared hold");
    assert((state & kWriter) == 0);
    if ((state & kReaderMask) == kReaderMask) fatal("too many shared holds of one shard lock");
    // The caller's own hold already orders it after the last writer.
    if (state_.compare_exchange_weak(state, state + 1, std::memory_order_relaxed)) return;
  }
}

void ShardLock::lock_contended(std::uint32_t state) {
  int spins = 0;
  for (;;) {
    if ((state & (kWriter | kReaderMask)) == 0) {
      // Free. Take it, dropping kWriterWaiting: other waiting writers set it again.
      if (state_.compare_exchange_weak(state, (state & kSleepers) | kWriter,
                                       std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    if ((state & kWriterWaiting) == 0) {
      if (!state_.compare_exchange_weak(state, state | kWriterWaiting, std::memory_order_relaxed)) {
        continue;
      }
      state |= kWriterWaiting;
    }
    wait_turn(state, spins);
  }
}

void ShardLock::lock_shared_contended(std::uint32_t state) {
  int spins = 0;
  for (;;) {
    if ((state & (kWriter | kWriterWaiting)) == 0) {
      if ((state & kReaderMask) == kReaderMask) fatal("too many shared holds of one shard lock");
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      continue;
    }
    wait_turn(state, spins);
  }
}

void ShardLock::wait_turn(std::uint32_t& state, int& spins) noexcept {
  if (spins < kSpinPauses + kSpinYields) {
    if (spins++ < kSpinPauses) {
      platform::cpu_relax();
    } else {
      ::sched_yield();
    }
  } else if ((state & kSleepers) == 0) {
    // A failed exchange has reloaded `state`: the caller looks again.
    if (!state_.compare_exchange_weak(state, state | kSleepers, std::memory_order_relaxed)) return;
    sleep(state | kSleepers);
  } else {
    sleep(state);
  }
  state = state_.load(std::memory_order_relaxed);
}

void ShardLock::wake_after_last_reader() noexcept {
  std::uint32_t state = state_.load(std::memory_order_relaxed);
  for (;;) {
    if ((state & kSleepers) == 0) return;  // someone else woke them
    // A new holder will see kSleepers when it leaves, and wake them then.
    if ((state & (kWriter | kReaderMask)) != 0) return;
    if (state_.compare_exchange_weak(state, state & ~kSleepers, std::memory_order_relaxed)) {
      wake_all();
      return;
    }
  }
}

void ShardLock::sleep(std::uint32_t expected) noexcept {
  // Returns at once if the word has changed since `expected` was read; spurious
  // returns are harmless, the caller looks at the word again.
  platform::futex_wait(state_, expected);
}

void ShardLock::wake_all() noexcept {
  platform::futex_wake_all(state_);
}

}  // namespace galtro
