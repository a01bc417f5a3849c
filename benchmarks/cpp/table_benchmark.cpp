// Concurrent map benchmark: galtro::ShardedTable against the two obvious alternatives,
// on the operations the coordination core performs.
//
// Maps (the short id is the last part of each benchmark name):
//   sharded      galtro::ShardedTable<K, std::uint64_t>, default shard count
//   umap_rw      std::unordered_map<K, std::uint64_t> behind one std::shared_mutex
//                (std::hash)
//   umap_rw_sip  the same with SipHash-1-3, the table's own hash (text keys only)
//   tbb_chm      tbb::concurrent_hash_map<K, std::uint64_t> (its default hash
//                compare, which uses std::hash)
// with K = text (galtro::Text in the table, std::string elsewhere; 24-byte keys such as
// "file:src/module_00042.py", so every key lives on the heap in all maps) or
// K = std::uint64_t (ids counting up from a large base, like the core's seconds).
//
// Workloads, each over kKeyCount keys that are all present when the loop starts:
//   get     lookup of a present key, reading its value
//   insert  insert of a present key with a new value (an overwrite)
//   entry   read-modify-write of a present key's value under the write lock
//   mixed   80 % get, 10 % entry, 10 % churn: each thread alternately erases a key
//           and puts the key it erased last back, so the key set stays put
// Keys come from one precomputed random sequence of key indices; thread t starts at
// its own offset in it. Every map is built once, before any benchmark runs, and keeps
// its keys from one benchmark to the next.
//
// Each map is used as its own interface makes natural, with the key borrowed where
// the interface allows it. The table's insert and entry take an owned key, so there
// every insert and entry builds a Text of the key (a heap allocation and a free per
// call for these 24-byte keys); the std and TBB maps find the key first and build a
// stored key only when they add one. baseline/text_copy is the cost of that Text.
//
// Times are wall-clock time divided by the operations of all threads together, so a
// map that scales perfectly halves its time from 1 to 2 threads.
#include <benchmark/benchmark.h>
#include <tbb/concurrent_hash_map.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "table/shard_count.h"
#include "table/sharded_table.h"
#include "table/siphash.h"

namespace {

using galtro::Text;
using Value = std::uint64_t;

constexpr std::size_t kKeyCount = 100'000;
// Length of the shared random sequence of key indices (and of mixed operations). Its
// text probes take 3 MiB: small enough to leave the maps most of the last-level
// cache, long enough to reach about three quarters of the keys.
constexpr std::size_t kSequenceLength = std::size_t{1} << 17;
constexpr std::size_t kSequenceMask = kSequenceLength - 1;
static_assert((kSequenceLength & kSequenceMask) == 0, "the cursor wraps with a mask");
// Operation mix of the mixed workload, in percent.
constexpr unsigned kGetPercent = 80;
constexpr unsigned kEntryPercent = 10;  // the rest is churn
// First u64 key.
constexpr std::uint64_t kFirstIdKey = 1'700'000'000;

// Width of every text key: "file:src/module_" + 5 digits + ".py".
constexpr std::size_t kTextKeyWidth = 24;

// What every benchmark reads: the random sequences and the probe keys along them.
//
// A text probe is stored in the sequence itself, kTextKeyWidth bytes per step, so
// that walking the sequence streams through memory: the bytes of the key asked for
// are in cache, as the key of a call from Python is, and the misses that are left
// are the map's own.
struct Inputs {
  std::vector<std::uint32_t> sequence;  // key indices
  std::vector<std::uint8_t> mix;        // 0..99 per step, for the mixed workload
  std::vector<char> text_probes;        // the text key of each step, back to back
  std::vector<std::string> text_keys;   // by index, to fill the maps
};

std::string text_key(std::size_t index) {
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "file:src/module_%05zu.py", index);
  if (length != static_cast<int>(kTextKeyWidth)) std::abort();
  return std::string(buffer, kTextKeyWidth);
}

