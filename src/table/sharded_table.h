// ShardedTable: a concurrent hash map split over a fixed number of shards, each a
// ShardMap guarded by its own ShardLock.
//
// Layout. The table owns an array of shards, a power of two of them (more than 1),
// fixed at construction; each shard is one 128-byte, 128-aligned block holding its
// lock and its map's header, so no two shard locks share a cache line. A new table
// allocates the shard array and nothing inside the shards; a shard's map allocates
// on its first insertion and grows under the shard's exclusive lock.
//
// Hashing. A key's hash is SipHash-1-3 under the table's own key (see table_key.h
// for the bytes that are hashed). The shard is (hash << 7) >> shift with
// shift = 64 - log2(shard count): the bits just below the top 7. Inside the shard,
// the top 7 bits are the slot tag and the low bits the home slot (shard_map.h), so
// the shard choice and the probing use different bits.
//
// Lock discipline.
//   get, iterate, for_each, size, allocated_slots  take shard locks shared;
//   entry, insert                                   take one shard lock exclusively.
// A ReadRef holds its shard shared and an Entry holds its shard exclusively until
// they are destroyed (or the entry is released); insert and for_each hold a lock
// only for the call. A thread must not take a shard's exclusive lock (entry, insert)
// while it holds a reference into that shard, must not take another exclusive lock
// of the same table while it holds any reference into the table, and must not take
// a shard's shared lock again (get, or another iteration reaching it) while it holds
// that shard; a live Iteration holds the shard it is in. Waiting writers are let in
// before new readers, so each of these can wait for itself. Locks of
// different tables nest only in the order the owner of the tables lays down.
//
// Iteration is shard 0, 1, 2, ... and slot order within a shard, so it follows the
// hash values: it differs between tables and runs and is no snapshot of the table.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "table/fatal_failure.h"
#include "table/hash_key.h"
#include "table/shard_count.h"
#include "table/shard_lock.h"
#include "table/shard_map.h"
#include "table/siphash.h"
#include "table/table_key.h"

namespace galtro {

// The table with the storage allocator of its shard maps as a parameter, so that
// tests can make allocation fail. Code uses ShardedTable<K, V> below.
template <class K, class V, class StorageAllocator>
class BasicShardedTable {
  using Traits = TableKeyTraits<K>;
  using Map = ShardMap<K, V, Traits, StorageAllocator>;
  using Slot = typename Map::Slot;

 public:
  // std::uint64_t for 64-bit keys, std::string_view for text keys.
  using Lookup = typename Traits::Lookup;

  class ReadRef;
  class Entry;
  class Iteration;

  // The process's default shard count and the calling thread's next hash key.
  BasicShardedTable() : BasicShardedTable(default_shard_count(), next_table_hash_key()) {}
  // Fatal unless shard_count is a power of two greater than 1.
  BasicShardedTable(std::size_t shard_count, HashKey hash_key)
      : shards_(make_shards(shard_count)),
        shift_(64 - static_cast<std::uint64_t>(std::countr_zero(shard_count))),
        hash_key_(hash_key) {}
  BasicShardedTable(const BasicShardedTable&) = delete;
  BasicShardedTable& operator=(const BasicShardedTable&) = delete;
  // PRECONDITION: no ReadRef, Entry or Iteration of the table is alive.
  ~BasicShardedTable() = default;

  std::size_t shard_count() const noexcept { return std::size_t{1} << (64 - shift_); }
  HashKey hash_key() const noexcept { return hash_key_; }

