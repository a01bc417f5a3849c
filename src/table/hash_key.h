// Hash keys for new tables.
//
// Each thread keeps a key pair (k0, k1), filled from operating-system randomness on
// its first use. Every table takes the thread's current pair and advances k0 by one,
// so tables built one after another on a thread all hash differently.
#pragma once

#include <cstddef>

#include "table/siphash.h"

namespace galtro {

// The calling thread's current pair; afterwards the thread's k0 is one larger
// (wrapping). Touches only the calling thread's state.
HashKey next_table_hash_key();

// Fills `size` bytes with operating-system randomness: the getrandom call, or the
// random device where that is missing or fails. False if neither could be read.
bool fill_with_os_randomness(void* buffer, std::size_t size) noexcept;

// The random-device path on its own.
bool fill_from_random_device(void* buffer, std::size_t size) noexcept;

}  // namespace galtro
