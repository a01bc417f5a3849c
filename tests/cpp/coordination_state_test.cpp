// The state record: construction, agent status, the clock and the history; and what
// a clock before 1970 does to an operation in progress.
#include "core/coordination_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "base/fatal_failure.h"
#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/records.h"

namespace galtro {
namespace {

using namespace std::string_view_literals;

constexpr std::int64_t kStart = 1'700'000'000;
constexpr std::string_view kClockFailure = "system clock before unix epoch";

std::string describe(const HistoryEvent& event) {
  struct Describe {
    std::string operator()(const ClaimedEvent& e) const {
      return "claimed " + e.agent_id.str() + " " + e.resource_key.str() + " @" +
             std::to_string(e.time);
    }
    std::string operator()(const ReleasedEvent& e) const {
      return "released " + e.agent_id.str() + " " + e.resource_key.str() + " @" +
             std::to_string(e.time);
    }
    std::string operator()(const MessageSentEvent& e) const {
      return "sent " + e.from_agent.str() + "->" + e.to_agent.str() + ": " + e.content.str() +
             " @" + std::to_string(e.time);
    }
    std::string operator()(const BroadcastEvent& e) const {
      return "broadcast " + e.from_agent.str() + ": " + e.content.str() + " @" +
             std::to_string(e.time);
    }
  };
  return std::visit(Describe{}, event);
}

using HistoryView = std::map<std::uint64_t, std::vector<std::string>>;

HistoryView history_of(const CoordinationState& state) {
  HistoryView view;
  StateAccess::history(state).for_each([&view](std::uint64_t second, const HistoryList& events) {
    for (const HistoryEvent& event : events.events()) view[second].push_back(describe(event));
  });
  return view;
}

std::map<std::string, std::string> statuses_of(const CoordinationState& state) {
  std::map<std::string, std::string> view;
  StateAccess::statuses(state).for_each([&view](const Text& agent, AgentStatus status) {
    view[agent.str()] = std::string(status_text(status));
  });
  return view;
}

std::map<std::string, std::string> claims_of(const CoordinationState& state) {
  std::map<std::string, std::string> view;
  StateAccess::claims(state).for_each([&view](const Text& key, const StoredClaim& stored) {
    const Claim claim = claim_of(key, stored);
    view[key.str()] = claim.holder.str() + " " +
                      (claim.target.kind == ClaimTarget::Kind::kFile ? "file " : "task ") +
                      claim.target.name.str() + " " + std::to_string(claim.claimed_at) + "/" +
                      std::to_string(claim.renewed_at);
  });
  return view;
}

std::map<std::string, std::size_t> inbox_sizes_of(const CoordinationState& state) {
  std::map<std::string, std::size_t> view;
  StateAccess::inboxes(state).for_each(
      [&view](const Text& agent, const Inbox& inbox) { view[agent.str()] = inbox.size(); });
  return view;
}

struct Snapshot {
  std::map<std::string, std::string> claims;
  std::map<std::string, std::string> statuses;
  std::map<std::string, std::size_t> inboxes;
  HistoryView history;
};

Snapshot snapshot_of(const CoordinationState& state) {
  return {claims_of(state), statuses_of(state), inbox_sizes_of(state), history_of(state)};
}

void expect_same(const Snapshot& before, const Snapshot& after) {
  EXPECT_EQ(before.claims, after.claims);
  EXPECT_EQ(before.statuses, after.statuses);
  EXPECT_EQ(before.inboxes, after.inboxes);
  EXPECT_EQ(before.history, after.history);
}

template <typename Operation>
void expect_clock_failure(Operation&& operation) {
  try {
    operation();
    ADD_FAILURE() << "expected a fatal failure";
  } catch (const FatalFailure& failure) {
    EXPECT_TRUE(failure.message().starts_with(kClockFailure)) << failure.message();
  }
}

// A clock that stands still and, once armed, gives `good_reads` more readings before
// it reads one second before the epoch, until healed. Single-threaded use only.
class FailingClock final : public Clock {
 public:
  explicit FailingClock(std::int64_t seconds) : seconds_(seconds) {}
  ClockReading read() const noexcept override {
    if (armed_) {
      if (good_reads_ == 0) return {-1, 0};
      --good_reads_;
    }
    return {seconds_, 0};
  }
  void fail_after(std::uint64_t good_reads) {
    armed_ = true;
    good_reads_ = good_reads;
  }
  void heal() { armed_ = false; }
  void advance(std::int64_t seconds) { seconds_ += seconds; }

