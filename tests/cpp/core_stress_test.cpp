// Many threads on one state at once. Each run is bounded by operation counts; every
// thread's generator is seeded by its index plus a base seed that is printed (set
// GALTRO_STRESS_SEED to replay one); global invariants are checked at the end
// against what the threads tallied. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"
#include "core/records.h"

namespace galtro {
namespace {

constexpr std::int64_t kStart = 1'700'000'000;
constexpr int kThreads = 8;

std::uint64_t base_seed() {
  std::uint64_t seed = 0;
  if (const char* text = std::getenv("GALTRO_STRESS_SEED")) seed = std::strtoull(text, nullptr, 0);
  std::cout << "[   SEED   ] base seed " << seed << "; thread i uses base + i"
            << " (set GALTRO_STRESS_SEED to change)\n";
  return seed;
}

std::mt19937_64 generator_for(std::uint64_t base, int thread) {
  return std::mt19937_64(base + static_cast<std::uint64_t>(thread));
}

// Runs `body(thread_index)` on `count` threads that start together.
template <typename Body>
void run_threads(int count, Body body) {
  std::latch start(count);
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&start, &body, t] {
      start.arrive_and_wait();
      body(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Yields a random few times, to vary who gets to a lock first.
void jitter(std::mt19937_64& random) {
  for (auto n = random() % 4; n > 0; --n) std::this_thread::yield();
}

std::string agent_name(int thread) {
  return "agent-" + std::to_string(thread);
}

std::vector<HistoryEvent> all_events(const CoordinationState& state) {
  std::map<std::uint64_t, std::vector<HistoryEvent>> by_second;
  StateAccess::history(state).for_each(
      [&by_second](std::uint64_t second, const HistoryList& events) {
        by_second[second] = events.events();
      });
  std::vector<HistoryEvent> flat;
  for (auto& [second, events] : by_second) flat.insert(flat.end(), events.begin(), events.end());
  return flat;
}

// --- Contended claims ----------------------------------------------------------------

// What each thread saw for each key: the holder it was told of, and whether it won.
struct ClaimOutcome {
  bool won = false;
  std::string message;  // the refusal, when refused
};

// All threads claim key 0, then key 1, and so on, each key at the same moment; per
// key exactly one wins and every other is refused naming the winner. With `expired`
// set, every key is first claimed by agent-0 and left to expire, so the winner takes
// it over (agent-0 may take its own claim back).
void contend_for_keys(bool expired) {
  constexpr int kKeys = 1000;
  const std::uint64_t base = base_seed();
  ManualClock clock(kStart);
  CoordinationState state(clock);
  const auto key_name = [](int k) { return "key-" + std::to_string(k); };
  const auto claim = [&state, expired](const std::string& agent, const std::string& name) {
    return expired ? state.claim_task(BorrowedText(agent), BorrowedText(name))
                   : state.claim_file(BorrowedText(agent), BorrowedText(name));
  };
  if (expired) {
    for (int k = 0; k < kKeys; ++k) ASSERT_TRUE(claim(agent_name(0), key_name(k)));
    clock.advance(1000);
  }
  const std::uint64_t now = kStart + (expired ? 1000 : 0);

  std::vector<std::vector<ClaimOutcome>> outcomes(kThreads, std::vector<ClaimOutcome>(kKeys));
  std::barrier same_key(kThreads);
  run_threads(kThreads, [&](int t) {
    std::mt19937_64 random = generator_for(base, t);
    for (int k = 0; k < kKeys; ++k) {
      same_key.arrive_and_wait();
      jitter(random);
      const auto result = claim(agent_name(t), key_name(k));
      outcomes[t][k] =
          result ? ClaimOutcome{true, ""} : ClaimOutcome{false, result.error().message};
    }
  });

  std::vector<std::string> winners(kKeys);
  std::set<std::string> winning_agents;
  for (int k = 0; k < kKeys; ++k) {
    int wins = 0;
    for (int t = 0; t < kThreads; ++t) {
      if (outcomes[t][k].won) {
        ++wins;
        winners[k] = agent_name(t);
      }
    }
    ASSERT_EQ(wins, 1) << key_name(k);
    winning_agents.insert(winners[k]);
    const std::string refusal =
        winners[k] + (expired ? " already holds claim on task " : " already holds claim on ") +
        key_name(k);
    for (int t = 0; t < kThreads; ++t) {
      if (!outcomes[t][k].won) {
        EXPECT_EQ(outcomes[t][k].message, refusal) << agent_name(t);
      }
    }
    const std::string key = (expired ? "task:" : "file:") + key_name(k);
    const auto stored = StateAccess::claims(state).get(key);
    ASSERT_TRUE(stored.has_value()) << key;
    EXPECT_EQ(stored->value().holder, winners[k]);
    EXPECT_EQ(stored->value().claimed_at, now);
    EXPECT_EQ(stored->value().renewed_at, now);
  }
  EXPECT_EQ(StateAccess::claims(state).size(), static_cast<std::size_t>(kKeys));

  // Refused callers got no status; winners are busy, and so is agent-0 in any case.
  if (expired) winning_agents.insert(agent_name(0));
  std::set<std::string> with_status;
  StateAccess::statuses(state).for_each([&](const Text& agent, AgentStatus status) {
    with_status.insert(agent.str());
    EXPECT_EQ(status, AgentStatus::kBusy) << agent.str();
  });
  EXPECT_EQ(with_status, winning_agents);

  // After the set-up, one Claimed per key for its winner, followed (on takeover) by
  // one Released for agent-0; nothing else.
  std::vector<HistoryEvent> events = all_events(state);
  if (expired) {
    ASSERT_GE(events.size(), static_cast<std::size_t>(kKeys));
    events.erase(events.begin(), events.begin() + kKeys);
  }
  std::map<std::string, std::vector<std::string>> per_key;
  for (const HistoryEvent& event : events) {
    if (const auto* claimed = std::get_if<ClaimedEvent>(&event)) {
      per_key[claimed->resource_key.str()].push_back("claimed " + claimed->agent_id.str());
    } else if (const auto* released = std::get_if<ReleasedEvent>(&event)) {
      per_key[released->resource_key.str()].push_back("released " + released->agent_id.str());
    } else {
      ADD_FAILURE() << "unexpected message event";
    }
  }
  ASSERT_EQ(per_key.size(), static_cast<std::size_t>(kKeys));
  for (int k = 0; k < kKeys; ++k) {
    std::vector<std::string> expected = {"claimed " + winners[k]};
    if (expired) expected.push_back("released " + agent_name(0));
    EXPECT_EQ(per_key[(expired ? "task:" : "file:") + key_name(k)], expected) << key_name(k);
  }
}

TEST(CoreStressTest, ExactlyOneClaimerWinsAFreeKey) {
  contend_for_keys(false);
}

TEST(CoreStressTest, ExactlyOneClaimerTakesOverAnExpiredKey) {
  contend_for_keys(true);
}

// --- Claims, renewals and releases mixed ----------------------------------------------

// Threads claim, renew and release a few shared keys in random order while the clock
// moves on now and then, so that fresh claims, takeovers, refusals and releases all
// race. Each thread tallies its successes per key; the history and the claims table
// must account for every one of them.
TEST(CoreStressTest, MixedClaimTrafficKeepsHistoryAndTableConsistent) {
  constexpr int kKeys = 12;
  constexpr int kOperations = 20000;
  const std::uint64_t base = base_seed();
  ManualClock clock(kStart);
  CoordinationState state(clock);

  struct Tally {
    std::vector<int> claims = std::vector<int>(kKeys);
    std::vector<int> releases = std::vector<int>(kKeys);
    int renewals = 0;
  };
  std::vector<Tally> tallies(kThreads);
  run_threads(kThreads, [&](int t) {
    std::mt19937_64 random = generator_for(base, t);
    const std::string me = agent_name(t);
    Tally& tally = tallies[t];
    for (int i = 0; i < kOperations; ++i) {
      const int k = static_cast<int>(random() % kKeys);
      const std::string path = "shared-" + std::to_string(k);
      const std::string key = "file:" + path;
      switch (random() % 8) {
        case 0:
          clock.advance(60);  // five of these expire a lease
          break;
        case 1:
        case 2:
        case 3: {
          const auto result = state.claim_file(BorrowedText(me), BorrowedText(path));
          if (result) {
            ++tally.claims[k];
          } else {
            EXPECT_TRUE(result.error().message.ends_with(" already holds claim on " + path))
                << result.error().message;
          }
          break;
        }
        case 4: {
          const auto result = state.renew_claim(BorrowedText(me), BorrowedText(key));
          if (result) {
            ++tally.renewals;
          } else {
            const std::string& message = result.error().message;
            EXPECT_TRUE(message == "no claim on " + key + " to renew" ||
                        message.starts_with(me + " cannot renew a claim held by agent-"))
                << message;
          }
          break;
        }
        default: {
          const auto result = state.release(BorrowedText(me), BorrowedText(key));
          if (result) {
            ++tally.releases[k];
          } else {
            const std::string& message = result.error().message;
            EXPECT_TRUE(message == "no claim found for " + me ||
                        message.starts_with(me + " cannot release a claim held by agent-"))
                << message;
          }
          break;
        }
      }
    }
  });

  // Per key: every successful claim appended one Claimed for its caller; every
  // release and every takeover one Released. A key is held exactly when more claims
  // than Released events were recorded for it.
  std::map<std::pair<std::string, std::string>, int> claimed;   // (key, agent)
  std::map<std::pair<std::string, std::string>, int> released;  // (key, agent)
  std::map<std::string, int> released_per_key;
  for (const HistoryEvent& event : all_events(state)) {
    if (const auto* c = std::get_if<ClaimedEvent>(&event)) {
      ++claimed[{c->resource_key.str(), c->agent_id.str()}];
    } else if (const auto* r = std::get_if<ReleasedEvent>(&event)) {
      ++released[{r->resource_key.str(), r->agent_id.str()}];
      ++released_per_key[r->resource_key.str()];
    } else {
      ADD_FAILURE() << "unexpected message event";
    }
  }
  int total_claims = 0;
  int total_takeovers = 0;
  for (int k = 0; k < kKeys; ++k) {
    const std::string key = "file:shared-" + std::to_string(k);
    int claims_on_key = 0;
    int releases_on_key = 0;
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ((claimed[{key, agent_name(t)}]), tallies[t].claims[k]) << key << " " << t;
      // Released events name the releaser or the holder that was taken over from.
      EXPECT_GE((released[{key, agent_name(t)}]), tallies[t].releases[k]) << key << " " << t;
      claims_on_key += tallies[t].claims[k];
      releases_on_key += tallies[t].releases[k];
    }
    total_claims += claims_on_key;
    const int takeovers = released_per_key[key] - releases_on_key;
    EXPECT_GE(takeovers, 0) << key;
    total_takeovers += takeovers;
    const bool held = StateAccess::claims(state).get(key).has_value();
    EXPECT_EQ(claims_on_key - releases_on_key - takeovers, held ? 1 : 0) << key;
  }
  EXPECT_GT(total_claims, kKeys) << "the run should have claimed keys repeatedly";
  EXPECT_GT(total_takeovers, 0) << "the run should have taken over expired claims";

  // Only agents that ever won a claim or released one have a status.
  std::set<std::string> expected_agents;
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      if (tallies[t].claims[k] > 0) expected_agents.insert(agent_name(t));
    }
  }
  std::set<std::string> with_status;
  StateAccess::statuses(state).for_each(
      [&](const Text& agent, AgentStatus) { with_status.insert(agent.str()); });
  EXPECT_EQ(with_status, expected_agents);
}

// --- Messaging -------------------------------------------------------------------------

// Senders, broadcasters, listers and drainers on their own threads. Every message has
// a unique content "{thread}:{sequence}"; what the drains return, plus a final drain
// of every inbox, must hold each direct message once, in its addressee's inbox, and
// each broadcast once in every inbox, with the timestamp its send returned. Every
// other round a drainer lists the inbox and then removes what it listed
// (remove_delivered): it has taken those of them that it removed, another drainer the
// others.
TEST(CoreStressTest, MessagesAreNeitherLostNorDuplicated) {
  constexpr int kAgents = 6;
  constexpr int kSenders = 2;
  constexpr int kBroadcasters = 2;
  constexpr int kListers = 1;
  constexpr int kDrainers = 3;
  constexpr int kWorkers = kSenders + kBroadcasters + kListers + kDrainers;
  constexpr int kSends = 5000;
  constexpr int kBroadcasts = 1000;
  constexpr int kReads = 1500;
  const std::uint64_t base = base_seed();
  ManualClock clock(kStart);
  CoordinationState state(clock);

  // The recipients of every broadcast are fixed before the run: every sender of a
  // broadcast is one of them, and direct messages only go to them.
  const auto agent = [](std::uint64_t n) { return "r" + std::to_string(n % kAgents); };
  for (int a = 0; a < kAgents; ++a) state.ensure_status(Text(agent(a)));

  struct Sent {
    std::string from;
    std::optional<std::string> to;
    std::uint64_t timestamp;
  };
  struct Received {
    std::string owner;  // whose inbox
    PendingMessage message;
  };
  std::vector<std::map<std::string, Sent>> sent(kWorkers);  // by content
  std::vector<std::vector<Received>> received(kWorkers);
  const auto sequence_of = [](const Text& content) {
    const std::string_view text = content.view();
    return std::make_pair(std::stoi(std::string(text.substr(0, text.find(':')))),
                          std::stoi(std::string(text.substr(text.find(':') + 1))));
  };
  // Within one inbox's listing or drain, the messages of one producer come in the
  // order it sent them.
  const auto expect_producer_order = [&sequence_of](const std::vector<PendingMessage>& batch) {
    std::map<int, int> last;
    for (const PendingMessage& message : batch) {
      const auto [producer, sequence] = sequence_of(message.content());
      const auto [it, fresh] = last.try_emplace(producer, sequence);
      if (!fresh) {
        EXPECT_GT(sequence, it->second) << message.content().view();
        it->second = sequence;
      }
    }
  };

  run_threads(kWorkers, [&](int t) {
    std::mt19937_64 random = generator_for(base, t);
    const auto content = [t](int i) { return std::to_string(t) + ":" + std::to_string(i); };
    if (t < kSenders) {
      for (int i = 0; i < kSends; ++i) {
        if (i % 500 == 0) clock.advance(1);
        const std::string from = "sender-" + std::to_string(random() % 3);
        const std::string to = agent(random());
        const std::uint64_t timestamp =
            state.send_message(BorrowedText(from), BorrowedText(to), BorrowedText(content(i)));
        sent[t][content(i)] = Sent{from, to, timestamp};
      }
    } else if (t < kSenders + kBroadcasters) {
      for (int i = 0; i < kBroadcasts; ++i) {
        const std::string from = agent(random());
        const std::uint64_t timestamp =
            state.broadcast(BorrowedText(from), BorrowedText(content(i)));
        sent[t][content(i)] = Sent{from, std::nullopt, timestamp};
      }
    } else if (t < kSenders + kBroadcasters + kListers) {
      for (int i = 0; i < kReads; ++i) expect_producer_order(state.inbox(Text(agent(random()))));
    } else {
      for (int i = 0; i < kReads; ++i) {
        const std::string owner = agent(random());
        if (i % 2 == 1) {
          const std::vector<PendingMessage> listed = state.inbox(owner);
          expect_producer_order(listed);
          const std::size_t removed = state.remove_delivered(owner, DeliveredRun(listed));
          ASSERT_LE(removed, listed.size());
          for (std::size_t k = listed.size() - removed; k < listed.size(); ++k) {
            received[t].push_back({owner, listed[k]});
          }
          continue;
        }
        const BorrowedText owner_id(owner);
        DrainedMessages batch = state.drain_inbox(owner_id);
        expect_producer_order(batch.messages());
        for (const PendingMessage& message : batch.messages()) {
          received[t].push_back({owner, message});
        }
        batch.commit();
      }
    }
  });

  std::vector<Received> all_received;
  for (auto& batch : received) {
    for (Received& r : batch) all_received.push_back(std::move(r));
  }
  for (int a = 0; a < kAgents; ++a) {
    const std::string owner = agent(a);  // outlives `rest`, which views it
    const BorrowedText owner_id(owner);
    DrainedMessages rest = state.drain_inbox(owner_id);
    expect_producer_order(rest.messages());
    for (const PendingMessage& message : rest.messages()) {
      all_received.push_back({owner, message});
    }
    rest.commit();
  }

  // (content, owner) -> times seen
  std::map<std::pair<std::string, std::string>, int> seen;
  for (const Received& r : all_received) {
    const std::string content = r.message.content().str();
    const auto [producer, sequence] = sequence_of(r.message.content());
    ASSERT_TRUE(producer >= 0 && producer < kSenders + kBroadcasters) << content;
    const auto found = sent[producer].find(content);
    ASSERT_NE(found, sent[producer].end()) << content;
    const Sent& original = found->second;
    EXPECT_EQ(r.message.from_agent(), original.from) << content;
    EXPECT_EQ(r.message.timestamp(), original.timestamp) << content;
    EXPECT_EQ(r.message.is_broadcast(), !original.to.has_value()) << content;
    if (original.to) {
      EXPECT_EQ(r.owner, *original.to) << content;
    }
    ++seen[{content, r.owner}];
  }
  std::size_t expected_deliveries = 0;
  for (int t = 0; t < kSenders + kBroadcasters; ++t) {
    for (const auto& [content, original] : sent[t]) {
      if (original.to) {
        ++expected_deliveries;
        EXPECT_EQ((seen[{content, *original.to}]), 1) << content;
      } else {
        for (int a = 0; a < kAgents; ++a) {
          ++expected_deliveries;
          EXPECT_EQ((seen[{content, agent(a)}]), 1) << content << " to " << agent(a);
        }
      }
    }
  }
  EXPECT_EQ(all_received.size(), expected_deliveries);
  EXPECT_EQ(expected_deliveries,
            static_cast<std::size_t>(kSenders * kSends + kBroadcasters * kBroadcasts * kAgents));

  // One history event per send; no new agents became known.
  std::size_t direct_events = 0;
  std::size_t broadcast_events = 0;
  for (const HistoryEvent& event : all_events(state)) {
    if (std::holds_alternative<MessageSentEvent>(event)) ++direct_events;
    if (std::holds_alternative<BroadcastEvent>(event)) ++broadcast_events;
  }
  EXPECT_EQ(direct_events, static_cast<std::size_t>(kSenders * kSends));
  EXPECT_EQ(broadcast_events, static_cast<std::size_t>(kBroadcasters * kBroadcasts));
  EXPECT_EQ(StateAccess::statuses(state).size(), static_cast<std::size_t>(kAgents));
  EXPECT_EQ(StateAccess::inboxes(state).size(), static_cast<std::size_t>(kAgents));
}

}  // namespace
}  // namespace galtro
