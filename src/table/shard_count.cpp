#include "table/shard_count.h"

#include <bit>
#include <limits>

#include "base/processor_count.h"

namespace galtro {
namespace {

constexpr std::size_t kShardsPerProcessor = 4;
static_assert(std::has_single_bit(kShardsPerProcessor),
              "shards per processor times a power of two must stay a power of two");

}  // namespace

std::size_t shard_count_for_processors(std::size_t processors) noexcept {
  if (processors == 0) processors = 1;
  constexpr std::size_t kLargest = std::size_t{1} << (std::numeric_limits<std::size_t>::digits - 1);
  if (processors > kLargest / kShardsPerProcessor) return kLargest;
  return std::bit_ceil(processors * kShardsPerProcessor);
}

std::size_t default_shard_count() {
  static const std::size_t count = shard_count_for_processors(available_processors());
  return count;
}

}  // namespace galtro
