#include "table/lock_order.h"

#if GALTRO_CHECK_LOCK_ORDER

#include <cstddef>

#include "base/fatal_failure.h"

namespace galtro::lock_order {
namespace {

struct HeldLock {
  const void* table;
  const ShardLock* lock;
  LockNesting nesting;
  bool walk;  // a shared hold taken by an iteration, or a reference it yielded
};

// More holds than the rule lets a thread have at once, shared holds of one shard
// (an iteration and the references it yields) counted one by one.
constexpr std::size_t kMostHolds = 64;

struct HeldLocks {
  HeldLock holds[kMostHolds];
  std::size_t count = 0;
};

thread_local HeldLocks held;

void push(const HeldLock& hold) {
  if (held.count == kMostHolds) fatal("lock order violated: too many shard locks held at once");
  held.holds[held.count++] = hold;
}

}  // namespace

void check_acquire(const void* table, LockNesting /*nesting*/, bool walk) {
  for (std::size_t i = 0; i < held.count; ++i) {
    if (held.holds[i].table == table && walk && held.holds[i].walk) continue;
    if (held.holds[i].table == table) {
      fatal("lock order violated: a second lock of one table taken while one is held");
    }
    if (held.holds[i].nesting != LockNesting::kOuter) {
      fatal("lock order violated: a lock taken while a lock of an inner table is held");
    }
  }
}

void note_acquired(const void* table, LockNesting nesting, const ShardLock* lock, bool walk) {
  push(HeldLock{table, lock, nesting, walk});
}

void note_added(const ShardLock* lock) {
  for (std::size_t i = held.count; i-- > 0;) {
    if (held.holds[i].lock == lock) {
      push(held.holds[i]);
      return;
    }
  }
  fatal("lock order violated: a hold added to a shard lock the thread does not hold");
}

void note_released(const ShardLock* lock) noexcept {
  for (std::size_t i = held.count; i-- > 0;) {
    if (held.holds[i].lock == lock) {
      for (std::size_t j = i + 1; j < held.count; ++j) held.holds[j - 1] = held.holds[j];
      --held.count;
      return;
    }
  }
  abort_with("lock order violated: a shard lock released that the thread does not hold");
}

}  // namespace galtro::lock_order

#endif