 private:
  std::int64_t seconds_;
  bool armed_ = false;
  mutable std::uint64_t good_reads_ = 0;
};

TEST(CoordinationStateTest, NewStateIsEmptyWithAThreeHundredSecondLease) {
  const ManualClock clock(kStart);
  const CoordinationState state(clock);
  EXPECT_EQ(StateAccess::claims(state).size(), 0u);
  EXPECT_EQ(StateAccess::statuses(state).size(), 0u);
  EXPECT_EQ(StateAccess::inboxes(state).size(), 0u);
  EXPECT_EQ(StateAccess::history(state).size(), 0u);
  EXPECT_EQ(StateAccess::claims(state).allocated_slots(), 0u);
  EXPECT_EQ(StateAccess::statuses(state).allocated_slots(), 0u);
  EXPECT_EQ(StateAccess::inboxes(state).allocated_slots(), 0u);
  EXPECT_EQ(StateAccess::history(state).allocated_slots(), 0u);
  EXPECT_EQ(StateAccess::ttl_seconds(state), 300u);
  EXPECT_EQ(StateAccess::grace_seconds(state), 0u);
}

TEST(CoordinationStateTest, TwoStatesShareNothing) {
  const ManualClock clock(kStart);
  CoordinationState first(clock);
  CoordinationState second(clock);
  ASSERT_TRUE(first.claim_file(BorrowedText("alice"), BorrowedText("a.rs")).has_value());
  first.send_message(BorrowedText("alice"), BorrowedText("bob"), BorrowedText("hi"));

  const Snapshot empty = snapshot_of(second);
  EXPECT_TRUE(empty.claims.empty());
  EXPECT_TRUE(empty.statuses.empty());
  EXPECT_TRUE(empty.inboxes.empty());
  EXPECT_TRUE(empty.history.empty());
  // The same key is free in the other state.
  EXPECT_TRUE(second.claim_file(BorrowedText("bob"), BorrowedText("a.rs")).has_value());
  EXPECT_EQ(StateAccess::claims(first).get(std::string_view("file:a.rs"))->value().holder, "alice");
}

TEST(CoordinationStateTest, UnknownAgentsAreIdleAndAskingCreatesNoEntry) {
  const ManualClock clock(kStart);
  CoordinationState state(clock);
  state.set_status(Text("someone"), AgentStatus::kBusy);
  for (std::string_view agent : {"nobody", "", "Someone", "someone "}) {
    EXPECT_EQ(state.status(agent), AgentStatus::kIdle) << "'" << agent << "'";
  }
  EXPECT_EQ(StateAccess::statuses(state).size(), 1u);
}

TEST(CoordinationStateTest, StatusTexts) {
  EXPECT_EQ(status_text(AgentStatus::kIdle), "idle");
  EXPECT_EQ(status_text(AgentStatus::kBusy), "busy");
  EXPECT_EQ(status_text(AgentStatus::kCompleted), "completed");
  EXPECT_EQ(status_text(AgentStatus::kError), "error");
}

TEST(CoordinationStateTest, SetStatusOverwritesAndEnsureStatusOnlyFillsTheGap) {
  const ManualClock clock(kStart);
  CoordinationState state(clock);
  const AgentStatus all[] = {AgentStatus::kIdle, AgentStatus::kBusy, AgentStatus::kCompleted,
                             AgentStatus::kError};
  for (AgentStatus first : all) {
    for (AgentStatus second : all) {
      SCOPED_TRACE(testing::Message() << status_text(first) << " then " << status_text(second));
      state.set_status(Text("agent"), first);
      state.ensure_status(Text("agent"));
      EXPECT_EQ(state.status("agent"), first);
      state.set_status(Text("agent"), second);
      EXPECT_EQ(state.status("agent"), second);
    }
  }
  EXPECT_EQ(StateAccess::statuses(state).size(), 1u);

  state.ensure_status(Text("new"));
  state.ensure_status(Text(""));
  EXPECT_EQ(statuses_of(state), (std::map<std::string, std::string>{
                                    {"", "idle"}, {"agent", "error"}, {"new", "idle"}}));
}

TEST(CoordinationStateTest, HistoryKeepsAppendOrderAndGroupsBySecondOfAppend) {
  ManualClock clock(kStart);
  CoordinationState state(clock);
  const auto claimed = [](std::string agent, std::uint64_t time) {
    return HistoryEvent(ClaimedEvent{Text(agent), Text("file:x"), time});
  };

  state.append_history(claimed("a", kStart));
  state.append_history(BroadcastEvent{Text("b"), Text("hello"), kStart});
  // The event's own time does not decide where it goes: the append reads the clock.
  state.append_history(claimed("c", 42));
  for (int i = 0; i < 10; ++i) state.append_history(claimed("n" + std::to_string(i), kStart));
  clock.advance(1);
  state.append_history(ReleasedEvent{Text("a"), Text("file:x"), kStart + 1});
  clock.set(kStart);  // a clock stepped back appends to the earlier second again
  state.append_history(MessageSentEvent{Text("d"), Text("e"), Text("late"), kStart});
  clock.set(kStart + 1, 999'999'999);  // the fraction is dropped
  state.append_history(claimed("z", kStart + 1));

  std::vector<std::string> first_second = {
      "claimed a file:x @1700000000", "broadcast b: hello @1700000000", "claimed c file:x @42"};
  for (int i = 0; i < 10; ++i) {
    first_second.push_back("claimed n" + std::to_string(i) + " file:x @1700000000");
  }
  first_second.push_back("sent d->e: late @1700000000");
  const HistoryView expected = {
      {kStart, first_second},
      {kStart + 1, {"released a file:x @1700000001", "claimed z file:x @1700000001"}},
  };
  EXPECT_EQ(history_of(state), expected);
}

// Borrowed events land like owned ones, a text in two pieces as one.
TEST(CoordinationStateTest, BorrowedEventsAreAppendedLikeOwnedOnes) {
  ManualClock clock(kStart);
  CoordinationState state(clock);
  const std::string path(30, 'p');
  state.append_history(BorrowedEvent::claimed("a"sv, TextPieces("file:"sv, path), 3));
  state.append_history(ClaimedEvent{Text("a"), Text("file:" + path), 3});
  const std::string event = "claimed a file:" + path + " @3";
  EXPECT_EQ(history_of(state), (HistoryView{{kStart, {event, event}}}));
}

TEST(CoordinationStateTest, NowSecondsDropsTheFraction) {
  struct Case {
    std::int64_t seconds;
    std::int64_t nanoseconds;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {0, 0, 0},
      {0, 999'999'999, 0},
      {kStart, 999'999'999, kStart},
      {std::numeric_limits<std::int64_t>::max(), 0,
       static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())},
  };
  for (const Case& c : cases) {
    const ManualClock clock(c.seconds, c.nanoseconds);
    EXPECT_EQ(now_seconds(clock), c.expected) << c.seconds << "s " << c.nanoseconds << "ns";
    EXPECT_EQ(CoordinationState(clock).now_seconds(), c.expected);
  }
}

struct BeforeEpochCase {
  ClockReading reading;
  const char* distance;  // how far before the epoch the message must say it is
};

class ClockBeforeEpochTest : public testing::TestWithParam<BeforeEpochCase> {};

TEST_P(ClockBeforeEpochTest, IsAFatalFailureNamingTheCauseAndTheDistance) {
  const ManualClock clock(GetParam().reading.seconds, GetParam().reading.nanoseconds);
  try {
    now_seconds(clock);
    ADD_FAILURE() << "expected a fatal failure";
  } catch (const FatalFailure& failure) {
    EXPECT_TRUE(failure.message().starts_with(kClockFailure)) << failure.message();
    EXPECT_NE(failure.message().find(GetParam().distance), std::string::npos) << failure.message();
  }
  const CoordinationState state(clock);
  expect_clock_failure([&] { state.now_seconds(); });
}

constexpr std::int64_t kMostNegative = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Readings, ClockBeforeEpochTest,
    testing::Values(BeforeEpochCase{{-1, 0}, " 1.000000000s"},
                    BeforeEpochCase{{-1, 999'999'999}, " 0.000000001s"},
                    BeforeEpochCase{{-1, 1}, " 0.999999999s"},
                    BeforeEpochCase{{-86'400, 500'000'000}, " 86399.500000000s"},
                    BeforeEpochCase{{kMostNegative, 0}, " 9223372036854775808.000000000s"},
                    BeforeEpochCase{{kMostNegative, 1}, " 9223372036854775807.999999999s"}));

// Each operation, run while the clock reads before 1970, fails before it has changed
// anything (every one of them reads the clock before its first table write), and the
// same call succeeds once the clock is right again.
TEST(CoordinationStateTest, ClockBeforeEpochStopsEachOperationAndTheStateStaysUsable) {
  struct Case {
    const char* name;
    std::function<void(CoordinationState&)> operation;
  };
  const Case cases[] = {
      {"claim_file free",
       [](CoordinationState& s) {
         ASSERT_TRUE(s.claim_file(BorrowedText("a"), BorrowedText("free")));
       }},
      {"claim_file held",
       [](CoordinationState& s) {
         ASSERT_FALSE(s.claim_file(BorrowedText("b"), BorrowedText("held")));
       }},
      {"claim_task",
       [](CoordinationState& s) {
         ASSERT_TRUE(s.claim_task(BorrowedText("a"), BorrowedText("t")));
       }},
      {"renew_claim",
       [](CoordinationState& s) {
         ASSERT_TRUE(s.renew_claim(BorrowedText("h"), BorrowedText("file:held")));
       }},
      {"send_message",
       [](CoordinationState& s) {
         s.send_message(BorrowedText("a"), BorrowedText("b"), BorrowedText("hi"));
       }},
      {"broadcast",
       [](CoordinationState& s) { s.broadcast(BorrowedText("a"), BorrowedText("all")); }},
      {"append_history",
       [](CoordinationState& s) { s.append_history(ClaimedEvent{Text("a"), Text("file:x"), 1}); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    CoordinationState state(clock);
    ASSERT_TRUE(state.claim_file(BorrowedText("h"), BorrowedText("held")));
    state.send_message(BorrowedText("h"), BorrowedText("r"), BorrowedText("pending"));
    const Snapshot before = snapshot_of(state);

    clock.set(-1, 500'000'000);
    expect_clock_failure([&] { c.operation(state); });
    expect_same(before, snapshot_of(state));

    clock.set(kStart + 1);
    c.operation(state);
  }
}

// The clock fails at every possible reading of an operation in turn. What the
// operation did before that reading may stay, but every lock it held must be let go:
// afterwards the state answers on every table, the operation's own key included.
TEST(CoordinationStateTest, ClockFailureAtAnyReadingReleasesEveryLock) {
  struct Case {
    const char* name;
    std::function<void(CoordinationState&)> operation;
    // Whether the first clock reading comes before the first table write.
    bool reads_before_writing;
    // Checked when the operation failed after `good_reads` readings.
    std::function<void(CoordinationState&, std::uint64_t good_reads)> after_failure;
  };
  const auto nothing_more = [](CoordinationState&, std::uint64_t) {};
  // A message exists from its first reading on; it is delivered before the history
  // step, so a later failure leaves it delivered.
  const auto delivered_after_first_reading = [](const char* agent) {
    return [agent](CoordinationState& s, std::uint64_t good_reads) {
      EXPECT_EQ(s.inbox(Text(agent)).size(), good_reads >= 1 ? 1u : 0u);
      EXPECT_EQ(StateAccess::statuses(s).get(std::string_view(agent)).has_value(), good_reads >= 1);
    };
  };
  const Case cases[] = {
      {"claim free key",
       [](CoordinationState& s) { (void)s.claim_file(BorrowedText("b"), BorrowedText("k")); }, true,
       nothing_more},
      {"claim live key",
       [](CoordinationState& s) { (void)s.claim_file(BorrowedText("b"), BorrowedText("live")); },
       true, nothing_more},
      {"take over expired key",
       [](CoordinationState& s) { (void)s.claim_file(BorrowedText("b"), BorrowedText("old")); },
       true, nothing_more},
      {"renew",
       [](CoordinationState& s) {
         (void)s.renew_claim(BorrowedText("h"), BorrowedText("file:old"));
       },
       true, nothing_more},
      // Release removes the claim and writes the status before its only reading, for
      // the history; those changes stay.
      {"release",
       [](CoordinationState& s) { (void)s.release(BorrowedText("h"), BorrowedText("file:old")); },
       false,
       [](CoordinationState& s, std::uint64_t) {
         EXPECT_FALSE(StateAccess::claims(s).get(std::string_view("file:old")).has_value());
         EXPECT_EQ(s.status("h"), AgentStatus::kIdle);
       }},
      {"send_message",
       [](CoordinationState& s) {
         s.send_message(BorrowedText("b"), BorrowedText("c"), BorrowedText("m"));
       },
       true, delivered_after_first_reading("c")},
      {"broadcast", [](CoordinationState& s) { s.broadcast(BorrowedText("b"), BorrowedText("m")); },
       true, delivered_after_first_reading("b")},
  };
  for (const Case& c : cases) {
    bool failed = true;
    for (std::uint64_t good_reads = 0; failed; ++good_reads) {
      SCOPED_TRACE(testing::Message()
                   << c.name << ", clock fails after " << good_reads << " readings");
      ASSERT_LT(good_reads, 20u) << "the operation never completed";
      FailingClock clock(kStart);
      CoordinationState state(clock);
      ASSERT_TRUE(state.claim_file(BorrowedText("h"), BorrowedText("old")));
      clock.advance(300);  // "old" has expired; "live" is fresh
      ASSERT_TRUE(state.claim_file(BorrowedText("h"), BorrowedText("live")));
      const Snapshot before = snapshot_of(state);

      clock.fail_after(good_reads);
      failed = false;
      try {
        c.operation(state);
      } catch (const FatalFailure& failure) {
        failed = true;
        EXPECT_TRUE(failure.message().starts_with(kClockFailure)) << failure.message();
      }
      clock.heal();
      if (good_reads == 0) {
        EXPECT_TRUE(failed);
        if (c.reads_before_writing) expect_same(before, snapshot_of(state));
      }
      if (failed) c.after_failure(state, good_reads);

      // Every claim is expired by now, so each of these takes the key's lock and wins.
      clock.advance(1000);
      for (const char* path : {"k", "live", "old"}) {
        EXPECT_TRUE(state.claim_file(BorrowedText("z"), BorrowedText(path))) << path;
      }
      EXPECT_TRUE(state.release(BorrowedText("z"), BorrowedText("file:old")));
      state.set_status(Text("b"), AgentStatus::kError);
      EXPECT_EQ(state.status("b"), AgentStatus::kError);
      state.send_message(BorrowedText("z"), BorrowedText("c"), BorrowedText("after"));
      state.broadcast(BorrowedText("z"), BorrowedText("after"));
      EXPECT_FALSE(state.drain_inbox(BorrowedText("c")).messages().empty());
      EXPECT_EQ(history_of(state)[kStart + 1300].back(), "broadcast z: after @1700001300");
    }
  }
}

}  // namespace
}  // namespace galtro
