// Claims on files and tasks: the 300-second lease, takeover, renewal, release, and
// the exact refusals. Time comes from a ManualClock; nothing sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "base/fatal_failure.h"
#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"
#include "core/records.h"

namespace galtro {
namespace {

constexpr std::uint64_t kStart = 1'700'000'000;

// --- Readable views of the tables ------------------------------------------------------

std::string describe(const Claim& claim) {
  return claim.holder.str() +
         (claim.target.kind == ClaimTarget::Kind::kFile ? " on file " : " on task ") +
         claim.target.name.str() + " " + std::to_string(claim.claimed_at) + "/" +
         std::to_string(claim.renewed_at);
}

std::string describe(const HistoryEvent& event) {
  if (const auto* claimed = std::get_if<ClaimedEvent>(&event)) {
    return "claimed " + claimed->agent_id.str() + " " + claimed->resource_key.str() + " @" +
           std::to_string(claimed->time);
  }
  if (const auto* released = std::get_if<ReleasedEvent>(&event)) {
    return "released " + released->agent_id.str() + " " + released->resource_key.str() + " @" +
           std::to_string(released->time);
  }
  return "message event";  // claims never append these
}

using HistoryView = std::map<std::uint64_t, std::vector<std::string>>;

struct Snapshot {
  std::map<std::string, std::string> claims;
  std::map<std::string, std::string> statuses;
  HistoryView history;
};

Snapshot snapshot_of(const CoordinationState& state) {
  Snapshot view;
  StateAccess::claims(state).for_each([&view](const Text& key, const StoredClaim& stored) {
    view.claims[key.str()] = describe(claim_of(key, stored));
  });
  StateAccess::statuses(state).for_each([&view](const Text& agent, AgentStatus status) {
    view.statuses[agent.str()] = std::string(status_text(status));
  });
  StateAccess::history(state).for_each([&view](std::uint64_t second, const HistoryList& events) {
    for (const HistoryEvent& event : events.events()) {
      view.history[second].push_back(describe(event));
    }
  });
  return view;
}

void expect_same(const Snapshot& before, const Snapshot& after) {
  EXPECT_EQ(before.claims, after.claims);
  EXPECT_EQ(before.statuses, after.statuses);
  EXPECT_EQ(before.history, after.history);
}

std::string at(std::uint64_t second) {
  return " @" + std::to_string(second);
}

// The refusal message, or "ok" for a success.
template <typename T>
std::string outcome(const std::expected<T, Refusal>& result) {
  return result.has_value() ? "ok" : result.error().message;
}

// --- Files and tasks alike ------------------------------------------------------------

struct ClaimKind {
  const char* name;
  std::expected<ClaimStamps, Refusal> (CoordinationState::*claim)(const BorrowedText&,
                                                                  const BorrowedText&);
  ClaimTarget::Kind target_kind;
  const char* key_prefix;
  const char* held_by;  // the refusal between holder and name
};

void PrintTo(const ClaimKind& kind, std::ostream* out) {
  *out << kind.name;
}

const ClaimKind kFile{"File", &CoordinationState::claim_file, ClaimTarget::Kind::kFile,
                      "file:", " already holds claim on "};
const ClaimKind kTask{"Task", &CoordinationState::claim_task, ClaimTarget::Kind::kTask,
                      "task:", " already holds claim on task "};

// The claim that an operation's stamps complete with the caller's holder and target.
std::expected<Claim, Refusal> as_claim(const std::expected<ClaimStamps, Refusal>& stamps,
                                       ClaimTarget::Kind kind, std::string_view agent,
                                       std::string_view name) {
  if (!stamps) return std::unexpected(stamps.error());
  return Claim{ClaimTarget{kind, Text(name)}, Text(agent), stamps->claimed_at, stamps->renewed_at};
}

std::expected<Claim, Refusal> claim(CoordinationState& state, const ClaimKind& kind,
                                    std::string_view agent, std::string_view name) {
  return as_claim((state.*kind.claim)(BorrowedText(agent), BorrowedText(name)), kind.target_kind,
                  agent, name);
}

class ClaimKindTest : public testing::TestWithParam<ClaimKind> {
 protected:
  const ClaimKind& kind() const { return GetParam(); }
  std::string key(std::string_view name) const { return kind().key_prefix + std::string(name); }
  Claim expected_claim(std::string_view holder, std::string_view name, std::uint64_t time) const {
    return Claim{ClaimTarget{kind().target_kind, Text(name)}, Text(holder), time, time};
  }