  std::uint64_t hash(Lookup key) const noexcept { return Traits::hash(hash_key_, key); }
  std::size_t shard_index(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << kTagBits) >> shift_);
  }

  // A read reference to the stored pair, holding its shard shared; or nothing, with
  // the lock released again.
  std::optional<ReadRef> get(Lookup key) const {
    const std::uint64_t key_hash = hash(key);
    Shard& shard = shard_for(key_hash);
    shard.lock.lock_shared();
    const std::size_t index = shard.map.find(key_hash, key);
    if (index == Map::npos) {
      shard.lock.unlock_shared();
      return std::nullopt;
    }
    return ReadRef(&shard.lock, &std::as_const(shard.map).slot(index));  // hands the hold on
  }

  // Stores `value` under `key`. Returns the value it replaced, if any; a key that was
  // present stays stored and the passed one is dropped. Holds the shard exclusively
  // for the call only. On std::bad_alloc the table is unchanged.
  std::optional<V> insert(K key, V value) {
    Entry entry = this->entry(std::move(key));
    if (entry.occupied()) return std::optional<V>(std::exchange(entry.value(), std::move(value)));
    entry.insert(std::move(value));
    return std::nullopt;
  }

  // Locks the key's shard exclusively and returns the entry for `key`, occupied or
  // vacant, which keeps the lock.
  Entry entry(K key) {
    const std::uint64_t key_hash = hash(Traits::lookup(key));
    Shard& shard = shard_for(key_hash);
    shard.lock.lock();
    const std::size_t index = shard.map.find(key_hash, Traits::lookup(key));
    return Entry(this, &shard, key_hash, index, std::optional<K>(std::move(key)));  // hands on
  }

  // Locks the key's shard exclusively and returns the entry for a key that is only
  // looked up, not stored: no copy of it is made, and the entry cannot insert.
  Entry find_entry(Lookup key) {
    const std::uint64_t key_hash = hash(key);
    Shard& shard = shard_for(key_hash);
    shard.lock.lock();
    const std::size_t index = shard.map.find(key_hash, key);
    return Entry(this, &shard, key_hash, index, std::nullopt);  // hands the lock on
  }

  Iteration iterate() const noexcept { return Iteration(this); }

  // Calls visit(const K&, const V&) for every pair, shard by shard, each shard under
  // its shared lock. `visit` must not use this table.
  template <class F>
  void for_each(F&& visit) const {
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(shards_[i]);
      shards_[i].map.for_each(visit);
    }
  }

  // Number of pairs; each shard is counted under its shared lock in turn.
  std::size_t size() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(shards_[i]);
      total += shards_[i].map.size();
    }
    return total;
  }

  // Slots allocated in all shards together.
  std::size_t allocated_slots() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(shards_[i]);
      total += shards_[i].map.capacity();
    }
    return total;
  }

 private:
  friend struct ShardedTableTestAccess;

  // Shard locks 128 bytes apart: two 64-byte lines, since processors fetch lines in
  // adjacent pairs.
  static constexpr std::size_t kShardBytes = 128;
  static_assert(std::has_single_bit(kShardBytes), "an alignment is a power of two");
  // Hash bits above the shard index, left to the shard's map as slot tags.
  static constexpr int kTagBits = shard_map_detail::kTagBits;
  static_assert(kTagBits == 7, "the shard index is taken from just below the top 7 bits");

  struct alignas(kShardBytes) Shard {
    mutable ShardLock lock;
    Map map;
  };
  static_assert(sizeof(Shard) == kShardBytes && alignof(Shard) == kShardBytes,
                "a shard fills exactly one 128-byte block");

  // Holds a shard's shared lock for a scope.
  class SharedHold {
   public:
    explicit SharedHold(const Shard& shard) : lock_(shard.lock) { lock_.lock_shared(); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() { lock_.unlock_shared(); }

   private:
    ShardLock& lock_;
  };

  static std::unique_ptr<Shard[]> make_shards(std::size_t shard_count) {
    if (!(shard_count > 1)) fatal("assertion failed: shard_amount > 1");
    if (!std::has_single_bit(shard_count)) {
      fatal("assertion failed: shard_amount.is_power_of_two()");
    }
    return std::unique_ptr<Shard[]>(new Shard[shard_count]);
  }

  Shard& shard_for(std::uint64_t key_hash) const noexcept { return shards_[shard_index(key_hash)]; }

  // Rehashes stored keys when a shard's map moves to a new block.
  struct Rehash {
    const BasicShardedTable* table;
    std::uint64_t operator()(const K& key) const noexcept {
      return table->hash(Traits::lookup(key));
    }
  };

  std::unique_ptr<Shard[]> shards_;
  std::uint64_t shift_;
  HashKey hash_key_;
};

