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
// Keys. Lookups take the borrowed form of a key (Lookup: a std::string_view for text
// keys), and so does entry(): an owned key is made only when an entry inserts, from
// the looked-up view, or taken ready-made from the caller. A present key is thus
// found without any copy of it.
//
// Lock discipline.
//   get, iterate, for_each, collect, size, allocated_slots  take shard locks shared;
//   entry, insert                     take one shard lock exclusively;
//   visit_by_shard                    takes shard locks exclusively, one at a time.
// A ReadRef holds its shard shared, and an Entry or a ShardBatch holds its shard
// exclusively, until they are destroyed (or released); insert, for_each, collect and
// visit_by_shard hold a lock only while they run. Which locks a thread may hold
// together is lock_order.h's rule: never two of one table (waiting writers are let in
// before new readers, so even two shared holds can wait for each other), and other
// tables' only below an outer table's.
//
// Iteration is shard 0, 1, 2, ... and slot order within a shard, so it follows the
// hash values: it differs between tables and runs and is no snapshot of the table.
#pragma once

#include <algorithm>
#include <bit>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/fatal_failure.h"
#include "table/hash_key.h"
#include "table/lock_order.h"
#include "table/shard_count.h"
#include "table/shard_groups.h"
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
  class ShardBatch;
  class Iteration;

  // The process's default shard count and the calling thread's next hash key.
  explicit BasicShardedTable(LockNesting nesting = LockNesting::kInner)
      : BasicShardedTable(default_shard_count(), next_table_hash_key(), nesting) {}
  // Fatal unless shard_count is a power of two greater than 1.
  BasicShardedTable(std::size_t shard_count, HashKey hash_key,
                    LockNesting nesting = LockNesting::kInner)
      : shards_(make_shards(shard_count)),
        shift_(64 - static_cast<std::uint64_t>(std::countr_zero(shard_count))),
        hash_key_(hash_key),
        nesting_(nesting) {}
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
    lock_shared(shard);
    const std::size_t index = shard.map.find(key_hash, key);
    if (index == Map::npos) {
      unlock_shared(shard.lock);
      return std::nullopt;
    }
    return ReadRef(&shard.lock, &std::as_const(shard.map).slot(index));  // hands the hold on
  }

  // Stores `value` under `key`. Returns the value it replaced, if any; a key that was
  // present stays stored and the passed one is dropped. Holds the shard exclusively
  // for the call only. On std::bad_alloc the table is unchanged.
  std::optional<V> insert(K key, V value) {
    Entry entry = this->entry(Traits::lookup(key));
    if (entry.occupied()) return std::optional<V>(std::exchange(entry.value(), std::move(value)));
    entry.insert(std::move(key), std::move(value));
    return std::nullopt;
  }

  // Locks the key's shard exclusively and returns the entry for `key`, occupied or
  // vacant, which keeps the lock. The entry borrows `key`, which must outlive it.
  Entry entry(Lookup key) { return entry(key, hash(key)); }
  // The same with the key's hash computed beforehand. PRECONDITION: key_hash ==
  // hash(key); the builds that check the lock order check this too.
  Entry entry(Lookup key, std::uint64_t key_hash) {
    if constexpr (kLockOrderChecked) {
      if (key_hash != hash(key)) fatal("assertion failed: an entry's hash is its key's");
    }
    Shard& shard = shard_for(key_hash);
    lock_exclusive(shard);
    const std::size_t index = shard.map.find(key_hash, key);
    return Entry(this, &shard, key_hash, index, key);  // hands the lock on
  }

  // Visits many keys, each shard's together under one exclusive hold of its lock.
  // hashes[i] is the hash() of key i. Calls visit(ShardBatch& batch, std::size_t i)
  // once for every i: shard by shard in rising order, skipping shards without keys,
  // and in rising i within a shard, with `batch` holding key i's shard. `visit` looks
  // keys up and inserts them through `batch` only, and must not use the table
  // otherwise. The grouping's memory (one index per key) is allocated before the
  // first lock, so std::bad_alloc from it comes before any visit.
  template <class F>
  void visit_by_shard(std::span<const std::uint64_t> hashes, F&& visit) {
    const ShardGroups groups = group_by_shard(hashes);
    for (std::size_t s = 0; s < shard_count(); ++s) {
      if (groups.keys_of(s).empty()) continue;
      lock_exclusive(shards_[s]);
      ShardBatch batch(this, &shards_[s]);  // adopts the lock
      for (const std::size_t i : groups.keys_of(s)) visit(batch, i);
    }
  }

  // The indexes of `hashes` grouped by the shard each hash falls in.
  ShardGroups group_by_shard(std::span<const std::uint64_t> hashes) const {
    return ShardGroups(hashes, shard_count(), [this](std::uint64_t key_hash) noexcept {
      return shard_index(key_hash);
    });
  }

  Iteration iterate() const noexcept { return Iteration(this); }

  // Calls visit(const K&, const V&) for every pair, shard by shard, each shard under
  // its shared lock. `visit` must not use this table.
  template <class F>
  void for_each(F&& visit) const {
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(*this, shards_[i]);
      shards_[i].map.for_each(visit);
    }
  }

  // Appends make(const K&, const V&) for every pair to `out`, in for_each's order,
  // each shard under its shared lock (a `make` that returns a reference has the
  // element copied in place); `make` must not use this table. When a shard's pairs do
  // not fit, room is reserved for the average of the shards seen so far in every
  // shard, plus one shard more: keys that their hashes spread evenly are collected
  // with about one allocation, and without a counting pass.
  template <class T, class F>
  void collect(std::vector<T>& out, F&& make) const {
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(*this, shards_[i]);
      const std::size_t needed = out.size() + shards_[i].map.size();
      if (needed > out.capacity()) {
        const std::size_t average = (needed - start + i) / (i + 1);
        out.reserve(std::max(needed, start + average * (shard_count() + 1)));
      }
      shards_[i].map.for_each(
          [&](const K& key, const V& value) { out.push_back(make(key, value)); });
    }
  }

  // Number of pairs; each shard is counted under its shared lock in turn.
  std::size_t size() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(*this, shards_[i]);
      total += shards_[i].map.size();
    }
    return total;
  }

  // Slots allocated in all shards together.
  std::size_t allocated_slots() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count(); ++i) {
      SharedHold hold(*this, shards_[i]);
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
    SharedHold(const BasicShardedTable& table, const Shard& shard) : lock_(shard.lock) {
      table.lock_shared(shard);
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() { unlock_shared(lock_); }

   private:
    ShardLock& lock_;
  };

  // Every shard lock is taken and given up through these four, which keep the lock
  // order check (lock_order.h) informed; the check comes before any wait. `walk`: an
  // iteration entering its next shard.
  void lock_shared(const Shard& shard, bool walk = false) const {
    lock_order::check_acquire(this, nesting_, walk);
    shard.lock.lock_shared();
    lock_order::note_acquired(this, nesting_, &shard.lock, walk);
  }
  void lock_exclusive(Shard& shard) {
    lock_order::check_acquire(this, nesting_);
    shard.lock.lock();
    lock_order::note_acquired(this, nesting_, &shard.lock);
  }
  static void unlock_shared(ShardLock& lock) noexcept {
    lock_order::note_released(&lock);
    lock.unlock_shared();
  }
  static void unlock_exclusive(ShardLock& lock) noexcept {
    lock_order::note_released(&lock);
    lock.unlock();
  }

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
  LockNesting nesting_;
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
    if (lock_ != nullptr) unlock_shared(*std::exchange(lock_, nullptr));
  }

  ShardLock* lock_;
  const Slot* slot_;
};

