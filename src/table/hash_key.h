// Hash keys for new tables.
//
// Each thread keeps a key pair (k0, k1), filled from operating-system randomness on
// its first use. Every table takes the thread's current pair and advances k0 by one,
// so tables built one after another on a thread all hash differently.
#pragma once

#include "table/siphash.h"

namespace galtro {

// The calling thread's current pair; afterwards the thread's k0 is one larger
// (wrapping). Touches only the calling thread's state.
HashKey next_table_hash_key();

}  // namespace galtro
