// A drain whose messages are not handed on gives them back: in front of anything that
// arrived since, oldest first, into room the inbox kept for them, and no other drain
// sees them meanwhile.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"
#include "message_tuples.h"

namespace galtro {
namespace {

std::vector<std::string> contents(const Messages& messages) {
  std::vector<std::string> out;
  for (const MessageTuple& message : messages) out.push_back(std::get<2>(message));
  return out;
}

TEST(InboxGiveBack, DrainedMessagesReturnInFrontInOrderWhateverArrivedMeanwhile) {
  ManualClock clock;
  CoordinationState state(clock);
  const std::string owner(40, 'b');  // a key that lives on the heap
  // Wrap the ring first so that giving back crosses its end.
  for (int i = 0; i < 3; ++i)
    state.send_message(BorrowedText("s"), BorrowedText(owner), BorrowedText("old"));
  (void)drained(state, owner);
  for (int i = 0; i < 3; ++i) {
    state.send_message(BorrowedText("s"), BorrowedText(owner),
                       BorrowedText("m" + std::to_string(i)));
  }
  state.broadcast(BorrowedText(owner), BorrowedText("everyone"));
  {
    const BorrowedText owner_id(owner);
    DrainedMessages taken = state.drain_inbox(owner_id);
    ASSERT_EQ(taken.messages().size(), 4u);
    // More arrive than the ring had room for, and a second drain takes only those.
    for (int i = 0; i < 6; ++i) {
      state.send_message(BorrowedText("s"), BorrowedText(owner),
                         BorrowedText("late" + std::to_string(i)));
    }
    {
      DrainedMessages nested = state.drain_inbox(owner_id);
      EXPECT_EQ(nested.messages().size(), 6u);
    }  // given back too, before the outer one
    state.send_message(BorrowedText("s"), BorrowedText(owner), BorrowedText("last"));
  }  // not committed: given back

  const Messages listed_now = listed(state, owner);
  EXPECT_EQ(contents(listed_now),
            (std::vector<std::string>{"m0", "m1", "m2", "everyone", "late0", "late1", "late2",
                                      "late3", "late4", "late5", "last"}));
  EXPECT_EQ(std::get<1>(listed_now[0]), owner);
  EXPECT_FALSE(std::get<1>(listed_now[3]).has_value()) << "a broadcast stays a broadcast";
  EXPECT_EQ(drained(state, owner), listed_now);
  EXPECT_TRUE(listed(state, owner).empty());
  const auto entry = StateAccess::inboxes(state).get(owner);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->value().reserved(), 0u) << "a committed drain keeps no room";
}

}  // namespace
}  // namespace galtro
