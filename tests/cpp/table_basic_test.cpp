#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "table/hash_key.h"
#include "table/sharded_table.h"

namespace galtro {

struct ShardedTableTestAccess {
  template <class Table>
  static const ShardLock& lock(const Table& table, std::size_t shard) {
    return table.shards_[shard].lock;
  }
};

namespace {

using Access = ShardedTableTestAccess;
using TextTable = ShardedTable<std::string, std::string>;
using U64Table = ShardedTable<std::uint64_t, std::uint64_t>;

constexpr HashKey kKey{0x0123456789abcdef, 0x1122334455667788};

template <class Table>
void expect_fatal_construction(std::size_t shards, std::string_view message) {
  try {
    Table table(shards, kKey);
    ADD_FAILURE() << "built a table of " << shards << " shards";
  } catch (const FatalFailure& failure) {
    EXPECT_EQ(failure.message(), message);
  }
}

TEST(TableConstruction, ShardCountMustBeAPowerOfTwoAboveOne) {
  expect_fatal_construction<U64Table>(0, "assertion failed: shard_amount > 1");
  expect_fatal_construction<U64Table>(1, "assertion failed: shard_amount > 1");
  expect_fatal_construction<U64Table>(6, "assertion failed: shard_amount.is_power_of_two()");
  U64Table two(2, kKey);
  EXPECT_EQ(two.shard_count(), 2u);
  U64Table table;
  EXPECT_EQ(table.shard_count(), default_shard_count());
}

TEST(TableHashing, ShardIndexIsTheBitsBelowTheTopSeven) {
  std::mt19937_64 random(1);
  for (std::size_t log2 : {1, 2, 3, 6}) {
    U64Table table(std::size_t{1} << log2, kKey);
    for (int i = 0; i < 100; ++i) {
      const std::uint64_t hash = random();
      EXPECT_EQ(table.shard_index(hash), (hash >> (57 - log2)) & ((std::uint64_t{1} << log2) - 1));
    }
    EXPECT_EQ(table.shard_index(~std::uint64_t{0} >> 7), table.shard_count() - 1);
    EXPECT_EQ(table.shard_index(~std::uint64_t{0} << 57), 0u);  // tag bits only
  }
}

TEST(TableHashing, TablesBuiltInTurnHashDifferentlyAndEachConsistently) {
  TextTable first;
  TextTable second;
  EXPECT_EQ(second.hash_key().k0, first.hash_key().k0 + 1);
  EXPECT_EQ(second.hash_key().k1, first.hash_key().k1);
  EXPECT_NE(first.hash("agent-1"), second.hash("agent-1"));
  EXPECT_EQ(first.hash("agent-1"), first.hash(std::string("agent-1")));
  EXPECT_EQ(first.hash("agent-1"), siphash13_text(first.hash_key(), "agent-1"));
  U64Table numbers(8, kKey);
  EXPECT_EQ(numbers.hash(1700000000), siphash13_u64(kKey, 1700000000));

  // Another thread draws its own random pair.
  HashKey other{};
  std::thread([&] { other = next_table_hash_key(); }).join();
  EXPECT_NE(other, next_table_hash_key());
}

// Text keys compare inline up to 16 bytes, in overlapping pieces: a difference at
// any place of any length is seen, and so is a difference in length alone.
TEST(TableKeys, TextKeysAreEqualOnlyWhenEveryByteIs) {
  using Traits = TableKeyTraits<std::string>;
  for (std::size_t size = 0; size <= 40; ++size) {
    std::string key(size, 'k');
    for (std::size_t i = 0; i < size; ++i) key[i] = static_cast<char>('a' + i % 26);
    EXPECT_TRUE(Traits::equal(key, std::string(key))) << size;
    EXPECT_FALSE(Traits::equal(key, key + "x")) << size;
    for (std::size_t i = 0; i < size; ++i) {
      std::string other = key;
      other[i] = static_cast<char>(other[i] ^ 0x80);
      EXPECT_FALSE(Traits::equal(key, other)) << size << " at " << i;
    }
  }
}

TEST(TableEmpty, FindsNothingAllocatesNothingYieldsNothing) {
  TextTable table(8, kKey);
  EXPECT_FALSE(table.get("missing"));
  EXPECT_FALSE(table.get(""));
  EXPECT_EQ(table.allocated_slots(), 0u);
  EXPECT_EQ(table.size(), 0u);
  auto iteration = table.iterate();
  EXPECT_FALSE(iteration.next());
  EXPECT_FALSE(iteration.next());
  int visited = 0;
  table.for_each([&](const std::string&, const std::string&) { ++visited; });
  EXPECT_EQ(visited, 0);
  // A vacant entry dropped without inserting allocates nothing either.
  EXPECT_FALSE(table.entry("k").occupied());
  EXPECT_EQ(table.allocated_slots(), 0u);
  for (std::size_t shard = 0; shard < table.shard_count(); ++shard) {
    EXPECT_FALSE(Access::lock(table, shard).is_locked_shared());
    EXPECT_FALSE(Access::lock(table, shard).is_locked_exclusive());
  }
}

TEST(TableIteration, YieldsEveryEntryOnceShardByShardHoldingTheShard) {
  U64Table table(8, kKey);
  std::set<std::size_t> shards_used;
  for (std::uint64_t key = 0; key < 200; ++key) {
    table.insert(key, key * 10);
    shards_used.insert(table.shard_index(table.hash(key)));
  }
  ASSERT_GT(shards_used.size(), 1u);

  std::set<std::uint64_t> seen;
  std::size_t last_shard = 0;
  std::vector<U64Table::ReadRef> kept;  // refs outliving the iteration's move to later shards
  auto iteration = table.iterate();
  while (auto ref = iteration.next()) {
    const std::size_t shard = table.shard_index(table.hash(ref->key()));
    EXPECT_GE(shard, last_shard) << "shard order broken at key " << ref->key();
    last_shard = shard;
    EXPECT_TRUE(seen.insert(ref->key()).second) << "key " << ref->key() << " yielded twice";
    EXPECT_EQ(ref->value(), ref->key() * 10);
    EXPECT_TRUE(Access::lock(table, shard).is_locked_shared());
    if (ref->key() % 50 == 0) kept.push_back(std::move(*ref));
  }
  EXPECT_EQ(seen.size(), 200u);
  ASSERT_FALSE(kept.empty());
  // Past the end the iteration holds nothing; only the kept references hold shards.
  for (const auto& ref : kept) {
    EXPECT_TRUE(Access::lock(table, table.shard_index(table.hash(ref.key()))).is_locked_shared());
  }
  kept.clear();
  for (std::size_t shard = 0; shard < table.shard_count(); ++shard) {
    EXPECT_FALSE(Access::lock(table, shard).is_locked_shared()) << "shard " << shard;
  }
  // The first entry yielded is in the lowest shard used.
  auto again = table.iterate();
  EXPECT_EQ(table.shard_index(table.hash(again.next()->key())), *shards_used.begin());
}

// visit_by_shard: every index once, shard by shard in rising order and rising index
// within a shard, with the key's shard (and no other) held exclusively; a key listed
// twice finds what its first visit inserted. Few keys are grouped on the stack, many
// on the heap.
TEST(TableVisitByShard, VisitsEveryKeyOnceShardByShardUnderItsLock) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{40}, std::size_t{700}}) {
    U64Table table(64, kKey);
    std::vector<std::uint64_t> keys;
    for (std::uint64_t i = 0; i < count; ++i) keys.push_back(i % 3 == 2 ? i - 1 : i * 7);
    for (std::uint64_t key = 0; key < count * 7; key += 14) table.insert(key, 1000);
    std::vector<std::uint64_t> hashes;
    for (const std::uint64_t key : keys) hashes.push_back(table.hash(key));

    std::vector<int> visits(count, 0);
    std::size_t last_shard = 0;
    std::size_t last_index = 0;
    bool first = true;
    table.visit_by_shard(hashes, [&](U64Table::ShardBatch& batch, std::size_t i) {
      ASSERT_LT(i, count);
      ++visits[i];
      const std::size_t shard = table.shard_index(hashes[i]);
      if (!first) {
        EXPECT_TRUE(shard > last_shard || (shard == last_shard && i > last_index))
            << "index " << i << " after " << last_index;
      }
      first = false;
      last_shard = shard;
      last_index = i;
      for (std::size_t other = 0; other < table.shard_count(); ++other) {
        EXPECT_EQ(Access::lock(table, other).is_locked_exclusive(), other == shard);
      }
      std::uint64_t key = keys[i];
      ++batch.or_insert(hashes[i], std::move(key), 0);
    });
    EXPECT_EQ(visits, std::vector<int>(count, 1));

    std::unordered_map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t key = 0; key < count * 7; key += 14) expected[key] = 1000;
    for (const std::uint64_t key : keys) ++expected[key];
    EXPECT_EQ(table.size(), expected.size());
    for (const auto& [key, value] : expected) {
      ASSERT_TRUE(table.get(key)) << key;
      EXPECT_EQ(table.get(key)->value(), value) << key;
    }
    for (std::size_t shard = 0; shard < table.shard_count(); ++shard) {
      EXPECT_FALSE(Access::lock(table, shard).is_locked_exclusive());
    }
  }
}

