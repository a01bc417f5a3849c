// ShardGroups: the indexes of a list of keys grouped by the shard each falls in, by a
// counting sort, so that a caller can visit every shard's keys under one hold of its
// lock. Built once before any lock is taken; all its memory (one index per key, one
// bound per shard) is allocated by the constructor, on the stack while the shard
// count plus one plus the number of keys is at most kSmallGrouping.
//
// Neither copied nor moved: `bounds_` may point into the object itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace galtro {

class ShardGroups {
 public:
  static constexpr std::size_t kSmallGrouping = 256;

  // Groups key i (0 <= i < hashes.size()) into shard shard_of(hashes[i]).
  // PRECONDITION: shard_of returns less than `shard_count`.
  template <class ShardOf>
  ShardGroups(std::span<const std::uint64_t> hashes, std::size_t shard_count, ShardOf shard_of) {
    const std::size_t needed = shard_count + 1 + hashes.size();
    bounds_ = small_;
    if (needed > kSmallGrouping) {
      large_ = std::make_unique_for_overwrite<std::size_t[]>(needed);
      bounds_ = large_.get();
    }
    // bounds_[s] ends as the first place of shard s's run in order_, bounds_[shard_count]
    // as its end.
    order_ = bounds_ + shard_count + 1;
    std::fill(bounds_, order_, std::size_t{0});
    for (const std::uint64_t key_hash : hashes) ++bounds_[shard_of(key_hash)];
    std::size_t end = 0;
    for (std::size_t s = 0; s <= shard_count; ++s) bounds_[s] = end += bounds_[s];
    for (std::size_t i = hashes.size(); i-- > 0;) order_[--bounds_[shard_of(hashes[i])]] = i;
  }
  ShardGroups(const ShardGroups&) = delete;
  ShardGroups& operator=(const ShardGroups&) = delete;

  // The indexes of the keys in `shard`, rising; empty for a shard without keys.
  std::span<const std::size_t> keys_of(std::size_t shard) const noexcept {
    return {order_ + bounds_[shard], order_ + bounds_[shard + 1]};
  }

 private:
  std::size_t* bounds_;
  std::size_t* order_;
  std::unique_ptr<std::size_t[]> large_;
  std::size_t small_[kSmallGrouping];
};

}  // namespace galtro
