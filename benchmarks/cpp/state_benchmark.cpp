// What the coordination core costs per operation, without Python, and the parts no
// operation can do without: a reading of the real-time clock, one shard lock taken and
// given back, and the keyed hash of a short key. An operation's cost less the sum of
// the parts it must use (listed in each benchmark's label) is what its own code takes.
//
//   bash benchmarks/cpp/run.sh --state
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/coordination_state.h"
#include "table/shard_lock.h"
#include "table/siphash.h"

namespace galtro {
namespace {

void parts_clock_reading(benchmark::State& state) {
  const Clock& clock = SystemClock::instance();
  for (auto _ : state) benchmark::DoNotOptimize(now_seconds(clock));
}
BENCHMARK(parts_clock_reading)->Name("parts/clock reading");

void parts_lock_pair(benchmark::State& state) {
  ShardLock lock;
  for (auto _ : state) {
    lock.lock();
    lock.unlock();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(parts_lock_pair)->Name("parts/shard lock taken and given back");

void parts_text_hash(benchmark::State& state) {
  const HashKey key{0x0706050403020100, 0x0f0e0d0c0b0a0908};
  std::string text = "file:src/lib.rs";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text.data());
    benchmark::DoNotOptimize(siphash13_text(key, text));
  }
}
BENCHMARK(parts_text_hash)->Name("parts/keyed hash of a 15-byte key");

// claim_file + release of a free key: 6 clock readings, 6 lock pairs, 4 text hashes
// (the history's second is hashed once a second).
void claim_release(benchmark::State& state) {
  CoordinationState coordination;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        coordination.claim_file(BorrowedText("agent-1"), BorrowedText("src/lib.rs")));
    benchmark::DoNotOptimize(
        coordination.release(BorrowedText("agent-1"), BorrowedText("file:src/lib.rs")));
  }
  state.SetLabel("6 readings, 6 locks, 4 hashes");
}
BENCHMARK(claim_release)->Name("core/claim_file + release");

// A claim refused to another agent: 1 reading, 1 lock, 1 hash.
void claim_refused(benchmark::State& state) {
  CoordinationState coordination;
  if (!coordination.claim_file(BorrowedText("agent-1"), BorrowedText("src/held.rs")))
    state.SkipWithError("setup");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        coordination.claim_file(BorrowedText("agent-2"), BorrowedText("src/held.rs")));
  }
  state.SetLabel("1 reading, 1 lock, 1 hash");
}
BENCHMARK(claim_refused)->Name("core/claim_file refused");

// renew_claim by the holder: 2 readings, 1 lock, 1 hash.
void renew(benchmark::State& state) {
  CoordinationState coordination;
  if (!coordination.claim_file(BorrowedText("agent-1"), BorrowedText("src/lib.rs")))
    state.SkipWithError("setup");
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        coordination.renew_claim(BorrowedText("agent-1"), BorrowedText("file:src/lib.rs")));
  }
  state.SetLabel("2 readings, 1 lock, 1 hash");
}
BENCHMARK(renew)->Name("core/renew_claim");

// send_message of 32 bytes, the inbox drained every 1,000 messages (its share
// included): 3 readings, 3 locks, 2 hashes.
void send(benchmark::State& state) {
  CoordinationState coordination;
  const std::string content(32, 'x');
  std::uint64_t sent = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(coordination.send_message(
        BorrowedText("agent-1"), BorrowedText("agent-2"), BorrowedText(content)));
    if (++sent % 1000 == 0) coordination.drain_inbox(BorrowedText("agent-2")).commit();
  }
  state.SetLabel("3 readings, 3 locks, 2 hashes");
}
BENCHMARK(send)->Name("core/send_message 32 B");

// broadcast of 32 bytes to `range(0)` agents, their inboxes drained every 50
// broadcasts (included); per recipient: 1 hash and a copy of the message.
void broadcast(benchmark::State& state) {
  CoordinationState coordination;
  std::vector<std::string> agents;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    agents.push_back("agent-" + std::to_string(i));
    coordination.set_status(agents.back(), AgentStatus::kIdle);
  }
  const std::string content(32, 'x');
  std::uint64_t sent = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        coordination.broadcast(BorrowedText(agents[0]), BorrowedText(content)));
    if (++sent % 50 == 0) {
      for (const std::string& agent : agents)
        coordination.drain_inbox(BorrowedText(agent)).commit();
    }
  }
  state.counters["per recipient"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(broadcast)->Name("core/broadcast 32 B")->Arg(10)->Arg(100);

void status(benchmark::State& state) {
  CoordinationState coordination;
  coordination.set_status("agent-1", AgentStatus::kBusy);
  for (auto _ : state) benchmark::DoNotOptimize(coordination.status("agent-1"));
  state.SetLabel("1 lock (shared), 1 hash");
}
BENCHMARK(status)->Name("core/status");

}  // namespace
}  // namespace galtro

BENCHMARK_MAIN();