// collect appends after what the vector holds, in for_each's order, into one or two
// blocks for keys that the hash spreads; a reference from `make` is copied in place.
TEST(TableCollect, AppendsEveryPairInWalkOrderWithFewAllocations) {
  TextTable table(8, kKey);
  for (int i = 0; i < 1000; ++i) table.insert("agent-" + std::to_string(i), std::to_string(i));
  std::vector<std::string> walked;
  table.for_each([&](const std::string& key, const std::string&) { walked.push_back(key); });

  std::vector<std::string> collected{"already here"};
  std::set<const std::string*> blocks;
  table.collect(collected,
                [&](const std::string& key, const std::string& value) -> const std::string& {
                  blocks.insert(collected.data());
                  EXPECT_EQ("agent-" + value, key);
                  return key;
                });
  ASSERT_EQ(collected.size(), 1001u);
  EXPECT_EQ(collected.front(), "already here");
  EXPECT_TRUE(std::equal(walked.begin(), walked.end(), collected.begin() + 1));
  EXPECT_LE(blocks.size(), 2u);
  for (std::size_t shard = 0; shard < table.shard_count(); ++shard) {
    EXPECT_FALSE(Access::lock(table, shard).is_locked_shared());
  }
}

TEST(TableIteration, DroppedEarlyReleasesItsShard) {
  U64Table table(4, kKey);
  for (std::uint64_t key = 0; key < 20; ++key) table.insert(key, key);
  {
    auto iteration = table.iterate();
    auto ref = iteration.next();
    ASSERT_TRUE(ref);
  }
  for (std::size_t shard = 0; shard < table.shard_count(); ++shard) {
    EXPECT_FALSE(Access::lock(table, shard).is_locked_shared());
  }
  EXPECT_EQ(table.insert(3, 33), 3u);  // takes the lock exclusively: nothing left over
}

