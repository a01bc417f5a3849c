// ShardLock: a reader-writer lock in one 32-bit word, one per table shard.
//
// State word:
//   bits 0..28  number of shared holders
//   bit 29      kSleepers: some thread sleeps (or is about to) on the word's futex
//   bit 30      kWriterWaiting: a writer waits; no new shared holder is let in
//   bit 31      kWriter: held exclusively
//
// Uncontended, each of lock, unlock, lock_shared and unlock_shared is a single
// atomic read-modify-write, inline. A thread that cannot enter spins a little on the
// word (cpu_relax), then yields the processor a few times, then sets kSleepers and
// sleeps on the futex until a releasing thread sees the bit, clears it and wakes every
// sleeper; the woken threads compete again.
//
// Writers do not starve: a waiting writer sets kWriterWaiting, which turns new
// shared holders away, so the current ones drain and the writer gets in. The price
// is that a thread must never take the lock shared again while it holds it (a
// writer that arrived in between would wait for it and it for the writer); a hold
// that must be duplicated goes through add_shared. Readers let in after a writer
// are not ordered among the woken writers.
//
// The lock does not know its holders: releasing a lock that the caller does not
// hold is undefined. Debug builds assert what the word itself can tell.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>

namespace galtro {

class ShardLock {
 public:
  ShardLock() noexcept = default;
  ShardLock(const ShardLock&) = delete;
  ShardLock& operator=(const ShardLock&) = delete;
  ~ShardLock();

  void lock() {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return;
    }
    lock_contended(expected);
  }

  // PRECONDITION: held exclusively by the caller.
  void unlock() noexcept {
    // Clearing kWriterWaiting along with the rest is safe: a writer that still waits
    // either spins and sets it again, or sleeps and is woken below.
    const std::uint32_t previous = state_.exchange(0, std::memory_order_release);
    assert((previous & kWriter) != 0 && "unlock of a shard lock not held exclusively");
    assert((previous & kReaderMask) == 0);
    if ((previous & kSleepers) != 0) [[unlikely]] wake_all();
  }

  void lock_shared() {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return;
    }
    lock_shared_contended(expected);
  }

  // PRECONDITION: held shared by the caller (once per earlier lock_shared/add_shared).
  void unlock_shared() noexcept {
    const std::uint32_t previous = state_.fetch_sub(1, std::memory_order_release);
    assert((previous & kReaderMask) != 0 && "unlock_shared of a shard lock not held shared");
    assert((previous & kWriter) == 0);
    if ((previous & kReaderMask) == 1 && (previous & kSleepers) != 0) [[unlikely]] {
      wake_after_last_reader();
    }
  }

  // Adds one more shared hold, without waiting even when a writer waits.
  // PRECONDITION: the caller already holds the lock shared.
  void add_shared();

  // What the word says now; for assertions only (another thread may hold it).
  bool is_locked_exclusive() const noexcept {
    return (state_.load(std::memory_order_relaxed) & kWriter) != 0;
  }
  bool is_locked_shared() const noexcept {
    return (state_.load(std::memory_order_relaxed) & kReaderMask) != 0;
  }

 private:
  friend struct ShardLockTestAccess;

  static constexpr std::uint32_t kWriter = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kWriterWaiting = std::uint32_t{1} << 30;
  static constexpr std::uint32_t kSleepers = std::uint32_t{1} << 29;
  static constexpr std::uint32_t kReaderMask = kSleepers - 1;
  static_assert((kReaderMask & (kWriter | kWriterWaiting | kSleepers)) == 0,
                "the reader count must not overlap the flag bits");
  // Looks at the word, each followed by cpu_relax, before a waiting thread starts to
  // yield: a holder inside a table operation leaves within a few hundred nanoseconds.
  static constexpr int kSpinPauses = 32;
  static_assert(kSpinPauses >= 0 && kSpinPauses < 1000, "a pause spin stays short");
  // Attempts, each followed by a yield, before a waiting thread goes to sleep: enough
  // to ride out a holder that is about to leave, few enough not to burn a processor
  // that the holder may need.
  static constexpr int kSpinYields = 16;
  static_assert(kSpinYields > 0 && kSpinYields < 1000, "spin briefly, then sleep");

  void lock_contended(std::uint32_t state);
  void lock_shared_contended(std::uint32_t state);
  // One wait of lock_contended or lock_shared_contended, `spins` counting the waits so
  // far: a pause, then a yield, then sleep with kSleepers set. Reloads `state`.
  void wait_turn(std::uint32_t& state, int& spins) noexcept;
  // Called by the last shared holder to leave when kSleepers was set.
  void wake_after_last_reader() noexcept;
  // Sleeps while the word still equals `expected` (which has kSleepers set).
  void sleep(std::uint32_t expected) noexcept;
  void wake_all() noexcept;

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(ShardLock) == sizeof(std::uint32_t), "a shard lock is one futex word");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex operates on the atomic's own storage");

}  // namespace galtro
