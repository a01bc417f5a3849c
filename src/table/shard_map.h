// ShardMap: the open-addressing hash table inside one table shard.
//
// Layout. One heap block per map, allocated on the first insertion:
//
//   [ slots: capacity x Slot{key, value} ][ control: capacity + kGroupWidth bytes ]
//
// Control byte i describes slot i: kEmpty, kDeleted (a tombstone), or, for a full
// slot, the key hash's 7-bit tag (0..127). The last kGroupWidth control bytes repeat
// the first ones (byte capacity + j mirrors slot j mod capacity), so that a group of
// kGroupWidth consecutive bytes can be read from any slot without wrapping.
//
// Hash split. The caller hashes with 64 bits. The table's shard choice takes the
// bits just below the top 7; here the top 7 bits are the tag and the low bits pick
// the home slot (hash mod capacity). Lookups compare a whole group of tags at once
// (8 bytes in one word) and compare keys only on a tag match.
//
// Probing. Groups starting at the home slot h, then h + 8, h + 8 + 16, ... (growing
// strides, modulo capacity), which visits every slot of a power-of-two table. A
// search stops at the first group holding an empty slot. Removal writes kEmpty when
// no probe can have passed over the slot (it is in no window of kGroupWidth
// non-empty slots) and a tombstone otherwise; tombstones count against the load.
//
// Load and growth. Capacity is 0 or a power of two from kInitialCapacity up; at most
// 7/8 of it is full or deleted. When an insertion finds no room the map moves into a
// fresh block of twice the capacity, or of the same capacity when tombstones are most
// of the load. The new block is allocated before anything moves: if allocation
// throws std::bad_alloc the map is exactly as it was. Keys and values move with
// noexcept moves. Sizes that would overflow are fatal ("Hash table capacity
// overflow").
//
// Iteration is slot order, which follows the hash. The map does no locking of its
// own: the owning shard's lock covers it (shared for const use, exclusive otherwise).
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "base/fatal_failure.h"

namespace galtro {

// The default source of map storage: the global allocation functions.
struct ShardStorageAllocator {
  static void* allocate(std::size_t bytes, std::size_t alignment) {
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      return ::operator new (bytes, std::align_val_t{alignment});
    }
    return ::operator new(bytes);
  }
  static void deallocate(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    if (alignment > __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
      ::operator delete (block, bytes, std::align_val_t{alignment});
    } else {
      ::operator delete(block, bytes);
    }
  }
};

namespace shard_map_detail {

inline constexpr std::uint8_t kEmpty = 0x80;
inline constexpr std::uint8_t kDeleted = 0xFE;
// Full slots hold a tag below 0x80; kEmpty and kDeleted have the top bit set, and
// only kEmpty has bit 1 clear, which is what the group masks below rely on.
static_assert((kEmpty & 0x80) != 0 && (kDeleted & 0x80) != 0, "special bytes have the top bit");
static_assert((kEmpty & 0x02) == 0 && (kDeleted & 0x02) != 0 && (kDeleted & 0x01) == 0,
              "group masks tell kEmpty and kDeleted apart by bits 1 and 0");

inline constexpr std::size_t kGroupWidth = 8;
static_assert(kGroupWidth == sizeof(std::uint64_t), "a group of control bytes is one word");

// Number of bits of the hash used as the tag: the top ones.
inline constexpr int kTagBits = 7;
static_assert(kTagBits == 7, "a tag must leave the control byte's top bit for kEmpty/kDeleted");

inline std::uint8_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint8_t>(hash >> (64 - kTagBits));
}

