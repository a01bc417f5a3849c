// Threads mixing every table operation over one shared key set, bounded by operation
// counts. Each thread tallies what it added to and took out of each key's counter;
// at the end every counter must equal what was added minus what was taken out.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "table/last_key_hash.h"
#include "table/sharded_table.h"

namespace galtro {
namespace {

constexpr int kThreads = 4;
constexpr int kOperationsPerThread = 30000;
constexpr std::size_t kKeys = 256;
constexpr std::size_t kShards = 4;  // few shards: threads meet often

struct Tally {
  std::vector<std::uint64_t> added = std::vector<std::uint64_t>(kKeys);
  std::vector<std::uint64_t> taken = std::vector<std::uint64_t>(kKeys);
};

std::string key_name(std::size_t index) {
  return "agent-" + std::to_string(index);
}

std::size_t key_index(std::string_view name) {
  return static_cast<std::size_t>(std::stoul(std::string(name.substr(6))));
}

void run_thread(ShardedTable<std::string, std::uint64_t>& table, unsigned seed, Tally& tally,
                std::atomic<bool>& failed) {
  std::mt19937 random(seed);
  for (int op = 0; op < kOperationsPerThread; ++op) {
    const std::size_t index = random() % kKeys;
    const std::string key = key_name(index);
    const unsigned choice = random() % 100;
    if (choice < 40) {  // add one through the entry
      auto entry = table.entry(key);
      if (entry.occupied()) {
        ++entry.value();
      } else {
        entry.insert(1);
      }
      ++tally.added[index];
    } else if (choice < 50) {  // take the counter out
      auto entry = table.entry(key);
      if (entry.occupied()) tally.taken[index] += entry.remove().second;
    } else if (choice < 60) {  // replace with 5 through insert
      const auto old = table.insert(key, 5);
      tally.added[index] += 5;
      if (old) tally.taken[index] += *old;
    } else if (choice < 97) {
      if (const auto found = table.get(key)) {
        if (found->key() != key || found->value() == 0) failed = true;
      }
    } else {  // a full pass, holding a few references for a while
      auto iteration = table.iterate();
      std::set<std::string> seen;
      std::vector<ShardedTable<std::string, std::uint64_t>::ReadRef> held;
      std::size_t last_shard = 0;
      while (auto ref = iteration.next()) {
        const std::size_t shard = table.shard_index(table.hash(ref->key()));
        if (shard < last_shard || !seen.insert(ref->key()).second || ref->value() == 0 ||
            key_index(ref->key()) >= kKeys) {
          failed = true;
        }
        last_shard = shard;
        if (random() % 16 == 0) held.push_back(std::move(*ref));
      }
    }
  }
}

TEST(TableStress, MixedOperationsKeepExactCounts) {
  ShardedTable<std::string, std::uint64_t> table(kShards, next_table_hash_key());
  std::vector<Tally> tallies(kThreads);
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    const unsigned seed = 1000u + static_cast<unsigned>(t);
    std::printf("stress thread %d seed %u\n", t, seed);
    threads.emplace_back(
        [&, t, seed] { run_thread(table, seed, tallies[static_cast<std::size_t>(t)], failed); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(failed) << "a reader saw a wrong key, a zero counter or a broken iteration";

  std::size_t present = 0;
  for (std::size_t index = 0; index < kKeys; ++index) {
    std::uint64_t added = 0;
    std::uint64_t taken = 0;
    for (const auto& tally : tallies) {
      added += tally.added[index];
      taken += tally.taken[index];
    }
    const auto found = table.get(key_name(index));
    const std::uint64_t stored = found ? found->value() : 0;
    present += found ? 1 : 0;
    EXPECT_EQ(stored, added - taken) << key_name(index);
  }
  EXPECT_EQ(table.size(), present);
}

// Threads asking for the hashes of a few keys in turn keep rewriting the one
// remembered pair under one another's reads: every answer must still be the key's own.
TEST(TableStress, LastKeyHashAnswersEveryKeyWithItsOwnHash) {
  const ShardedTable<std::uint64_t, int> table;
  LastKeyHash memo;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint64_t i = 0; i < kOperationsPerThread; ++i) {
        const std::uint64_t key = 1'700'000'000 + (i / 7 + static_cast<std::uint64_t>(t)) % 3;
        if (memo.hash(table, key) != table.hash(key)) wrong.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace galtro
