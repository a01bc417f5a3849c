#include "table/shard_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace galtro {
namespace {

std::vector<std::size_t> keys_of(const ShardGroups& groups, std::size_t shard) {
  const auto keys = groups.keys_of(shard);
  return {keys.begin(), keys.end()};
}

// Each key's index lands in its shard's group, in rising order; shards without keys
// have empty groups.
TEST(ShardGroups, GroupsIndexesByShardInRisingOrder) {
  const std::vector<std::uint64_t> hashes = {3, 0, 7, 3, 4, 0, 11};
  const ShardGroups groups(hashes, 5, [](std::uint64_t hash) { return hash % 4; });
  EXPECT_EQ(keys_of(groups, 0), (std::vector<std::size_t>{1, 4, 5}));
  EXPECT_EQ(keys_of(groups, 1), std::vector<std::size_t>{});
  EXPECT_EQ(keys_of(groups, 2), std::vector<std::size_t>{});
  EXPECT_EQ(keys_of(groups, 3), (std::vector<std::size_t>{0, 2, 3, 6}));
  EXPECT_EQ(keys_of(groups, 4), std::vector<std::size_t>{});

  const ShardGroups none({}, 3, [](std::uint64_t) { return std::size_t{0}; });
  for (std::size_t s = 0; s < 3; ++s) EXPECT_TRUE(none.keys_of(s).empty());
}

// Past the stack's room the groups come from the heap, the same.
TEST(ShardGroups, ManyKeysGroupTheSameOnTheHeap) {
  for (const std::size_t count : {ShardGroups::kSmallGrouping - 9, std::size_t{1000}}) {
    std::vector<std::uint64_t> hashes;
    for (std::uint64_t i = 0; i < count; ++i) hashes.push_back(i * 2654435761u);
    const ShardGroups groups(hashes, 8, [](std::uint64_t hash) { return hash >> 61; });
    std::vector<std::size_t> seen;
    for (std::size_t s = 0; s < 8; ++s) {
      const auto keys = keys_of(groups, s);
      for (std::size_t k = 0; k < keys.size(); ++k) {
        EXPECT_EQ(hashes[keys[k]] >> 61, s);
        if (k > 0) {
          EXPECT_LT(keys[k - 1], keys[k]);
        }
      }
      seen.insert(seen.end(), keys.begin(), keys.end());
    }
    std::sort(seen.begin(), seen.end());
    std::vector<std::size_t> every(count);
    for (std::size_t i = 0; i < count; ++i) every[i] = i;
    EXPECT_EQ(seen, every) << count;
  }
}

}  // namespace
}  // namespace galtro