// Per-byte bit masks over a group; bit 8 * i + 7 stands for byte i.
class GroupMask {
 public:
  explicit GroupMask(std::uint64_t bits) noexcept : bits_(bits) {}
  explicit operator bool() const noexcept { return bits_ != 0; }
  std::size_t lowest() const noexcept {
    return static_cast<std::size_t>(std::countr_zero(bits_)) / kGroupWidth;
  }
  void clear_lowest() noexcept { bits_ &= bits_ - 1; }
  // Bytes before the first set one, from the low end / from the high end.
  std::size_t leading_clear_low() const noexcept {
    return static_cast<std::size_t>(std::countr_zero(bits_)) / kGroupWidth;
  }
  std::size_t leading_clear_high() const noexcept {
    return static_cast<std::size_t>(std::countl_zero(bits_)) / kGroupWidth;
  }

 private:
  std::uint64_t bits_;
};

// kGroupWidth control bytes read as one little-endian word (byte i = slot pos + i).
class Group {
 public:
  explicit Group(const std::uint8_t* control) noexcept {
    std::memcpy(&word_, control, sizeof word_);
    if constexpr (std::endian::native == std::endian::big) word_ = std::byteswap(word_);
  }

  // Bytes equal to `tag`. May also report a full byte just above a true match
  // (borrow from the subtraction); callers compare keys anyway.
  GroupMask match(std::uint8_t tag) const noexcept {
    const std::uint64_t x = word_ ^ (kLowBits * tag);
    return GroupMask((x - kLowBits) & ~x & kHighBits);
  }
  GroupMask empty() const noexcept { return GroupMask(word_ & ~(word_ << 6) & kHighBits); }
  GroupMask empty_or_deleted() const noexcept {
    return GroupMask(word_ & ~(word_ << 7) & kHighBits);
  }
  GroupMask full() const noexcept { return GroupMask(~word_ & kHighBits); }

 private:
  static constexpr std::uint64_t kLowBits = 0x0101010101010101;
  static constexpr std::uint64_t kHighBits = 0x8080808080808080;
  std::uint64_t word_;
};

// Most entries a table of `capacity` slots may hold (full plus deleted): 7/8 of it.
constexpr std::size_t max_load(std::size_t capacity) noexcept {
  return capacity - capacity / 8 - (capacity < 8 ? 1 : 0);
}
static_assert(max_load(4) == 3 && max_load(8) == 7 && max_load(16) == 14,
              "7/8 load, and at least one empty slot so that every probe ends");

}  // namespace shard_map_detail