// A stored key and value, readable while the reference lives. Holds one shared hold
// of the shard's lock, released when the reference is destroyed.
template <class K, class V, class StorageAllocator>
class BasicShardedTable<K, V, StorageAllocator>::ReadRef {
 public:
  ReadRef(ReadRef&& other) noexcept
      : lock_(std::exchange(other.lock_, nullptr)), slot_(other.slot_) {}
  ReadRef& operator=(ReadRef&& other) noexcept {
    if (this != &other) {
      release();
      lock_ = std::exchange(other.lock_, nullptr);
      slot_ = other.slot_;
    }
    return *this;
  }
  ReadRef(const ReadRef&) = delete;
  ReadRef& operator=(const ReadRef&) = delete;
  ~ReadRef() { release(); }

  // PRECONDITION (both): not moved from.
  const K& key() const noexcept {
    assert(lock_ != nullptr);
    return slot_->key;
  }
  const V& value() const noexcept {
    assert(lock_ != nullptr);
    return slot_->value;
  }

 private:
  friend class BasicShardedTable;
  // Adopts one shared hold of `lock`, which covers `slot`.
  ReadRef(ShardLock* lock, const Slot* slot) noexcept : lock_(lock), slot_(slot) {}
  void release() noexcept {
    if (lock_ != nullptr) std::exchange(lock_, nullptr)->unlock_shared();
  }

  ShardLock* lock_;
  const Slot* slot_;
};

// The place of one key in its shard, occupied or vacant, with the shard's exclusive
// lock held from entry() until destruction or release(). It keeps the key passed to
// entry() until an insert stores it, so that a pair can be removed and a new value
// inserted under the same entry.
template <class K, class V, class StorageAllocator>
class BasicShardedTable<K, V, StorageAllocator>::Entry {
 public:
  Entry(Entry&& other) noexcept
      : table_(other.table_),
        shard_(std::exchange(other.shard_, nullptr)),
        hash_(other.hash_),
        index_(other.index_),
        key_(std::move(other.key_)) {}
  Entry& operator=(Entry&& other) noexcept {
    if (this != &other) {
      release();
      table_ = other.table_;
      shard_ = std::exchange(other.shard_, nullptr);
      hash_ = other.hash_;
      index_ = other.index_;
      key_ = std::move(other.key_);
    }
    return *this;
  }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() { release(); }

  // Every member below but release() requires the lock still held.
  bool occupied() const {
    check_held();
    return index_ != Map::npos;
  }

  // Occupied: the stored key. Vacant: the key passed to entry(), if no insert has
  // consumed it yet.
  const K& key() const {
    check_held();
    if (index_ != Map::npos) return shard_->map.slot(index_).key;
    if (!key_) fatal("assertion failed: vacant entry has a key");
    return *key_;
  }

  // PRECONDITION: occupied.
  V& value() {
    check_occupied();
    return shard_->map.slot(index_).value;
  }

  // Takes the pair out of the table; the entry becomes vacant and keeps the lock.
  // PRECONDITION: occupied.
  std::pair<K, V> remove() {
    check_occupied();
    std::pair<K, V> removed = shard_->map.remove_at(index_);
    index_ = Map::npos;
    return removed;
  }

  // Stores the passed key with `value`; the entry becomes occupied. On
  // std::bad_alloc nothing has changed. PRECONDITION: vacant, key not yet consumed.
  V& insert(V value) {
    check_held();
    if (index_ != Map::npos) fatal("assertion failed: entry is vacant");
    if (!key_) fatal("assertion failed: vacant entry has a key");
    index_ = shard_->map.insert_new(hash_, std::move(*key_), std::move(value), Rehash{table_});
    key_.reset();
    return shard_->map.slot(index_).value;
  }

