// Giving drained messages back: they return in front of anything that arrived since,
// oldest first, and the inbox keeps working as a ring afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/clock.h"
#include "lib/coordination_state.h"
#include "lib/inbox.h"

namespace galtro {
namespace {

std::vector<std::string> contents(const std::vector<Message>& messages) {
  std::vector<std::string> out;
  for (const Message& message : messages) out.push_back(message.content.str());
  return out;
}

TEST(InboxRestore, DrainedMessagesReturnInFrontInOrder) {
  ManualClock clock;
  CoordinationState state(clock);
  // Wrap the ring first so that restoring crosses its end.
  for (int i = 0; i < 3; ++i) state.send_message(Text("s"), Text("b"), Text("old"));
  (void)state.drain_inbox(Text("b"));
  for (int i = 0; i < 3; ++i) {
    state.send_message(Text("s"), Text("b"), Text("m" + std::to_string(i)));
  }
  state.broadcast(Text("b"), Text("everyone"));

  std::vector<Message> taken = state.drain_inbox(Text("b"));
  state.send_message(Text("s"), Text("b"), Text("later"));
  state.return_drained(Text("b"), std::move(taken));

  const std::vector<Message> listed = state.inbox(Text("b"));
  EXPECT_EQ(contents(listed), (std::vector<std::string>{"m0", "m1", "m2", "everyone", "later"}));
  EXPECT_EQ(*listed[0].to_agent, Text("b"));
  EXPECT_FALSE(listed[3].to_agent.has_value()) << "a broadcast stays a broadcast";
  EXPECT_EQ(contents(state.drain_inbox(Text("b"))), contents(listed));
  EXPECT_TRUE(state.inbox(Text("b")).empty());
}

TEST(InboxRestore, RestoreGrowsWhenMoreArrivedThanTheStorageHolds) {
  Inbox inbox;
  std::vector<Message> back;
  for (int i = 0; i < 6; ++i)
    back.push_back(Message{Text("s"), Text("o"), Text(std::to_string(i)), 1});
  for (int i = 6; i < 10; ++i) {
    inbox.push_back(PendingMessage::direct(Text("s"), Text(std::to_string(i)), 1));
  }
  inbox.restore_front(std::move(back));
  const std::vector<Message> all = inbox.take_all("o");
  ASSERT_EQ(all.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(all[i].content.str(), std::to_string(i));
}

}  // namespace
}  // namespace galtro
