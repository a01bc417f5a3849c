#include "table/shard_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>

#include "table/table_key.h"

namespace galtro {
namespace {

using shard_map_detail::Group;
using shard_map_detail::kDeleted;
using shard_map_detail::kEmpty;

// Bit 8 * i + 7 for each byte i of `bytes`.
std::uint64_t byte_bits(std::initializer_list<int> bytes) {
  std::uint64_t bits = 0;
  for (int i : bytes) bits |= std::uint64_t{0x80} << (8 * i);
  return bits;
}

std::uint64_t mask_bits(shard_map_detail::GroupMask mask) {
  std::uint64_t bits = 0;
  for (; mask; mask.clear_lowest()) bits |= std::uint64_t{0x80} << (8 * mask.lowest());
  return bits;
}

TEST(ShardMapGroup, MasksPickOutEmptyDeletedAndTags) {
  const std::uint8_t control[8] = {0x05, kEmpty, 0x7F, kDeleted, 0x05, 0x00, kEmpty, 0x06};
  const Group group(control);
  EXPECT_EQ(mask_bits(group.empty()), byte_bits({1, 6}));
  EXPECT_EQ(mask_bits(group.empty_or_deleted()), byte_bits({1, 3, 6}));
  EXPECT_EQ(mask_bits(group.full()), byte_bits({0, 2, 4, 5, 7}));
  EXPECT_EQ(mask_bits(group.match(0x05)), byte_bits({0, 4}));
  EXPECT_EQ(mask_bits(group.match(0x7F)), byte_bits({2}));
  // A zero tag may also flag the full byte just above it; never an empty or deleted one.
  const std::uint64_t zero_match = mask_bits(group.match(0x00));
  EXPECT_TRUE(zero_match & byte_bits({5}));
  EXPECT_EQ(zero_match & ~byte_bits({5, 6, 7}), 0u);
  EXPECT_EQ(zero_match & byte_bits({6}), 0u);
}

TEST(ShardMapLayout, OverflowingSizesAreFatal) {
  using Map = ShardMap<std::uint64_t, std::string, TableKeyTraits<std::uint64_t>>;
  const auto layout = Map::storage_layout(8);
  EXPECT_EQ(layout.control_offset, 8 * sizeof(Map::Slot));
  EXPECT_EQ(layout.bytes, 8 * sizeof(Map::Slot) + 8 + 8);
  for (std::size_t capacity : {std::size_t{1} << 62, ~std::size_t{0} / sizeof(Map::Slot) + 1}) {
    try {
      Map::storage_layout(capacity);
      ADD_FAILURE() << "no failure for capacity " << capacity;
    } catch (const FatalFailure& failure) {
      EXPECT_EQ(failure.message(), "Hash table capacity overflow");
    }
  }
}

// Keys hashed so that they crowd onto four home slots with varied tags: long runs of
// full slots, probes that wrap, and removals that need tombstones.
std::uint64_t crowded_hash(const std::uint64_t& key) noexcept {
  return ((key * 0x9E3779B97F4A7C15) & 0xFE00000000000000) | (key % 4);
}

TEST(ShardMap, CrowdedChurnAgreesWithAShadowMap) {
  using Map = ShardMap<std::uint64_t, std::uint64_t, TableKeyTraits<std::uint64_t>>;
  Map map;
  EXPECT_EQ(map.capacity(), 0u);
  EXPECT_EQ(map.find(crowded_hash(1), 1), Map::npos);
  EXPECT_EQ(map.capacity(), 0u);

  std::unordered_map<std::uint64_t, std::uint64_t> shadow;
  std::mt19937_64 random(7);
  for (int step = 0; step < 40000; ++step) {
    // Phases of mostly inserting and mostly removing, over a key space of 300.
    const bool grow_phase = (step / 5000) % 2 == 0;
    const std::uint64_t key = random() % 300;
    const std::size_t found = map.find(crowded_hash(key), key);
    ASSERT_EQ(found != Map::npos, shadow.contains(key)) << "step " << step;
    if (found == Map::npos) {
      if (random() % 4 < (grow_phase ? 3u : 1u)) {
        map.insert_new(crowded_hash(key), std::uint64_t{key}, key * 3 + 1, crowded_hash);
        shadow[key] = key * 3 + 1;
      }
    } else {
      ASSERT_EQ(map.slot(found).value, shadow[key]);
      if (random() % 4 < (grow_phase ? 1u : 3u)) {
        const auto removed = map.remove_at(found);
        EXPECT_EQ(removed.first, key);
        EXPECT_EQ(removed.second, key * 3 + 1);
        shadow.erase(key);
      }
    }
    ASSERT_EQ(map.size(), shadow.size());
    ASSERT_LE(map.size(), map.capacity() - map.capacity() / 8);
  }
  std::size_t visited = 0;
  map.for_each([&](const std::uint64_t& key, const std::uint64_t& value) {
    EXPECT_EQ(shadow.at(key), value);
    ++visited;
  });
  EXPECT_EQ(visited, shadow.size());
  for (const auto& [key, value] : shadow) {
    const std::size_t found = map.find(crowded_hash(key), key);
    ASSERT_NE(found, Map::npos);
    EXPECT_EQ(map.slot(found).value, value);
  }
}

}  // namespace
}  // namespace galtro