const Inputs& inputs() {
  static const Inputs built = [] {
    Inputs in;
    in.text_keys.reserve(kKeyCount);
    for (std::size_t i = 0; i < kKeyCount; ++i) in.text_keys.push_back(text_key(i));
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<std::uint32_t> pick_key(0, kKeyCount - 1);
    std::uniform_int_distribution<unsigned> pick_percent(0, 99);
    in.sequence.resize(kSequenceLength);
    in.mix.resize(kSequenceLength);
    in.text_probes.resize(kSequenceLength * kTextKeyWidth);
    for (std::size_t i = 0; i < kSequenceLength; ++i) {
      in.sequence[i] = pick_key(random);
      in.mix[i] = static_cast<std::uint8_t>(pick_percent(random));
      std::memcpy(in.text_probes.data() + i * kTextKeyWidth, in.text_keys[in.sequence[i]].data(),
                  kTextKeyWidth);
    }
    return in;
  }();
  return built;
}

std::uint64_t id_key(std::size_t index) { return kFirstIdKey + index; }

// Walks the shared sequence from a per-thread starting point and hands out the key
// of each step in the form the map looks it up by.
class Cursor {
 public:
  explicit Cursor(int thread_index)
      : position_(static_cast<std::size_t>(thread_index) * (kSequenceLength / 2 + 12'345)) {}
  std::size_t next() noexcept { return position_++ & kSequenceMask; }

  template <class Key>
  static Key key_at(std::size_t step) noexcept {
    if constexpr (std::is_same_v<Key, std::string_view>) {
      return std::string_view(probes_ + step * kTextKeyWidth, kTextKeyWidth);
    } else {
      return id_key(sequence_[step]);
    }
  }
  static std::uint8_t mix_at(std::size_t step) noexcept { return mix_[step]; }

  // Points every cursor at the inputs; called once before any benchmark runs.
  static void attach(const Inputs& in) noexcept {
    probes_ = in.text_probes.data();
    sequence_ = in.sequence.data();
    mix_ = in.mix.data();
  }

 private:
  static inline const char* probes_ = nullptr;
  static inline const std::uint32_t* sequence_ = nullptr;
  static inline const std::uint8_t* mix_ = nullptr;

  std::size_t position_;
};

// ---- The maps, behind one small interface -------------------------------------
//
// Key is the borrowed form a map is asked with: std::string_view for text keys (the
// std maps look up heterogeneously, the table by its Lookup type) or std::uint64_t.

class ShardedText {
 public:
  using Key = std::string_view;
  static constexpr const char* kId = "sharded";

  Value get(Key key) const {
    auto found = table_.get(key);
    return found ? found->value() : 0;
  }
  // insert owns its key: each call builds a Text of the probe. entry looks the key up
  // by view and would copy it only to insert.
  void insert(Key key, Value value) { table_.insert(Text(key), value); }
  void update(Key key) {
    auto entry = table_.entry(key);
    if (entry.occupied()) ++entry.value();
  }
  void erase(Key key) {
    auto entry = table_.entry(key);
    if (entry.occupied()) entry.remove();
  }

 private:
  galtro::ShardedTable<Text, Value> table_;
};

class ShardedId {
 public:
  using Key = std::uint64_t;
  static constexpr const char* kId = "sharded";

  Value get(Key key) const {
    auto found = table_.get(key);
    return found ? found->value() : 0;
  }
  void insert(Key key, Value value) { table_.insert(key, value); }
  void update(Key key) {
    auto entry = table_.entry(key);
    if (entry.occupied()) ++entry.value();
  }
  void erase(Key key) {
    auto entry = table_.entry(key);
    if (entry.occupied()) entry.remove();
  }

  std::size_t shard_of(Key key) const { return table_.shard_index(table_.hash(key)); }

 private:
  galtro::ShardedTable<std::uint64_t, Value> table_;
};

// std::hash of the text's bytes (the same function as std::hash<std::string>), for
// lookups by std::string_view.
struct StdTextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
};

// SipHash-1-3 over a text key, as the table hashes it, under a fixed key.
struct SipTextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const noexcept {
    return static_cast<std::size_t>(
        galtro::siphash13_text(galtro::HashKey{0x0123456789abcdef, 0xfedcba9876543210}, key));
  }
};