  V& or_insert(V value) {
    if (occupied()) return this->value();
    return insert(std::move(value));
  }

  // Releases the shard's lock now; the entry is unusable afterwards. Idempotent.
  void release() noexcept {
    if (shard_ != nullptr) std::exchange(shard_, nullptr)->lock.unlock();
  }

 private:
  friend class BasicShardedTable;
  // Adopts the exclusive hold of `shard`'s lock.
  Entry(const BasicShardedTable* table, Shard* shard, std::uint64_t hash, std::size_t index,
        std::optional<K>&& key) noexcept
      : table_(table), shard_(shard), hash_(hash), index_(index), key_(std::move(key)) {}

  void check_held() const {
    if (shard_ == nullptr) fatal("assertion failed: entry holds its shard lock");
    assert(shard_->lock.is_locked_exclusive());
  }
  void check_occupied() const {
    check_held();
    if (index_ == Map::npos) fatal("assertion failed: entry is occupied");
  }

  const BasicShardedTable* table_;
  Shard* shard_;  // null once released or moved from
  std::uint64_t hash_;
  std::size_t index_;  // the pair's slot while occupied, else Map::npos
  std::optional<K> key_;
};

// Walks the table shard by shard. Entering a shard takes its shared lock; each
// ReadRef it yields adds a shared hold of its own; leaving the shard drops the
// iteration's hold. Destroying the iteration early drops the hold it has.
template <class K, class V, class StorageAllocator>
class BasicShardedTable<K, V, StorageAllocator>::Iteration {
 public:
  Iteration(Iteration&& other) noexcept
      : table_(other.table_),
        shard_(other.shard_),
        next_slot_(other.next_slot_),
        holding_(std::exchange(other.holding_, false)) {}
  Iteration& operator=(Iteration&& other) noexcept {
    if (this != &other) {
      leave_shard();
      table_ = other.table_;
      shard_ = other.shard_;
      next_slot_ = other.next_slot_;
      holding_ = std::exchange(other.holding_, false);
    }
    return *this;
  }
  Iteration(const Iteration&) = delete;
  Iteration& operator=(const Iteration&) = delete;
  ~Iteration() { leave_shard(); }

  // The next pair, or nothing once every shard has been visited.
  std::optional<ReadRef> next() {
    while (shard_ < table_->shard_count()) {
      Shard& shard = table_->shards_[shard_];
      if (!holding_) {
        shard.lock.lock_shared();
        holding_ = true;
        next_slot_ = 0;
      }
      const std::size_t index = shard.map.next_full(next_slot_);
      if (index != Map::npos) {
        shard.lock.add_shared();
        next_slot_ = index + 1;
        return ReadRef(&shard.lock, &std::as_const(shard.map).slot(index));
      }
      leave_shard();
      ++shard_;
    }
    return std::nullopt;
  }

 private:
  friend class BasicShardedTable;
  explicit Iteration(const BasicShardedTable* table) noexcept : table_(table) {}

  void leave_shard() noexcept {
    if (holding_) {
      table_->shards_[shard_].lock.unlock_shared();
      holding_ = false;
    }
  }

  const BasicShardedTable* table_;
  std::size_t shard_ = 0;
  std::size_t next_slot_ = 0;
  bool holding_ = false;  // the iteration's own shared hold of shard_
};

// The table the coordination core uses. K is std::uint64_t or a text type that
// converts to std::string_view; lookups take std::uint64_t or std::string_view.
template <class K, class V>
class ShardedTable : public BasicShardedTable<K, V, ShardStorageAllocator> {
 public:
  using BasicShardedTable<K, V, ShardStorageAllocator>::BasicShardedTable;
};

}  // namespace galtro
