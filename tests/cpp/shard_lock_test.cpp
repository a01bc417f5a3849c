#include "table/shard_lock.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace galtro {

struct ShardLockTestAccess {
  static std::uint32_t state(const ShardLock& lock) {
    return lock.state_.load(std::memory_order_relaxed);
  }
  static bool writer_waiting(const ShardLock& lock) {
    return (state(lock) & ShardLock::kWriterWaiting) != 0;
  }
  static std::uint32_t readers(const ShardLock& lock) {
    return state(lock) & ShardLock::kReaderMask;
  }
};

namespace {

using Access = ShardLockTestAccess;

// Spins (yielding) until `done` holds; false after a generous bound.
template <class Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 2'000'000; ++i) {
    if (done()) return true;
    sched_yield();
  }
  return false;
}

// Now and then stays inside long enough for waiting threads to give up spinning
// and sleep, so that the sleep and wake paths are exercised too.
void linger(std::minstd_rand& random) {
  if (random() % 64 == 0) {
    for (int i = 0; i < 40; ++i) sched_yield();
  }
}

TEST(ShardLock, HoldsAreCountedAndTheWordReturnsToZero) {
  ShardLock lock;
  lock.lock();
  EXPECT_TRUE(lock.is_locked_exclusive());
  lock.unlock();
  EXPECT_EQ(Access::state(lock), 0u);
  lock.lock_shared();
  lock.lock_shared();
  lock.add_shared();
  EXPECT_EQ(Access::readers(lock), 3u);
  EXPECT_FALSE(lock.is_locked_exclusive());
  for (int i = 0; i < 3; ++i) lock.unlock_shared();
  EXPECT_EQ(Access::state(lock), 0u);
}

// Readers and writers over shared plain data: a writer must be alone, a reader must
// see no writer and a consistent snapshot. ThreadSanitizer checks the ordering.
TEST(ShardLock, WritersExcludeEveryoneReadersShare) {
  constexpr int kThreads = 4;
  constexpr int kOperations = 30000;
  ShardLock lock;
  std::atomic<int> active_readers{0};
  std::atomic<int> active_writers{0};
  std::atomic<int> max_readers{0};
  std::array<std::uint64_t, 8> data{};  // all equal outside a writer
  std::array<std::uint64_t, kThreads> writes{};
  std::atomic<bool> failed{false};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      for (int i = 0; i < kOperations; ++i) {
        if (random() % 4 == 0) {
          lock.lock();
          if (active_writers.fetch_add(1) != 0 || active_readers.load() != 0) failed = true;
          for (auto& word : data) ++word;
          linger(random);
          ++writes[static_cast<std::size_t>(t)];
          active_writers.fetch_sub(1);
          lock.unlock();
        } else {
          lock.lock_shared();
          const int readers = active_readers.fetch_add(1) + 1;
          int seen = max_readers.load();
          while (seen < readers && !max_readers.compare_exchange_weak(seen, readers)) {
          }
          if (active_writers.load() != 0) failed = true;
          const bool extra = random() % 8 == 0;
          if (extra) lock.add_shared();
          for (auto word : data) {
            if (word != data[0]) failed = true;
          }
          linger(random);
          if (extra) lock.unlock_shared();
          active_readers.fetch_sub(1);
          lock.unlock_shared();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  std::uint64_t total = 0;
  for (auto count : writes) total += count;
  EXPECT_EQ(data[0], total);
  EXPECT_EQ(data[7], total);
  EXPECT_EQ(Access::state(lock), 0u);
  std::printf("most readers inside at once: %d\n", max_readers.load());
}

TEST(ShardLock, WaitingWriterTurnsNewReadersAwayButNotAddShared) {
  ShardLock lock;
  lock.lock_shared();
  std::atomic<int> order{0};
  std::atomic<int> writer_turn{0};
  std::atomic<int> reader_turn{0};
  std::thread writer([&] {
    lock.lock();
    writer_turn = ++order;
    lock.unlock();
  });
  ASSERT_TRUE(eventually([&] { return Access::writer_waiting(lock); }));

  lock.add_shared();  // must not wait for the writer
  std::thread reader([&] {
    lock.lock_shared();
    reader_turn = ++order;
    lock.unlock_shared();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(reader_turn.load(), 0) << "a reader got past a waiting writer";
  EXPECT_EQ(writer_turn.load(), 0);
  lock.unlock_shared();
  lock.unlock_shared();
  writer.join();
  reader.join();
  EXPECT_EQ(writer_turn.load(), 1);
  EXPECT_EQ(reader_turn.load(), 2);
  EXPECT_EQ(Access::state(lock), 0u);
}

TEST(ShardLock, WriterIsNotStarvedByOverlappingReaders) {
  // Two readers hand the lock to each other so that it is never free: each enters,
  // waits until the other is inside too, and only then leaves. (Neither takes it
  // twice: that could wait for the writer that waits for it.) They go on until the
  // writer has been in, or up to a bound that a starved writer would run into.
  constexpr int kMaxReaderRounds = 1'000'000;
  // Rounds the readers may still make before the writer has announced itself: a
  // preempted writer (a loaded machine, a sanitizer) lets them run for a while. A
  // starved writer waits for all of them.
  constexpr int kFewRounds = kMaxReaderRounds / 4;
  ShardLock lock;
  std::atomic<int> inside{0};
  std::atomic<bool> writer_done{false};
  std::atomic<int> rounds{0};
  auto reader = [&] {
    for (int i = 0; i < kMaxReaderRounds && !writer_done; ++i) {
      lock.lock_shared();
      inside.fetch_add(1);
      rounds.fetch_add(1);
      // A waiting writer keeps the other reader out; after a while of that, leave.
      for (int wait = 0; wait < 5000 && inside.load() < 2 && !writer_done; ++wait) sched_yield();
      inside.fetch_sub(1);
      lock.unlock_shared();
    }
  };
  std::thread first(reader);
  std::thread second(reader);
  ASSERT_TRUE(eventually([&] { return rounds.load() > 100; }));
  const int rounds_before = rounds.load();
  lock.lock();
  const int rounds_waited = rounds.load() - rounds_before;
  writer_done = true;
  lock.unlock();
  first.join();
  second.join();
  std::printf("reader rounds while the writer waited: %d\n", rounds_waited);
  EXPECT_LT(rounds_waited, kFewRounds) << "readers kept overtaking a waiting writer";
  EXPECT_EQ(Access::state(lock), 0u);
}

}  // namespace
}  // namespace galtro