// A text key whose equality ignores `generation`, so a test can tell which of two
// equal keys is stored.
struct TaggedKey {
  std::string text;
  int generation;
  operator std::string_view() const noexcept { return text; }  // NOLINT: a key is its text
};

TEST(TableInsert, ReplacesTheValueKeepsTheStoredKeyAndTheCount) {
  ShardedTable<TaggedKey, int> table(4, kKey);
  EXPECT_EQ(table.insert(TaggedKey{"file:a", 1}, 10), std::nullopt);
  EXPECT_EQ(table.insert(TaggedKey{"file:b", 1}, 20), std::nullopt);
  EXPECT_EQ(table.insert(TaggedKey{"file:a", 2}, 11), 10);
  EXPECT_EQ(table.size(), 2u);
  auto found = table.get("file:a");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->key().generation, 1);
  EXPECT_EQ(found->value(), 11);
}

TEST(TableEntry, OccupiedVacantRemoveAndInsertAgain) {
  TextTable table(4, kKey);
  {
    auto entry = table.entry("task:build");
    EXPECT_FALSE(entry.occupied());
    EXPECT_EQ(entry.key(), "task:build");  // the passed key, before it is stored
    EXPECT_THROW(entry.value(), FatalFailure);
    entry.insert("agent-1") += "!";
    EXPECT_TRUE(entry.occupied());
    EXPECT_EQ(entry.or_insert("ignored"), "agent-1!");
  }
  EXPECT_EQ(table.get("task:build")->value(), "agent-1!");
  {
    auto entry = table.entry("task:build");
    ASSERT_TRUE(entry.occupied());
    entry.value() = "agent-2";
    const auto removed = entry.remove();
    EXPECT_EQ(removed, std::make_pair(std::string("task:build"), std::string("agent-2")));
    EXPECT_FALSE(entry.occupied());
    // The key passed to entry() is still there to insert under.
    EXPECT_EQ(entry.insert("agent-3"), "agent-3");
    entry.release();
    EXPECT_THROW((void)entry.occupied(), FatalFailure);
    EXPECT_EQ(table.get("task:build")->value(), "agent-3");
  }
  {
    auto entry = table.entry("task:build");
    entry.remove();
  }
  EXPECT_FALSE(table.get("task:build"));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.insert("task:build", "agent-4"), std::nullopt);
  EXPECT_EQ(table.get("task:build")->value(), "agent-4");
  // Moving an entry moves the lock with it.
  auto entry = table.entry("task:build");
  auto moved = std::move(entry);
  EXPECT_TRUE(moved.occupied());
}

