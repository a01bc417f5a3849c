// Removing delivered messages: only the delivered ones still at the front of the inbox,
// never one that arrived after them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/coordination_state.h"
#include "core/inbox.h"
#include "core/state_reader.h"
#include "message_tuples.h"

namespace galtro {
namespace {

// Letter `n` of an alphabet of four messages (sender and timestamp from n's two low
// bits), so that random runs repeat messages and the search meets its ambiguous cases.
PendingMessage letter(unsigned n) {
  return PendingMessage::direct(Text(n % 2 == 0 ? "a" : "b"),
                                Text("the same body, long enough for the heap"), n / 2 % 2);
}

// The brute-force answer: the longest run of the last delivered messages that equals
// as many messages from the front.
std::size_t expected_removal(const std::vector<PendingMessage>& delivered,
                             const std::vector<PendingMessage>& pending) {
  for (std::size_t length = std::min(delivered.size(), pending.size()); length > 0; --length) {
    if (std::equal(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length),
                   delivered.end() - static_cast<std::ptrdiff_t>(length),
                   DeliveredRun::same_delivery)) {
      return length;
    }
  }
  return 0;
}

TEST(RemoveDelivered, MatchesTheBruteForceAnswerOnRandomRunsAcrossTheRingsEdge) {
  const std::uint32_t seed = 20261209;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 20000; ++round) {
    std::vector<PendingMessage> delivered, pending;
    const std::size_t delivered_count = random() % 9, pending_count = random() % 11;
    const unsigned alphabet = 1 + random() % 4;
    for (std::size_t i = 0; i < delivered_count; ++i)
      delivered.push_back(letter(random() % alphabet));
    for (std::size_t i = 0; i < pending_count; ++i) pending.push_back(letter(random() % alphabet));

    Inbox inbox;
    // Some messages pushed and removed first, so that the pending run may wrap around.
    const std::size_t offset = random() % 8;
    for (std::size_t i = 0; i < offset; ++i) inbox.push_back(letter(7));
    for (const PendingMessage& message : pending) inbox.push_back(message);
    std::vector<PendingMessage> sevens(offset, letter(7));
    ASSERT_EQ(inbox.remove_delivered(DeliveredRun(sevens)), offset);

    const std::size_t removed = inbox.remove_delivered(DeliveredRun(delivered));
    ASSERT_EQ(removed, expected_removal(delivered, pending)) << "round " << round;
    ASSERT_EQ(as_tuples(inbox.copy_all(), "x"),
              as_tuples(std::vector<PendingMessage>(
                            pending.begin() + static_cast<std::ptrdiff_t>(removed), pending.end()),
                        "x"));
  }
}

TEST(RemoveDelivered, TakesOffOnlyWhatIsStillThereAndNothingThatArrivedAfter) {
  ManualClock clock(1000);
  CoordinationState state(clock);
  for (const char* content : {"one", "two", "three"}) {
    state.send_message(BorrowedText("alice"), BorrowedText("bob"), BorrowedText(content));
  }
  state.broadcast(BorrowedText("carol"), BorrowedText("four"));
  const std::vector<PendingMessage> read = state.inbox("bob");
  ASSERT_EQ(read.size(), 4u);

  // Meanwhile another reader removed the first two and a message arrived.
  state.remove_delivered("bob", DeliveredRun({read[0], read[1]}));
  state.send_message(BorrowedText("alice"), BorrowedText("bob"), BorrowedText("five"));

  // The broadcast flag is not compared: a reader outside the core cannot see it.
  std::vector<PendingMessage> seen;
  for (const PendingMessage& m : read)
    seen.push_back(PendingMessage::direct(m.from_agent(), m.content(), m.timestamp()));
  EXPECT_EQ(state.remove_delivered("bob", DeliveredRun(seen)), 2u);
  EXPECT_EQ(listed(state, "bob"), (Messages{{"alice", "bob", "five", 1000}}));
  EXPECT_EQ(state.remove_delivered("bob", DeliveredRun(seen)), 0u);  // none of them is left

  // An inbox that does not exist stays so.
  EXPECT_EQ(state.remove_delivered("nobody", DeliveredRun(seen)), 0u);
  std::vector<std::string> owners;
  for (const InboxReading& reading : StateReader(state).inbox_sizes()) {
    owners.push_back(reading.agent_id.str());
  }
  EXPECT_EQ(owners, (std::vector<std::string>{"bob", "carol"}));  // the broadcast reached both
}

}  // namespace
}  // namespace galtro
