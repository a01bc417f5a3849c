// LastKeyHash: remembers the hash of the last 64-bit key asked for, so that a table
// looked up with the same key again and again (the history's current second) hashes it
// once. Safe for any number of threads: a sequence count guards the pair, a reader that
// sees it change meanwhile just hashes the key itself, and so does a writer that finds
// another writer at work (it leaves the memo as it is).
//
// Measured: claim_file+release in benchmarks/ runs about 5 % slower without it.
//
// Invariant: whenever `sequence_` is even and unchanged across reading both words,
// `hash_` is the table's hash of `key_` (or the memo is still empty, `sequence_` 0).
#pragma once

#include <atomic>
#include <cstdint>

namespace galtro {

class LastKeyHash {
 public:
  // The hash of `key` by `table` (anything with hash(std::uint64_t)), from the memo
  // when it holds `key`; otherwise computed, and remembered.
  template <class Table>
  std::uint64_t hash(const Table& table, std::uint64_t key) noexcept {
    // A reader that loads either word as a writer stored it synchronises with that
    // store (acquire/release), so its second look at the count sees the writer's odd
    // count or a later one, and it does not use the pair.
    const std::uint64_t before = sequence_.load(std::memory_order_acquire);
    const std::uint64_t key_seen = key_.load(std::memory_order_acquire);
    const std::uint64_t hash_seen = hash_.load(std::memory_order_acquire);
    const std::uint64_t after = sequence_.load(std::memory_order_relaxed);
    if (before == after && before != 0 && (before & 1) == 0 && key_seen == key) return hash_seen;

    const std::uint64_t key_hash = table.hash(key);
    std::uint64_t expected = after;
    if ((expected & 1) == 0 &&
        sequence_.compare_exchange_strong(expected, expected + 1, std::memory_order_relaxed)) {
      key_.store(key, std::memory_order_release);
      hash_.store(key_hash, std::memory_order_release);
      sequence_.store(expected + 2, std::memory_order_release);
    }
    return key_hash;
  }

 private:
  std::atomic<std::uint64_t> sequence_{0};  // odd while a writer changes the pair
  std::atomic<std::uint64_t> key_{0};
  std::atomic<std::uint64_t> hash_{0};
};

}  // namespace galtro