// KeyTraits: `Lookup` (the borrowed form of a key), `lookup(const K&)` and
// `equal(const K&, Lookup)`. Hashes come from the caller: with each lookup, and as a
// noexcept `rehash(const K&)` callable when the map moves to a new block.
template <class K, class V, class KeyTraits, class StorageAllocator = ShardStorageAllocator>
class ShardMap {
  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_destructible_v<K>,
                "growth moves keys and must not fail half-way");
  static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_destructible_v<V>,
                "growth moves values and must not fail half-way");

 public:
  using Lookup = typename KeyTraits::Lookup;
  struct Slot {
    K key;
    V value;
  };

  static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();
  // Slots allocated by the first insertion.
  static constexpr std::size_t kInitialCapacity = 4;
  static_assert(std::has_single_bit(kInitialCapacity) && kInitialCapacity >= 2,
                "capacity is a power of two, and one slot always stays empty");

  ShardMap() noexcept = default;
  ShardMap(const ShardMap&) = delete;
  ShardMap& operator=(const ShardMap&) = delete;
  ~ShardMap() { release_storage(); }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // The slot holding `key` (whose hash is `hash`), or npos.
  std::size_t find(std::uint64_t hash, Lookup key) const noexcept {
    if (capacity_ == 0) return npos;
    const std::uint8_t tag = shard_map_detail::tag_of(hash);
    const std::size_t mask = capacity_ - 1;
    std::size_t position = static_cast<std::size_t>(hash) & mask;
    std::size_t stride = 0;
    for (;;) {
      const shard_map_detail::Group group(control_ + position);
      for (auto candidates = group.match(tag); candidates; candidates.clear_lowest()) {
        const std::size_t index = (position + candidates.lowest()) & mask;
        if (KeyTraits::equal(slots_[index].key, key)) return index;
      }
      if (group.empty()) return npos;
      stride += shard_map_detail::kGroupWidth;
      assert(stride <= capacity_ + shard_map_detail::kGroupWidth && "probe ran past the table");
      position = (position + stride) & mask;
    }
  }

  // Stores (key, value) and returns its slot.
  // PRECONDITION: no stored key equals `key`; `hash` is its hash.
  // On std::bad_alloc nothing has changed and neither argument has been moved from.
  template <class Rehash>
  std::size_t insert_new(std::uint64_t hash, K&& key, V&& value, const Rehash& rehash) {
    std::size_t index = capacity_ == 0 ? npos : find_non_full(hash);
    if (index == npos || (growth_left_ == 0 && control_[index] == shard_map_detail::kEmpty)) {
      grow(rehash);
      index = find_non_full(hash);
    }
    growth_left_ -= control_[index] == shard_map_detail::kEmpty ? 1 : 0;
    std::construct_at(slots_ + index, std::move(key), std::move(value));
    set_control(index, shard_map_detail::tag_of(hash));
    ++size_;
    return index;
  }

  // Moves the pair out of full slot `index` and frees the slot.
  std::pair<K, V> remove_at(std::size_t index) noexcept {
    assert(is_full(index));
    Slot& slot = slots_[index];
    std::pair<K, V> removed(std::move(slot.key), std::move(slot.value));
    std::destroy_at(&slot);
    --size_;
    if (probe_never_passed(index)) {
      set_control(index, shard_map_detail::kEmpty);
      ++growth_left_;
    } else {
      set_control(index, shard_map_detail::kDeleted);
    }
    return removed;
  }

  Slot& slot(std::size_t index) noexcept {
    assert(is_full(index));
    return slots_[index];
  }
  const Slot& slot(std::size_t index) const noexcept {
    assert(is_full(index));
    return slots_[index];
  }

  // The first full slot at or after `from`, or npos.
  std::size_t next_full(std::size_t from) const noexcept {
    for (std::size_t index = from; index < capacity_; ++index) {
      if (is_full(index)) return index;
    }
    return npos;
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::size_t index = next_full(0); index != npos; index = next_full(index + 1)) {
      visit(std::as_const(slots_[index].key), std::as_const(slots_[index].value));
    }
  }

  // Bytes of the block for `capacity` slots, and where its control bytes begin.
  // Fatal if the size does not fit the address space.
  struct StorageLayout {
    std::size_t control_offset;
    std::size_t bytes;
  };
  static StorageLayout storage_layout(std::size_t capacity) {
    // Blocks larger than the largest signed size cannot be indexed by pointer
    // differences; treat them as overflow like any other.
    constexpr std::size_t kMaxBytes =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t slot_bytes = 0;
    std::size_t total = 0;
    if (__builtin_mul_overflow(capacity, sizeof(Slot), &slot_bytes) ||
        __builtin_add_overflow(slot_bytes, capacity, &total) ||
        __builtin_add_overflow(total, shard_map_detail::kGroupWidth, &total) || total > kMaxBytes) {
      fatal("Hash table capacity overflow");
    }
    return {slot_bytes, total};
  }

 private:
  static constexpr std::size_t kAlignment = alignof(Slot);

  bool is_full(std::size_t index) const noexcept {
    return index < capacity_ && (control_[index] & shard_map_detail::kEmpty) == 0;
  }

  // Writes control byte `index` and its mirrors past the end.
  void set_control(std::size_t index, std::uint8_t value) noexcept {
    control_[index] = value;
    for (std::size_t mirror = capacity_ + index; mirror < capacity_ + shard_map_detail::kGroupWidth;
         mirror += capacity_) {
      control_[mirror] = value;
    }
  }

  // The first empty or deleted slot on the probe path of `hash`.
  std::size_t find_non_full(std::uint64_t hash) const noexcept {
    const std::size_t mask = capacity_ - 1;
    std::size_t position = static_cast<std::size_t>(hash) & mask;
    std::size_t stride = 0;
    for (;;) {
      const auto free = shard_map_detail::Group(control_ + position).empty_or_deleted();
      if (free) return (position + free.lowest()) & mask;
      stride += shard_map_detail::kGroupWidth;
      assert(stride <= capacity_ + shard_map_detail::kGroupWidth && "no free slot on the path");
      position = (position + stride) & mask;
    }
  }

  // True when no window of kGroupWidth consecutive non-empty slots contains `index`:
  // every probe that reached it would have stopped in its group, so it can go back
  // to empty without a tombstone.
  bool probe_never_passed(std::size_t index) const noexcept {
    if (capacity_ < shard_map_detail::kGroupWidth) return true;  // always an empty in view
    const std::size_t mask = capacity_ - 1;
    const std::size_t before_start = (index - shard_map_detail::kGroupWidth) & mask;
    const auto empty_before = shard_map_detail::Group(control_ + before_start).empty();
    const auto empty_after = shard_map_detail::Group(control_ + index).empty();
    const std::size_t run_before =
        empty_before ? empty_before.leading_clear_high() : shard_map_detail::kGroupWidth;
    const std::size_t run_after =
        empty_after ? empty_after.leading_clear_low() : shard_map_detail::kGroupWidth;
    return run_before + run_after < shard_map_detail::kGroupWidth;
  }

  template <class Rehash>
  void grow(const Rehash& rehash) {
    std::size_t new_capacity = kInitialCapacity;
    if (capacity_ != 0) {
      // Mostly tombstones: clean up in a block of the same size.
      const bool tombstones_dominate = size_ <= capacity_ / 2;
      if (tombstones_dominate) {
        new_capacity = capacity_;
      } else if (capacity_ > std::numeric_limits<std::size_t>::max() / 2) {
        fatal("Hash table capacity overflow");
      } else {
        new_capacity = capacity_ * 2;
      }
    }
    const StorageLayout layout = storage_layout(new_capacity);
    void* block = StorageAllocator::allocate(layout.bytes, kAlignment);  // may throw
    // Nothing below throws.
    auto* new_slots = static_cast<Slot*>(block);
    auto* new_control = static_cast<std::uint8_t*>(block) + layout.control_offset;
    std::memset(new_control, shard_map_detail::kEmpty,
                new_capacity + shard_map_detail::kGroupWidth);

    Slot* old_slots = slots_;
    std::uint8_t* old_control = control_;
    const std::size_t old_capacity = capacity_;
    slots_ = new_slots;
    control_ = new_control;
    capacity_ = new_capacity;
    for (std::size_t index = 0; index < old_capacity; ++index) {
      if ((old_control[index] & shard_map_detail::kEmpty) != 0) continue;
      Slot& from = old_slots[index];
      const std::uint64_t hash = rehash(std::as_const(from.key));
      const std::size_t target = find_non_full(hash);
      std::construct_at(slots_ + target, std::move(from));
      std::destroy_at(&from);
      set_control(target, shard_map_detail::tag_of(hash));
    }
    growth_left_ = shard_map_detail::max_load(capacity_) - size_;
    if (old_capacity != 0) {
      StorageAllocator::deallocate(old_slots, storage_layout(old_capacity).bytes, kAlignment);
    }
  }

  void release_storage() noexcept {
    if (capacity_ == 0) return;
    for (std::size_t index = next_full(0); index != npos; index = next_full(index + 1)) {
      std::destroy_at(slots_ + index);
    }
    StorageAllocator::deallocate(slots_, storage_layout(capacity_).bytes, kAlignment);
    slots_ = nullptr;
    control_ = nullptr;
    capacity_ = 0;
    size_ = 0;
    growth_left_ = 0;
  }

  Slot* slots_ = nullptr;
  std::uint8_t* control_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t growth_left_ = 0;  // insertions into empty slots before the next growth
};

}  // namespace galtro
