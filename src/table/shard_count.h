// How many shards a table gets: four per processor the process may use
// (base/processor_count.h), rounded up to a power of two, computed once per process.
#pragma once

#include <cstddef>

namespace galtro {

// The smallest power of two that is at least 4 * processors (0 counts as 1).
std::size_t shard_count_for_processors(std::size_t processors) noexcept;

// shard_count_for_processors(available_processors()), computed on first use and
// kept for the life of the process. Safe against concurrent first use.
std::size_t default_shard_count();

}  // namespace galtro