TEST(TableGrowth, HundredThousandKeysStayFindable) {
  U64Table table(8, kKey);
  constexpr std::uint64_t kKeys = 100'000;
  for (std::uint64_t key = 0; key < kKeys; ++key)
    ASSERT_EQ(table.insert(key * 7919, key), std::nullopt);
  EXPECT_EQ(table.size(), kKeys);
  for (std::uint64_t key = 0; key < kKeys; ++key) {
    const auto found = table.get(key * 7919);
    ASSERT_TRUE(found) << key;
    ASSERT_EQ(found->value(), key);
  }
  EXPECT_FALSE(table.get(1));
  // Doubling from a 7/8 limit keeps at least 7/16 of the slots full.
  EXPECT_GE(table.allocated_slots(), kKeys);
  EXPECT_LE(table.allocated_slots(), kKeys * 16 / 7 + 8 * 8);
}

TEST(TableChurn, RemovalHeavyChurnAgreesWithAShadowMap) {
  TextTable table(4, kKey);
  std::unordered_map<std::string, std::string> shadow;
  std::mt19937 random(11);
  for (int step = 0; step < 60000; ++step) {
    const std::string key = "agent-" + std::to_string(random() % 2000);
    switch (random() % 5) {
      case 0:
      case 1: {
        const std::string value = std::to_string(step);
        const auto old = table.insert(key, value);
        const auto it = shadow.find(key);
        ASSERT_EQ(old.has_value(), it != shadow.end());
        if (old) {
          ASSERT_EQ(*old, it->second);
        }
        shadow[key] = value;
        break;
      }
      case 2: {
        const auto found = table.get(key);
        ASSERT_EQ(found.has_value(), shadow.contains(key)) << key;
        if (found) {
          ASSERT_EQ(found->value(), shadow[key]);
        }
        break;
      }
      default: {  // removal twice as often as insertion
        auto entry = table.entry(key);
        ASSERT_EQ(entry.occupied(), shadow.contains(key));
        if (entry.occupied()) {
          ASSERT_EQ(entry.remove().second, shadow[key]);
          shadow.erase(key);
        }
      }
    }
  }
  EXPECT_EQ(table.size(), shadow.size());
  std::size_t visited = 0;
  table.for_each([&](const std::string& key, const std::string& value) {
    EXPECT_EQ(shadow.at(key), value);
    ++visited;
  });
  EXPECT_EQ(visited, shadow.size());
}

// Storage that fails on demand, for the allocation-failure tests.
struct FailingStorage {
  static inline bool fail = false;
  static inline int failures = 0;
  static void* allocate(std::size_t bytes, std::size_t alignment) {
    if (fail) {
      ++failures;
      throw std::bad_alloc();
    }
    return ShardStorageAllocator::allocate(bytes, alignment);
  }
  static void deallocate(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    ShardStorageAllocator::deallocate(block, bytes, alignment);
  }
};

template <class Table>
std::vector<std::pair<std::uint64_t, std::string>> contents_in_order(const Table& table) {
  std::vector<std::pair<std::uint64_t, std::string>> contents;
  table.for_each([&](const std::uint64_t& key, const std::string& value) {
    contents.emplace_back(key, value);
  });
  return contents;
}

TEST(TableAllocationFailure, FailedGrowthLeavesTheTableAsItWas) {
  using Table = BasicShardedTable<std::uint64_t, std::string, FailingStorage>;
  Table table(4, kKey);
  FailingStorage::failures = 0;
  std::uint64_t stored = 0;
  // Every growth is first made to fail, then let through: the first allocation of
  // each shard and each doubling.
  for (std::uint64_t key = 0; key < 300; ++key) {
    const std::string value(40, static_cast<char>('a' + key % 26));  // on the heap
    FailingStorage::fail = true;
    const auto before = contents_in_order(table);
    const std::size_t slots_before = table.allocated_slots();
    try {
      table.insert(key, value);
      ++stored;
    } catch (const std::bad_alloc&) {
      EXPECT_EQ(contents_in_order(table), before) << "key " << key;
      EXPECT_EQ(table.allocated_slots(), slots_before);
      EXPECT_FALSE(table.get(key));
      // Through an entry: it stays vacant with its key, and works once memory returns.
      auto entry = table.entry(key);
      EXPECT_THROW(entry.insert(value), std::bad_alloc);
      EXPECT_FALSE(entry.occupied());
      EXPECT_EQ(entry.key(), key);
      FailingStorage::fail = false;
      EXPECT_EQ(entry.insert(value), value);
      ++stored;
    }
    FailingStorage::fail = false;
    ASSERT_EQ(table.size(), stored);
  }
  EXPECT_GE(FailingStorage::failures, 8);  // 4 first allocations and some doublings
  for (std::uint64_t key = 0; key < 300; ++key) {
    const auto found = table.get(key);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->value(), std::string(40, static_cast<char>('a' + key % 26)));
  }
}

}  // namespace
}  // namespace galtro