// Stored key type, hash and equality of a std map over Key.
template <class Key, class TextHash>
struct StdKeyTypes;
template <class TextHash>
struct StdKeyTypes<std::string_view, TextHash> {
  using Stored = std::string;
  using Hash = TextHash;
  using Equal = std::equal_to<>;
};
template <class TextHash>
struct StdKeyTypes<std::uint64_t, TextHash> {
  using Stored = std::uint64_t;
  using Hash = std::hash<std::uint64_t>;
  using Equal = std::equal_to<>;
};

template <class K, class TextHash, const char* Id>
class LockedUnorderedMap {
  using Types = StdKeyTypes<K, TextHash>;

 public:
  using Key = K;
  static constexpr const char* kId = Id;

  Value get(Key key) const {
    std::shared_lock hold(mutex_);
    const auto found = map_.find(key);
    return found == map_.end() ? 0 : found->second;
  }
  // Builds a stored key only when the key is new.
  void insert(Key key, Value value) {
    std::unique_lock hold(mutex_);
    const auto found = map_.find(key);
    if (found != map_.end()) {
      found->second = value;
    } else {
      map_.emplace(typename Types::Stored(key), value);
    }
  }
  void update(Key key) {
    std::unique_lock hold(mutex_);
    const auto found = map_.find(key);
    if (found != map_.end()) ++found->second;
  }
  void erase(Key key) {
    std::unique_lock hold(mutex_);
    const auto found = map_.find(key);
    if (found != map_.end()) map_.erase(found);
  }

 private:
  // The lock word and the map's header on lines of their own, as a careful user
  // would lay them out.
  alignas(128) mutable std::shared_mutex mutex_;
  alignas(128) std::unordered_map<typename Types::Stored, Value, typename Types::Hash,
                                  typename Types::Equal> map_;
};