  ManualClock clock_{static_cast<std::int64_t>(kStart)};
  CoordinationState state_{clock_};
};

std::string kind_name(const testing::TestParamInfo<ClaimKind>& param_info) {
  return param_info.param.name;
}

TEST_P(ClaimKindTest, FreshClaimIsStoredMakesTheAgentBusyAndIsRecorded) {
  const auto result = claim(state_, kind(), "alice", "src/lib.rs");
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(describe(*result), describe(expected_claim("alice", "src/lib.rs", kStart)));

  const Snapshot after = snapshot_of(state_);
  EXPECT_EQ(after.claims,
            (std::map<std::string, std::string>{{key("src/lib.rs"), describe(*result)}}));
  EXPECT_EQ(after.statuses, (std::map<std::string, std::string>{{"alice", "busy"}}));
  EXPECT_EQ(after.history,
            (HistoryView{{kStart, {"claimed alice " + key("src/lib.rs") + at(kStart)}}}));
}

TEST_P(ClaimKindTest, LiveClaimIsRefusedEvenToItsHolderAndStaysAsItWas) {
  ASSERT_TRUE(claim(state_, kind(), "alice", "p"));
  clock_.set(kStart + 299);
  const Snapshot before = snapshot_of(state_);
  for (std::string_view caller : {"alice", "bob"}) {
    EXPECT_EQ(outcome(claim(state_, kind(), caller, "p")),
              std::string("alice") + kind().held_by + "p");
  }
  expect_same(before, snapshot_of(state_));
}

// (kind, seconds from the later stamp to the takeover)
class LeaseBoundaryTest : public testing::TestWithParam<std::tuple<ClaimKind, std::uint64_t>> {};

// The stored claim's later stamp is S; the key is refused at S+299 and taken over
// at S+300 or any time after. The previous holder's status is not touched, and the
// takeover records the new holder's claim, then the previous holder's release.
TEST_P(LeaseBoundaryTest, RefusedUpToThreeHundredSecondsThenTakenOver) {
  const auto& [kind, delay] = GetParam();
  ManualClock clock(static_cast<std::int64_t>(kStart));
  CoordinationState state(clock);
  const std::string key = kind.key_prefix + std::string("shared");
  ASSERT_TRUE(claim(state, kind, "alice", "shared"));
  state.set_status(Text("alice"), AgentStatus::kCompleted);  // any write to it would show

  clock.set(kStart + 299);
  const Snapshot before = snapshot_of(state);
  EXPECT_EQ(outcome(claim(state, kind, "bob", "shared")),
            std::string("alice") + kind.held_by + "shared");
  expect_same(before, snapshot_of(state));

  const std::uint64_t takeover = kStart + delay;
  clock.set(static_cast<std::int64_t>(takeover));
  const auto result = claim(state, kind, "bob", "shared");
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(result->holder, "bob");
  EXPECT_EQ(result->claimed_at, takeover);
  EXPECT_EQ(result->renewed_at, takeover);

  const Snapshot after = snapshot_of(state);
  EXPECT_EQ(after.claims, (std::map<std::string, std::string>{{key, describe(*result)}}));
  EXPECT_EQ(after.statuses,
            (std::map<std::string, std::string>{{"alice", "completed"}, {"bob", "busy"}}));
  HistoryView expected_history = before.history;
  expected_history[takeover] = {"claimed bob " + key + at(takeover),
                                "released alice " + key + at(takeover)};
  EXPECT_EQ(after.history, expected_history);

  // The new claim has a lease of its own.
  clock.set(static_cast<std::int64_t>(takeover + 299));
  EXPECT_EQ(outcome(claim(state, kind, "alice", "shared")),
            std::string("bob") + kind.held_by + "shared");
}

INSTANTIATE_TEST_SUITE_P(
    Delays, LeaseBoundaryTest,
    testing::Combine(testing::Values(kFile, kTask),
                     testing::Values(std::uint64_t{300}, std::uint64_t{301},
                                     std::uint64_t{86'400 * 365})),
    [](const testing::TestParamInfo<LeaseBoundaryTest::ParamType>& param_info) {
      return std::string(std::get<0>(param_info.param).name) + "After" +
             std::to_string(std::get<1>(param_info.param));
    });

TEST_P(ClaimKindTest, HolderTakesOverItsOwnExpiredClaim) {
  ASSERT_TRUE(claim(state_, kind(), "alice", "p"));
  clock_.set(kStart + 300);
  const auto result = claim(state_, kind(), "alice", "p");
  ASSERT_TRUE(result.has_value()) << result.error().message;
  EXPECT_EQ(describe(*result), describe(expected_claim("alice", "p", kStart + 300)));
  EXPECT_EQ(snapshot_of(state_).history,
            (HistoryView{{kStart, {"claimed alice " + key("p") + at(kStart)}},
                         {kStart + 300,
                          {"claimed alice " + key("p") + at(kStart + 300),
                           "released alice " + key("p") + at(kStart + 300)}}}));
}

// Renewal resets both stamps, live or expired, so the key is held for a full lease
// from the renewal on; it writes no status and no history.
TEST_P(ClaimKindTest, RenewalStartsAFullLeaseWhetherLiveOrExpired) {
  for (std::uint64_t renew_after : {std::uint64_t{200}, std::uint64_t{300}, std::uint64_t{5000}}) {
    SCOPED_TRACE(testing::Message() << "renewed after " << renew_after);
    ManualClock clock(static_cast<std::int64_t>(kStart));
    CoordinationState state(clock);
    ASSERT_TRUE(claim(state, kind(), "alice", "p"));
    state.set_status(Text("alice"), AgentStatus::kError);

    const std::uint64_t renewed = kStart + renew_after;
    clock.set(static_cast<std::int64_t>(renewed));
    const Snapshot before = snapshot_of(state);
    const auto result = as_claim(state.renew_claim(BorrowedText("alice"), BorrowedText(key("p"))),
                                 kind().target_kind, "alice", "p");
    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(describe(*result), describe(expected_claim("alice", "p", renewed)));

    const Snapshot after = snapshot_of(state);
    EXPECT_EQ(after.claims, (std::map<std::string, std::string>{{key("p"), describe(*result)}}));
    EXPECT_EQ(after.statuses, before.statuses);
    EXPECT_EQ(after.history, before.history);

    clock.set(static_cast<std::int64_t>(renewed + 299));
    EXPECT_EQ(outcome(claim(state, kind(), "bob", "p")),
              std::string("alice") + kind().held_by + "p");
    clock.set(static_cast<std::int64_t>(renewed + 300));
    EXPECT_EQ(outcome(claim(state, kind(), "bob", "p")), "ok");
  }
}

// A clock stepped back never ages a claim: elapsed time counts as 0.
TEST_P(ClaimKindTest, ClockSteppedBackKeepsTheClaimLive) {
  ASSERT_TRUE(claim(state_, kind(), "alice", "p"));
  for (std::int64_t now :
       {std::int64_t{0}, static_cast<std::int64_t>(kStart) - 86'400,
        static_cast<std::int64_t>(kStart) - 1, static_cast<std::int64_t>(kStart) + 299}) {
    clock_.set(now);
    EXPECT_EQ(outcome(claim(state_, kind(), "bob", "p")),
              std::string("alice") + kind().held_by + "p")
        << "at " << now;
  }
  clock_.set(kStart + 300);
  EXPECT_EQ(outcome(claim(state_, kind(), "bob", "p")), "ok");
}

// Release removes the claim whatever its age and makes the releaser idle although
// it still holds another claim; the key is then unknown to renew and release, and
// free for a plain new claim.
TEST_P(ClaimKindTest, ReleaseRemovesTheClaimAndMakesTheHolderIdle) {
  ASSERT_TRUE(claim(state_, kind(), "alice", "p"));
  ASSERT_TRUE(claim(state_, kind(), "alice", "q"));
  clock_.set(kStart + 1000);  // both expired; the holder may still release
  EXPECT_EQ(outcome(state_.release(BorrowedText("alice"), BorrowedText(key("p")))), "ok");

  Snapshot after = snapshot_of(state_);
  EXPECT_EQ(after.claims, (std::map<std::string, std::string>{
                              {key("q"), describe(expected_claim("alice", "q", kStart))}}));
  EXPECT_EQ(after.statuses, (std::map<std::string, std::string>{{"alice", "idle"}}));
  EXPECT_EQ(after.history[kStart + 1000],
            (std::vector<std::string>{"released alice " + key("p") + at(kStart + 1000)}));

  EXPECT_EQ(outcome(state_.renew_claim(BorrowedText("alice"), BorrowedText(key("p")))),
            "no claim on " + key("p") + " to renew");
  EXPECT_EQ(outcome(state_.release(BorrowedText("alice"), BorrowedText(key("p")))),
            "no claim found for alice");

  clock_.set(kStart + 1001);
  EXPECT_EQ(outcome(claim(state_, kind(), "bob", "p")), "ok");
  EXPECT_EQ(snapshot_of(state_).history[kStart + 1001],
            (std::vector<std::string>{"claimed bob " + key("p") + at(kStart + 1001)}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ClaimKindTest, testing::Values(kFile, kTask), kind_name);

// --- Refusals ------------------------------------------------------------------------

// Every refusal, with its exact message; none of them changes any table. Alice holds
// the file "src/x.rs" and the task "T-1"; the file's lease has run out, the task's not.
TEST(ClaimsTest, RefusalsCarryTheirExactMessageAndChangeNothing) {
  struct Case {
    const char* what;
    std::function<std::string(CoordinationState&)> operation;
    std::string message;
  };
  const auto claim_file = [](const char* agent, const char* path) {
    return [=](CoordinationState& s) {
      return outcome(s.claim_file(BorrowedText(agent), BorrowedText(path)));
    };
  };
  const auto claim_task = [](const char* agent, const char* task) {
    return [=](CoordinationState& s) {
      return outcome(s.claim_task(BorrowedText(agent), BorrowedText(task)));
    };
  };
  const auto renew = [](const char* agent, const char* key) {
    return [=](CoordinationState& s) {
      return outcome(s.renew_claim(BorrowedText(agent), BorrowedText(key)));
    };
  };
  const auto release = [](const char* agent, const char* key) {
    return [=](CoordinationState& s) {
      return outcome(s.release(BorrowedText(agent), BorrowedText(key)));
    };
  };
  const std::vector<Case> cases = {
      {"task held, by another", claim_task("bob", "T-1"), "alice already holds claim on task T-1"},
      {"task held, by the holder", claim_task("alice", "T-1"),
       "alice already holds claim on task T-1"},
      {"renew, no claim", renew("alice", "file:nope"), "no claim on file:nope to renew"},
      {"renew, bare path", renew("alice", "src/x.rs"), "no claim on src/x.rs to renew"},
      {"renew, other kind", renew("alice", "task:src/x.rs"), "no claim on task:src/x.rs to renew"},
      {"renew, empty key", renew("alice", ""), "no claim on  to renew"},
      {"renew, expired, not holder", renew("bob", "file:src/x.rs"),
       "bob cannot renew a claim held by alice"},
      {"renew, live, not holder", renew("bob", "task:T-1"),
       "bob cannot renew a claim held by alice"},
      {"renew, holder in other case", renew("Alice", "task:T-1"),
       "Alice cannot renew a claim held by alice"},
      {"release, no claim", release("bob", "file:nope"), "no claim found for bob"},
      {"release, bare path", release("alice", "src/x.rs"), "no claim found for alice"},
      {"release, key in other case", release("alice", "FILE:src/x.rs"), "no claim found for alice"},
      {"release, expired, not holder", release("bob", "file:src/x.rs"),
       "bob cannot release a claim held by alice"},
      {"release, live, not holder", release("bob", "task:T-1"),
       "bob cannot release a claim held by alice"},
      {"release, empty agent", release("", "task:T-1"), " cannot release a claim held by alice"},
      {"release, holder with a space", release("alice ", "task:T-1"),
       "alice  cannot release a claim held by alice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ManualClock clock(static_cast<std::int64_t>(kStart));
    CoordinationState state(clock);
    ASSERT_TRUE(state.claim_file(BorrowedText("alice"), BorrowedText("src/x.rs")));
    clock.set(kStart + 100);
    ASSERT_TRUE(state.claim_task(BorrowedText("alice"), BorrowedText("T-1")));
    state.send_message(BorrowedText("carol"), BorrowedText("bob"),
                       BorrowedText("hi"));  // bob: idle
    clock.set(kStart + 350);
    const Snapshot before = snapshot_of(state);
    EXPECT_EQ(c.operation(state), c.message);
    expect_same(before, snapshot_of(state));
  }

  // A live file claim names the path as passed, not the key.
  ManualClock clock(static_cast<std::int64_t>(kStart));
  CoordinationState state(clock);
  ASSERT_TRUE(state.claim_file(BorrowedText("alice"), BorrowedText("src/x.rs")));
  const Snapshot before = snapshot_of(state);
  EXPECT_EQ(claim_file("bob", "src/x.rs")(state), "alice already holds claim on src/x.rs");
  expect_same(before, snapshot_of(state));
}

// --- Keys ----------------------------------------------------------------------------

TEST(ClaimsTest, KeysAreThePrefixedNamesUsedExactly) {
  ManualClock clock(static_cast<std::int64_t>(kStart));
  CoordinationState state(clock);
  const std::string long_name(100, 'n');
  const std::string long_agent(40, 'a');
  struct Case {
    const ClaimKind* kind;
    std::string agent;
    std::string name;
  };
  const std::vector<Case> cases = {
      {&kFile, "alice", "x"},    {&kTask, "bob", "x"},   // same name, different kinds
      {&kFile, "carol", "./a"},  {&kFile, "dave", "a"},  // same file, different texts
      {&kFile, "erin", "A"},     {&kFile, "", ""},       // case matters; empty is valid
      {&kTask, "", ""},          {&kFile, long_agent, long_name},
      {&kFile, "frank", "a/ b"},
  };
  std::map<std::string, std::string> expected_claims;
  for (const Case& c : cases) {
    const auto result = claim(state, *c.kind, c.agent, c.name);
    ASSERT_TRUE(result.has_value())
        << c.kind->name << " '" << c.name << "': " << result.error().message;
    expected_claims[c.kind->key_prefix + c.name] = describe(
        Claim{ClaimTarget{c.kind->target_kind, Text(c.name)}, Text(c.agent), kStart, kStart});
  }
  EXPECT_EQ(snapshot_of(state).claims, expected_claims);
  EXPECT_EQ(outcome(state.release(BorrowedText(""), BorrowedText("file:"))), "ok");
  EXPECT_EQ(outcome(state.release(BorrowedText(""), BorrowedText("task:"))), "ok");
  EXPECT_EQ(outcome(state.release(BorrowedText(long_agent), BorrowedText("file:" + long_name))),
            "ok");
}

// The table keeps no target: the stored key gives it back, only the first prefix
// counting. Every key in the table has one of the two prefixes.
TEST(ClaimsTest, TheTargetIsTheKeyWithoutItsFirstPrefix) {
  using enum ClaimTarget::Kind;
  const std::vector<std::tuple<std::string, ClaimTarget::Kind, std::string>> cases = {
      {"file:src/a.rs", kFile, "src/a.rs"},
      {"task:", kTask, ""},
      {"file:task:x", kFile, "task:x"},
      {"task:file:", kTask, "file:"}};
  for (const auto& [key, kind, name] : cases) {
    EXPECT_EQ(claim_of(key, StoredClaim{Text("h"), 5, 6}),
              (Claim{ClaimTarget{kind, Text(name)}, Text("h"), 5, 6}));
  }
  for (std::string_view bad : {"", "file", "FILE:x", " file:x", "tasks:x"}) {
    EXPECT_THROW(target_of_key(bad), FatalFailure) << "'" << bad << "'";
  }
}

// Ids and names too long to be stored inline, and names that look like keys, through
// every path: fresh claim, refusal, takeover (whose events take the key from the
// table while it is held), renewal (whose target comes from the key) and release.
TEST(ClaimsTest, LongAndKeyLikeTextsSurviveEveryPath) {
  const std::string first(40, 'f');
  const std::string second(33, 's');
  for (const ClaimKind* kind : {&kFile, &kTask}) {
    for (const std::string name : {"src/deeply/nested/module_0042.rs", "file:task:x"}) {
      SCOPED_TRACE(testing::Message() << kind->name << " " << name);
      ManualClock clock(static_cast<std::int64_t>(kStart));
      CoordinationState state(clock);
      const std::string key = kind->key_prefix + name;
      const auto expected = [&](const std::string& holder, std::uint64_t time) {
        return Claim{ClaimTarget{kind->target_kind, Text(name)}, Text(holder), time, time};
      };
      EXPECT_EQ(claim(state, *kind, first, name), expected(first, kStart));
      EXPECT_EQ(outcome(claim(state, *kind, second, name)), first + kind->held_by + name);

      clock.set(static_cast<std::int64_t>(kStart + 300));
      EXPECT_EQ(claim(state, *kind, second, name), expected(second, kStart + 300));
      clock.set(static_cast<std::int64_t>(kStart + 301));
      EXPECT_EQ(state.renew_claim(BorrowedText(second), BorrowedText(key)),
                (ClaimStamps{kStart + 301, kStart + 301}));
      EXPECT_EQ(snapshot_of(state).claims.at(key), describe(expected(second, kStart + 301)));
      EXPECT_EQ(outcome(state.release(BorrowedText(second), BorrowedText(key))), "ok");
      EXPECT_EQ(
          snapshot_of(state).history,
          (HistoryView{{kStart, {"claimed " + first + " " + key + at(kStart)}},
                       {kStart + 300,
                        {"claimed " + second + " " + key + at(kStart + 300),
                         "released " + first + " " + key + at(kStart + 300)}},
                       {kStart + 301, {"released " + second + " " + key + at(kStart + 301)}}}));
    }
  }
}

// --- Clock readings ------------------------------------------------------------------

// A clock that moves one second forward after every reading while `ticking`, and
// stands still otherwise.
class TickingClock final : public Clock {
 public:
  explicit TickingClock(std::int64_t seconds) : seconds_(seconds) {}
  ClockReading read() const noexcept override {
    return {ticking_.load() ? seconds_.fetch_add(1) : seconds_.load(), 0};
  }
  void set(std::int64_t seconds, bool ticking) {
    seconds_.store(seconds);
    ticking_.store(ticking);
  }

 private:
  mutable std::atomic<std::int64_t> seconds_;
  std::atomic<bool> ticking_{true};
};

// The two stamps come from two successive readings, and the lease runs from the
// later one; the history event takes a reading of its own after both.
TEST(ClaimsTest, StampsAreSuccessiveReadingsAndTheLeaseRunsFromTheLaterOne) {
  TickingClock clock(static_cast<std::int64_t>(kStart));
  CoordinationState state(clock);
  const auto result = state.claim_file(BorrowedText("alice"), BorrowedText("p"));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->claimed_at, kStart);
  EXPECT_EQ(result->renewed_at, kStart + 1);
  const HistoryView history = snapshot_of(state).history;
  ASSERT_EQ(history.size(), 1u);
  ASSERT_EQ(history.begin()->second.size(), 1u);
  const std::string& event = history.begin()->second.front();
  const std::uint64_t event_time = std::stoull(event.substr(event.find('@') + 1));
  EXPECT_GT(event_time, kStart + 1) << event;

  clock.set(static_cast<std::int64_t>(kStart + 1 + 299), false);
  EXPECT_EQ(outcome(state.claim_file(BorrowedText("bob"), BorrowedText("p"))),
            "alice already holds claim on p");
  clock.set(static_cast<std::int64_t>(kStart + 1 + 300), false);
  EXPECT_EQ(outcome(state.claim_file(BorrowedText("bob"), BorrowedText("p"))), "ok");
}

}  // namespace
}  // namespace galtro
