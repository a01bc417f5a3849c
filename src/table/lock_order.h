// The lock order of the shard locks, written here and nowhere else.
//
// The rule. A thread never holds two locks of one table, and while it holds any
// shard lock it may take a lock of another table only if every lock it holds belongs
// to an outer table (LockNesting::kOuter). A table is inner unless its owner makes it
// outer; an inner table's lock is therefore always the last one a thread takes.
// (In the coordination state `claims` is the one outer table, so the only nesting is
// a `claims` shard held while a `statuses` or `history` shard is taken.) One walk is
// let through: an iteration moves on to the next shard, shared, while references it
// yielded from earlier shards still hold those; shared holds taken in rising shard
// order wait only for writers, and a writer holds nothing else of the table. Two
// threads that keep the rule can never wait for each other in a circle.
//
// The check. Builds with GALTRO_CHECK_LOCK_ORDER set (Debug and sanitizer builds, see
// CMakeLists.txt) record, per thread, every shard lock a table hands out, and a lock
// taken against the rule is the fatal failure "lock order violated: ...", raised
// before the thread waits for it. Other builds compile the hooks to nothing.
#pragma once

#include <cstdint>

namespace galtro {

class ShardLock;

enum class LockNesting : std::uint8_t {
  kInner = 0,  // nothing may be taken while one of its locks is held
  kOuter = 1,  // a lock of another table may be taken while one of its locks is held
};

#ifndef GALTRO_CHECK_LOCK_ORDER
#define GALTRO_CHECK_LOCK_ORDER 0
#endif

inline constexpr bool kLockOrderChecked = GALTRO_CHECK_LOCK_ORDER != 0;

namespace lock_order {

#if GALTRO_CHECK_LOCK_ORDER
// Fatal if the calling thread may not take a lock of `table` now; `walk` for an
// iteration entering its next shard.
void check_acquire(const void* table, LockNesting nesting, bool walk = false);
// The calling thread has taken `lock` of `table` (in an iteration's walk), or one more
// hold of it.
void note_acquired(const void* table, LockNesting nesting, const ShardLock* lock,
                   bool walk = false);
void note_added(const ShardLock* lock);
// The calling thread has given up one hold of `lock`.
void note_released(const ShardLock* lock) noexcept;
#else
inline void check_acquire(const void*, LockNesting, bool = false) noexcept {}
inline void note_acquired(const void*, LockNesting, const ShardLock*, bool = false) noexcept {}
inline void note_added(const ShardLock*) noexcept {}
inline void note_released(const ShardLock*) noexcept {}
#endif

}  // namespace lock_order
}  // namespace galtro