// The TBB map's hash compare: std::hash of the bytes, lookups by std::string_view.
struct TbbTextHashCompare {
  using is_transparent = void;
  std::size_t hash(std::string_view key) const noexcept {
    return std::hash<std::string_view>{}(key);
  }
  bool equal(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <class K>
struct TbbKeyTypes {
  using Stored = std::uint64_t;
  using HashCompare = tbb::tbb_hash_compare<std::uint64_t>;
};
template <>
struct TbbKeyTypes<std::string_view> {
  using Stored = std::string;
  using HashCompare = TbbTextHashCompare;
};

template <class K, const char* Id>
class TbbMap {
  using Types = TbbKeyTypes<K>;
  using Map = tbb::concurrent_hash_map<typename Types::Stored, Value, typename Types::HashCompare>;

 public:
  using Key = K;
  static constexpr const char* kId = Id;

  Value get(Key key) const {
    typename Map::const_accessor found;
    return map_.find(found, key) ? found->second : 0;
  }
  // Builds a stored key only when the key is new.
  void insert(Key key, Value value) {
    typename Map::accessor slot;
    map_.insert(slot, key);
    slot->second = value;
  }
  void update(Key key) {
    typename Map::accessor found;
    if (map_.find(found, key)) ++found->second;
  }
  void erase(Key key) { map_.erase(key); }

 private:
  // find with a borrowed key is not const in the TBB map.
  mutable Map map_;
};

constexpr char kUmapId[] = "umap_rw";
constexpr char kUmapSipId[] = "umap_rw_sip";
constexpr char kTbbId[] = "tbb_chm";

using UmapText = LockedUnorderedMap<std::string_view, StdTextHash, kUmapId>;
using UmapSipText = LockedUnorderedMap<std::string_view, SipTextHash, kUmapSipId>;
using UmapId = LockedUnorderedMap<std::uint64_t, StdTextHash, kUmapId>;
using TbbText = TbbMap<std::string_view, kTbbId>;
using TbbId = TbbMap<std::uint64_t, kTbbId>;

template <class Key>
Key key_of_index(std::size_t index) {
  if constexpr (std::is_same_v<Key, std::string_view>) {
    return inputs().text_keys[index];
  } else {
    return id_key(index);
  }
}

// One map per type for the whole process, filled with every key and read once.
template <class Map>
Map& filled_map() {
  static Map* const map = [] {
    auto* built = new Map();  // lives until the process ends
    using Key = typename Map::Key;
    for (std::size_t i = 0; i < kKeyCount; ++i) built->insert(key_of_index<Key>(i), i);
    Value sum = 0;
    for (std::size_t i = 0; i < kKeyCount; ++i) sum += built->get(key_of_index<Key>(i));
    if (sum != kKeyCount * (kKeyCount - 1) / 2) {
      std::fprintf(stderr, "%s: a freshly filled map lost keys\n", Map::kId);
      std::abort();
    }
    return built;
  }();
  return *map;
}

// ---- Workloads -------------------------------------------------------------------

template <class Map>
void get_workload(benchmark::State& state) {
  using Key = typename Map::Key;
  Map& map = filled_map<Map>();
  Cursor cursor(state.thread_index());
  Value sum = 0;
  for (auto _ : state) sum += map.get(Cursor::key_at<Key>(cursor.next()));
  benchmark::DoNotOptimize(sum);
}

template <class Map>
void insert_workload(benchmark::State& state) {
  using Key = typename Map::Key;
  Map& map = filled_map<Map>();
  Cursor cursor(state.thread_index());
  Value value = 0;
  for (auto _ : state) map.insert(Cursor::key_at<Key>(cursor.next()), ++value);
}

template <class Map>
void entry_workload(benchmark::State& state) {
  using Key = typename Map::Key;
  Map& map = filled_map<Map>();
  Cursor cursor(state.thread_index());
  for (auto _ : state) map.update(Cursor::key_at<Key>(cursor.next()));
}

template <class Map>
void mixed_workload(benchmark::State& state) {
  using Key = typename Map::Key;
  Map& map = filled_map<Map>();
  Cursor cursor(state.thread_index());
  bool holding_out = false;  // whether this thread has erased a key not yet put back
  Key erased{};
  Value sum = 0;
  for (auto _ : state) {
    const std::size_t step = cursor.next();
    const unsigned percent = Cursor::mix_at(step);
    if (percent < kGetPercent) {
      sum += map.get(Cursor::key_at<Key>(step));
    } else if (percent < kGetPercent + kEntryPercent) {
      map.update(Cursor::key_at<Key>(step));
    } else if (!holding_out) {
      erased = Cursor::key_at<Key>(step);
      map.erase(erased);
      holding_out = true;
    } else {
      map.insert(erased, sum);
      holding_out = false;
    }
  }
  if (holding_out) map.insert(erased, 0);  // leave every key present
  benchmark::DoNotOptimize(sum);
}

// ---- Diagnostic: readers that share no shard ---------------------------------------
//
// get on the u64 table where thread t of n asks only for keys whose shard index is t
// mod n, so no two threads take the same shard lock. With one thread it is the plain
// get workload; the gap between this and get/u64/sharded at 2 threads is what
// readers pay for sharing shard locks.

// Per thread count n and thread t: random keys of the shards t mod n.
std::vector<std::uint64_t> own_shard_keys[3][2];

void build_own_shard_keys() {
  const ShardedId& table = filled_map<ShardedId>();
  std::mt19937_64 random(7);
  std::uniform_int_distribution<std::size_t> pick_key(0, kKeyCount - 1);
  for (std::size_t threads = 1; threads <= 2; ++threads) {
    for (std::size_t t = 0; t < threads; ++t) own_shard_keys[threads][t].reserve(kSequenceLength);
    bool done = false;
    while (!done) {
      const std::uint64_t key = id_key(pick_key(random));
      auto& keys = own_shard_keys[threads][table.shard_of(key) % threads];
      if (keys.size() < kSequenceLength) keys.push_back(key);
      done = true;
      for (std::size_t t = 0; t < threads; ++t) {
        done = done && own_shard_keys[threads][t].size() == kSequenceLength;
      }
    }
  }
}

void get_own_shards_workload(benchmark::State& state) {
  const ShardedId& map = filled_map<ShardedId>();
  const auto threads = static_cast<std::size_t>(state.threads());
  const auto thread = static_cast<std::size_t>(state.thread_index());
  if (threads > 2) {
    state.SkipWithError("built for 1 and 2 threads");
    return;
  }
  const std::uint64_t* keys = own_shard_keys[threads][thread].data();
  std::size_t position = 0;
  Value sum = 0;
  for (auto _ : state) sum += map.get(keys[position++ & kSequenceMask]);
  benchmark::DoNotOptimize(sum);
}

// ---- Baselines: the per-call costs that are not the map's own ---------------------

void text_copy_baseline(benchmark::State& state) {
  Cursor cursor(state.thread_index());
  for (auto _ : state) {
    Text copy(Cursor::key_at<std::string_view>(cursor.next()));
    benchmark::DoNotOptimize(copy);
  }
}

template <class Hash>
void hash_baseline(benchmark::State& state) {
  const Hash hash{};
  Cursor cursor(state.thread_index());
  std::size_t sum = 0;
  for (auto _ : state) sum += hash(Cursor::key_at<std::string_view>(cursor.next()));
  benchmark::DoNotOptimize(sum);
}

// Pure arithmetic on each thread, no memory shared: its 2-thread time is half its
// 1-thread time when the machine gives the benchmark two free processors.
void spin_baseline(benchmark::State& state) {
  std::uint64_t x = static_cast<std::uint64_t>(state.thread_index()) + 1;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
    benchmark::DoNotOptimize(x);
  }
}

// ---- Registration ----------------------------------------------------------------

// The fastest repetition, besides the library's mean, median and spread: on a busy
// machine it is the one least disturbed by other work.
double fastest(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

template <class Map>
void register_map(const char* key_kind) {
  struct Workload {
    const char* name;
    void (*run)(benchmark::State&);
  };
  const Workload workloads[] = {
      {"get", &get_workload<Map>},
      {"insert", &insert_workload<Map>},
      {"entry", &entry_workload<Map>},
      {"mixed", &mixed_workload<Map>},
  };
  for (const Workload& workload : workloads) {
    const std::string name = std::string(workload.name) + "/" + key_kind + "/" + Map::kId;
    benchmark::RegisterBenchmark(name.c_str(), workload.run)
        ->Threads(1)
        ->Threads(2)
        ->UseRealTime()
        ->ComputeStatistics("min", fastest);
  }
}

void register_all() {
  register_map<ShardedText>("text");
  register_map<UmapText>("text");
  register_map<UmapSipText>("text");
  register_map<TbbText>("text");
  register_map<ShardedId>("u64");
  register_map<UmapId>("u64");
  register_map<TbbId>("u64");

  benchmark::RegisterBenchmark("diagnostic/get_own_shards/u64/sharded", &get_own_shards_workload)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime()
      ->ComputeStatistics("min", fastest);
  benchmark::RegisterBenchmark("baseline/text_copy", &text_copy_baseline)
      ->UseRealTime()
      ->ComputeStatistics("min", fastest);
  benchmark::RegisterBenchmark("baseline/siphash13_text", &hash_baseline<SipTextHash>)
      ->UseRealTime()
      ->ComputeStatistics("min", fastest);
  benchmark::RegisterBenchmark("baseline/std_hash_string", &hash_baseline<StdTextHash>)
      ->UseRealTime()
      ->ComputeStatistics("min", fastest);
  benchmark::RegisterBenchmark("baseline/spin", &spin_baseline)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime()
      ->ComputeStatistics("min", fastest);
}

// Builds every input and map up front, so that no benchmark pays for it.
void build_everything() {
  Cursor::attach(inputs());
  filled_map<ShardedText>();
  filled_map<UmapText>();
  filled_map<UmapSipText>();
  filled_map<TbbText>();
  filled_map<ShardedId>();
  filled_map<UmapId>();
  filled_map<TbbId>();
  build_own_shard_keys();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  register_all();
  build_everything();
  benchmark::AddCustomContext("keys", std::to_string(kKeyCount));
  benchmark::AddCustomContext("table_shards",
                              std::to_string(galtro::default_shard_count()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