// The place of one key in its shard, occupied or vacant, with the shard's exclusive
// lock held from entry() until destruction or release(). It borrows the key passed to
// entry() for as long as it lives, so that a pair can be removed and a new value
// inserted under the same entry.
template <class K, class V, class StorageAllocator>
class BasicShardedTable<K, V, StorageAllocator>::Entry {
 public:
  Entry(Entry&& other) noexcept
      : table_(other.table_),
        shard_(std::exchange(other.shard_, nullptr)),
        hash_(other.hash_),
        index_(other.index_),
        key_(other.key_) {}
  Entry& operator=(Entry&& other) noexcept {
    if (this != &other) {
      release();
      table_ = other.table_;
      shard_ = std::exchange(other.shard_, nullptr);
      hash_ = other.hash_;
      index_ = other.index_;
      key_ = other.key_;
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

  // Occupied: the stored key. Vacant: the key passed to entry().
  Lookup key() const {
    check_held();
    if (index_ != Map::npos) return Traits::lookup(shard_->map.slot(index_).key);
    return key_;
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

  // Stores `value` under an owned copy of the key passed to entry(); the entry
  // becomes occupied. On std::bad_alloc nothing has changed. PRECONDITION: vacant.
  V& insert(V value)
    requires std::constructible_from<K, Lookup>
  {
    check_vacant();
    return store(K(key_), std::move(value));
  }

  // The same with the owned key made beforehand, such as one the caller built to look
  // up (taken by reference, as entry() may view it until it is moved in here).
  // PRECONDITION: vacant; `key` equals the key passed to entry().
  V& insert(K&& key, V value) {
    check_vacant();
    if (!Traits::equal(key, key_)) fatal("assertion failed: an entry inserts its own key");
    return store(std::move(key), std::move(value));
  }

  V& or_insert(V value)
    requires std::constructible_from<K, Lookup>
  {
    if (occupied()) return this->value();
    return insert(std::move(value));
  }

  // Releases the shard's lock now; the entry is unusable afterwards. Idempotent.
  void release() noexcept {
    if (shard_ != nullptr) unlock_exclusive(std::exchange(shard_, nullptr)->lock);
  }

 private:
  friend class BasicShardedTable;
  // Adopts the exclusive hold of `shard`'s lock.
  Entry(BasicShardedTable* table, Shard* shard, std::uint64_t hash, std::size_t index,
        Lookup key) noexcept
      : table_(table), shard_(shard), hash_(hash), index_(index), key_(key) {}

  V& store(K&& key, V&& value) {
    index_ = shard_->map.insert_new(hash_, std::move(key), std::move(value), Rehash{table_});
    return shard_->map.slot(index_).value;
  }

  void check_held() const {
    if (shard_ == nullptr) fatal("assertion failed: entry holds its shard lock");
    assert(shard_->lock.is_locked_exclusive());
  }
  void check_occupied() const {
    check_held();
    if (index_ == Map::npos) fatal("assertion failed: entry is occupied");
  }
  void check_vacant() const {
    check_held();
    if (index_ != Map::npos) fatal("assertion failed: entry is vacant");
  }

  const BasicShardedTable* table_;
  Shard* shard_;  // null once released or moved from
  std::uint64_t hash_;
  std::size_t index_;  // the pair's slot while occupied, else Map::npos
  Lookup key_;         // borrowed from the caller of entry()
};

// One shard held exclusively for several keys of it (visit_by_shard()), from
// creation until destruction or release().
template <class K, class V, class StorageAllocator>
class BasicShardedTable<K, V, StorageAllocator>::ShardBatch {
 public:
  ShardBatch(ShardBatch&& other) noexcept
      : table_(other.table_), shard_(std::exchange(other.shard_, nullptr)) {}
  ShardBatch& operator=(ShardBatch&&) = delete;
  ShardBatch(const ShardBatch&) = delete;
  ShardBatch& operator=(const ShardBatch&) = delete;
  ~ShardBatch() { release(); }

  // The value stored under `key`, whose hash is `key_hash`; if there is none, `value`
  // is stored first under `key`, moved in (it is left as it was otherwise). On
  // std::bad_alloc nothing has changed. PRECONDITION: the lock is held; `key` falls in
  // this shard.
  V& or_insert(std::uint64_t key_hash, K&& key, V value) {
    if (shard_ == nullptr) fatal("assertion failed: shard batch holds its shard lock");
    if (&table_->shard_for(key_hash) != shard_) fatal("assertion failed: key is in the shard");
    std::size_t index = shard_->map.find(key_hash, Traits::lookup(key));
    if (index == Map::npos) {
      index = shard_->map.insert_new(key_hash, std::move(key), std::move(value), Rehash{table_});
    }
    return shard_->map.slot(index).value;
  }

  // Releases the shard's lock now. Idempotent.
  void release() noexcept {
    if (shard_ != nullptr) unlock_exclusive(std::exchange(shard_, nullptr)->lock);
  }

 private:
  friend class BasicShardedTable;
  // Adopts the exclusive hold of `shard`'s lock.
  ShardBatch(const BasicShardedTable* table, Shard* shard) noexcept
      : table_(table), shard_(shard) {}

  const BasicShardedTable* table_;
  Shard* shard_;  // null once released or moved from
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
        table_->lock_shared(shard, /*walk=*/true);
        holding_ = true;
        next_slot_ = 0;
      }
      const std::size_t index = shard.map.next_full(next_slot_);
      if (index != Map::npos) {
        shard.lock.add_shared();
        lock_order::note_added(&shard.lock);
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
      unlock_shared(table_->shards_[shard_].lock);
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
