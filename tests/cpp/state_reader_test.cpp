// The read-only reader: what it shows of each table, the lease it computes, history
// ranges; that reading changes nothing; and readers beside writers (run under
// ThreadSanitizer too; bounded by operation counts).
#include "core/state_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/clock.h"
#include "core/coordination_state.h"
#include "core/records.h"

namespace galtro {
namespace {

constexpr std::int64_t kStart = 1'700'000'000;
constexpr std::uint64_t kS = kStart;

Text t(std::string_view text) {
  return Text(text);
}

// Everything a reader can see, as one comparable value.
struct Everything {
  std::vector<ClaimReading> claims;
  std::vector<AgentReading> agents;
  std::vector<InboxReading> inboxes;
  std::vector<HistoryEvent> history;
  friend bool operator==(const Everything&, const Everything&) = default;
};

Everything read_all(const CoordinationState& state) {
  const StateReader reader(state);
  return {reader.claims(), reader.agents(), reader.inbox_sizes(), reader.history()};
}

TEST(StateReaderTest, ShowsEveryTableSortedAndChangesNothing) {
  ManualClock clock(kStart);
  CoordinationState state(clock);
  const StateReader reader(state);
  EXPECT_EQ(read_all(state), Everything{});

  ASSERT_TRUE(state.claim_task(BorrowedText("b"), BorrowedText("t1")));
  clock.advance(100);
  ASSERT_TRUE(state.claim_file(BorrowedText("a"), BorrowedText("src/x.py")));
  state.send_message(BorrowedText("a"), BorrowedText("c"), BorrowedText("hi"));
  clock.advance(1);
  state.broadcast(BorrowedText("b"), BorrowedText("all"));
  state.drain_inbox(BorrowedText("b")).commit();
  static_cast<void>(state.inbox(t("reader-only")));  // an empty inbox, no status entry

  // At S+299 the task claim is live for one more second, at S+300 it is expired.
  clock.set(kStart + 299);
  EXPECT_EQ(reader.claims(), (std::vector<ClaimReading>{
                                 {t("file:src/x.py"), t("a"), kS + 100, kS + 100, kS + 400, false},
                                 {t("task:t1"), t("b"), kS, kS, kS + 300, false}}));
  clock.set(kStart + 300);
  EXPECT_TRUE(reader.claims()[1].expired);
  EXPECT_FALSE(reader.claims()[0].expired);

  EXPECT_EQ(reader.agents(), (std::vector<AgentReading>{{t("a"), AgentStatus::kBusy},
                                                        {t("b"), AgentStatus::kBusy},
                                                        {t("c"), AgentStatus::kIdle}}));
  EXPECT_EQ(
      reader.inbox_sizes(),
      (std::vector<InboxReading>{{t("a"), 1}, {t("b"), 0}, {t("c"), 2}, {t("reader-only"), 0}}));

  const std::vector<HistoryEvent> all = {
      ClaimedEvent{t("b"), t("task:t1"), kS},
      ClaimedEvent{t("a"), t("file:src/x.py"), kS + 100},
      MessageSentEvent{t("a"), t("c"), t("hi"), kS + 100},
      BroadcastEvent{t("b"), t("all"), kS + 101},
  };
  EXPECT_EQ(reader.history(), all);
  EXPECT_EQ(reader.history(kS + 1), (std::vector<HistoryEvent>(all.begin() + 1, all.end())));
  EXPECT_EQ(reader.history(kS + 100, 1), (std::vector<HistoryEvent>{all[1]}));
  EXPECT_EQ(reader.history(0, 0), std::vector<HistoryEvent>{});
  EXPECT_EQ(reader.history(kS + 102), std::vector<HistoryEvent>{});

  // Reading an expired claim neither takes it over nor renews it, and no read appends
  // history or makes an agent or inbox.
  const Everything before = read_all(state);
  clock.advance(10'000);
  const Everything after = read_all(state);
  EXPECT_EQ(after.agents, before.agents);
  EXPECT_EQ(after.inboxes, before.inboxes);
  EXPECT_EQ(after.history, before.history);
  ASSERT_EQ(after.claims.size(), 2u);
  EXPECT_EQ(after.claims[1].renewed_at, kS);
  EXPECT_TRUE(after.claims[0].expired && after.claims[1].expired);
}

TEST(StateReaderTest, ReadersBesideWriters) {
  ManualClock clock(kStart);
  CoordinationState state(clock);
  constexpr int kWriters = 3;
  constexpr int kReaders = 3;
  constexpr int kRounds = 400;
  std::latch start(kWriters + kReaders);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      const std::string agent = "w" + std::to_string(w);
      for (int i = 0; i < kRounds; ++i) {
        const std::string path = "p" + std::to_string(i % 5);
        if (state.claim_file(BorrowedText(agent), BorrowedText(path))) {
          static_cast<void>(state.renew_claim(BorrowedText(agent), BorrowedText("file:" + path)));
          static_cast<void>(state.release(BorrowedText(agent), BorrowedText("file:" + path)));
        }
        state.send_message(BorrowedText(agent), BorrowedText("r"), BorrowedText(path));
        if (i % 50 == 0) clock.advance(1);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      const StateReader reader(state);
      std::size_t seen_events = 0;
      for (int i = 0; i < kRounds / 4; ++i) {
        for (const ClaimReading& claim : reader.claims()) {
          EXPECT_EQ(claim.expires_at, std::max(claim.claimed_at, claim.renewed_at) + 300);
        }
        // History only grows, and in order of seconds.
        const std::vector<HistoryEvent> events = reader.history();
        EXPECT_GE(events.size(), seen_events);
        seen_events = events.size();
        static_cast<void>(reader.agents());
        static_cast<void>(reader.inbox_sizes());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const StateReader reader(state);
  EXPECT_TRUE(reader.claims().empty());
  ASSERT_EQ(reader.inbox_sizes().size(), 1u);
  EXPECT_EQ(reader.inbox_sizes()[0].pending, std::size_t{kWriters * kRounds});
  std::size_t sent = 0;
  for (const HistoryEvent& event : reader.history()) {
    sent += std::holds_alternative<MessageSentEvent>(event) ? 1 : 0;
  }
  EXPECT_EQ(sent, std::size_t{kWriters * kRounds});
}

}  // namespace
}  // namespace galtro
