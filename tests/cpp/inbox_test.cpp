// Inbox: first in first out, storage that grows by doubling and survives a drain.
#include "core/inbox.h"

#include "message_tuples.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/fatal_failure.h"

namespace galtro {
namespace {

using namespace std::string_view_literals;

// Whose inbox it is: every direct message is addressed to it, and the listings name
// it. Longer than the inline capacity of a text, so that each listing copies it.
constexpr std::string_view kOwner = "the owner of this inbox";

void push(Inbox& inbox, const Message& message) {
  inbox.push_back(pending_of(message));
}

// Message number `n`; content longer than the inline capacity of a text so that
// moves between slots are real pointer hand-overs. Every third one is a broadcast.
Message numbered(std::uint64_t n) {
  std::optional<Text> to;
  if (n % 3 != 0) to = Text(kOwner);
  return Message{Text("sender-" + std::to_string(n % 7)), std::move(to),
                 Text("message number " + std::to_string(n) + " with a heap-sized body"), n};
}

bool is_power_of_two(std::size_t n) {
  return n != 0 && (n & (n - 1)) == 0;
}

TEST(InboxTest, NewInboxIsEmptyAndReservesNothing) {
  Inbox inbox;
  EXPECT_TRUE(inbox.empty());
  EXPECT_EQ(inbox.capacity(), 0u);
  EXPECT_TRUE(inbox.copy_all().empty());
  EXPECT_TRUE(hand_on_all(inbox).empty());
  EXPECT_EQ(inbox.capacity(), 0u);
}

TEST(InboxTest, KeepsArrivalOrderAndFieldsUnchanged) {
  Inbox inbox;
  const Message direct{Text("alice"), Text(kOwner), Text("hello"), 10};
  const Message broadcast{Text("carol"), std::nullopt, Text(""), 11};
  const Message long_one{Text(std::string(40, 'x')), Text(kOwner), Text("caf\xc3\xa9\0!"sv), 9};
  push(inbox, direct);
  push(inbox, broadcast);
  push(inbox, long_one);
  EXPECT_EQ(inbox.size(), 3u);
  EXPECT_EQ(as_tuples(inbox.copy_all(), kOwner),
            as_tuples(std::vector<Message>{direct, broadcast, long_one}));
}

TEST(InboxTest, CopyAllLeavesTheInboxUnchanged) {
  Inbox inbox;
  for (std::uint64_t n = 0; n < 6; ++n) push(inbox, numbered(n));
  const std::size_t capacity = inbox.capacity();
  const auto first = inbox.copy_all();
  const auto second = inbox.copy_all();
  EXPECT_EQ(as_tuples(first, kOwner), as_tuples(second, kOwner));
  EXPECT_EQ(inbox.size(), 6u);
  EXPECT_EQ(inbox.capacity(), capacity);
  EXPECT_EQ(as_tuples(hand_on_all(inbox), kOwner), as_tuples(first, kOwner));
}

TEST(InboxTest, TakeAllEmptiesButKeepsCapacityAndTheInboxStillWorks) {
  Inbox inbox;
  for (std::uint64_t n = 0; n < 5; ++n) push(inbox, numbered(n));
  const std::size_t capacity = inbox.capacity();
  ASSERT_GE(capacity, 5u);

  const auto taken = hand_on_all(inbox);
  ASSERT_EQ(taken.size(), 5u);
  for (std::uint64_t n = 0; n < 5; ++n) EXPECT_EQ(as_tuple(taken[n], kOwner), as_tuple(numbered(n)));
  EXPECT_TRUE(inbox.empty());
  EXPECT_EQ(inbox.capacity(), capacity);
  EXPECT_TRUE(inbox.copy_all().empty());
  EXPECT_TRUE(hand_on_all(inbox).empty());

  // Refilling up to the kept capacity needs no new storage.
  for (std::uint64_t n = 100; n < 100 + capacity; ++n) push(inbox, numbered(n));
  EXPECT_EQ(inbox.capacity(), capacity);
  const auto refilled = hand_on_all(inbox);
  ASSERT_EQ(refilled.size(), capacity);
  for (std::size_t i = 0; i < capacity; ++i)
    EXPECT_EQ(as_tuple(refilled[i], kOwner), as_tuple(numbered(100 + i)));
}

TEST(InboxTest, GrowsByDoublingFromFourAndKeepsOrderAcrossThousands) {
  Inbox inbox;
  std::vector<std::size_t> capacities;
  constexpr std::uint64_t kCount = 20'000;
  for (std::uint64_t n = 0; n < kCount; ++n) {
    push(inbox, numbered(n));
    if (capacities.empty() || capacities.back() != inbox.capacity()) {
      capacities.push_back(inbox.capacity());
    }
  }
  ASSERT_FALSE(capacities.empty());
  EXPECT_EQ(capacities.front(), Inbox::kFirstCapacity);
  for (std::size_t i = 1; i < capacities.size(); ++i) {
    EXPECT_EQ(capacities[i], capacities[i - 1] * 2);
  }
  EXPECT_GE(inbox.capacity(), kCount);

  const auto copied = inbox.copy_all();
  ASSERT_EQ(copied.size(), kCount);
  for (std::uint64_t n = 0; n < kCount; ++n)
    ASSERT_EQ(as_tuple(copied[n], kOwner), as_tuple(numbered(n))) << "at " << n;
  EXPECT_EQ(as_tuples(hand_on_all(inbox), kOwner), as_tuples(copied, kOwner));
  EXPECT_TRUE(inbox.empty());
}

// Pushes and drains in seeded random batches, checked against a deque, so that
// messages are pending across every growth and drain point.
TEST(InboxTest, InterleavedPushesAndDrainsMatchAQueue) {
  for (std::uint32_t seed = 0; seed < 20; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    Inbox inbox;
    std::deque<Message> model;
    std::uint64_t next = 0;
    std::size_t largest_capacity = 0;
    for (int round = 0; round < 60; ++round) {
      const int pushes = std::uniform_int_distribution<int>(0, 40)(random);
      for (int i = 0; i < pushes; ++i) {
        push(inbox, numbered(next));
        model.push_back(numbered(next));
        ++next;
      }
      ASSERT_EQ(inbox.size(), model.size());
      ASSERT_TRUE(inbox.capacity() == 0 || is_power_of_two(inbox.capacity()));
      ASSERT_GE(inbox.capacity(), largest_capacity) << "storage is never given back";
      largest_capacity = inbox.capacity();

      switch (std::uniform_int_distribution<int>(0, 2)(random)) {
        case 0:
          ASSERT_EQ(as_tuples(inbox.copy_all(), kOwner), as_tuples(model));
          break;
        case 1:
          ASSERT_EQ(as_tuples(hand_on_all(inbox), kOwner), as_tuples(model));
          model.clear();
          break;
        default:
          break;  // leave the messages pending into the next round
      }
    }
    ASSERT_EQ(as_tuples(hand_on_all(inbox), kOwner), as_tuples(model));
  }
}

TEST(InboxTest, MoveHandsOverMessagesAndStorage) {
  Inbox source;
  for (std::uint64_t n = 0; n < 9; ++n) push(source, numbered(n));
  const std::size_t capacity = source.capacity();

  Inbox moved(std::move(source));
  EXPECT_EQ(moved.size(), 9u);
  EXPECT_EQ(moved.capacity(), capacity);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): a move empties it
  EXPECT_EQ(source.capacity(), 0u);

  // Move assignment onto an inbox with pending messages drops those.
  Inbox target;
  for (std::uint64_t n = 50; n < 53; ++n) push(target, numbered(n));
  target = std::move(moved);
  const auto messages = target.copy_all();
  ASSERT_EQ(messages.size(), 9u);
  for (std::uint64_t n = 0; n < 9; ++n) EXPECT_EQ(as_tuple(messages[n], kOwner), as_tuple(numbered(n)));

  // A moved-from inbox is usable again.
  push(source, numbered(77));
  EXPECT_EQ(as_tuples(hand_on_all(source), kOwner), as_tuples(std::vector<Message>{numbered(77)}));
}

// --- The stored form of a message -------------------------------------------------------

// No addressee is stored: a copy names the owner it is made for if the message was
// direct, and no one for a broadcast. The flag shares a word with the timestamp, which
// keeps all 63 bits that clock readings use; a 64th is a broken invariant.
TEST(PendingMessageTest, KeepsTimestampAndDirectnessAndNamesTheOwner) {
  const std::string long_owner(30, 'o');
  for (std::uint64_t time : {std::uint64_t{0}, PendingMessage::kMaxTimestamp}) {
    const PendingMessage direct =
        pending_of(Message{Text("alice"), Text("whoever"), Text("hi"), time});
    const PendingMessage all = PendingMessage::broadcast(Text("bob"), Text(""), time);
    EXPECT_EQ(direct.timestamp(), time);
    EXPECT_EQ(all.timestamp(), time);
    EXPECT_FALSE(direct.is_broadcast());
    EXPECT_TRUE(all.is_broadcast());
    Inbox inbox;
    inbox.push_back(direct);
    inbox.push_back(all);
    for (std::string_view owner : {"bob"sv, std::string_view(long_owner)}) {
      EXPECT_EQ(as_tuples(inbox.copy_all(), owner),
                (std::vector<MessageTuple>{{"alice", std::string(owner), "hi", time},
                                           {"bob", std::nullopt, "", time}}));
    }
  }
  EXPECT_THROW(PendingMessage::direct(Text("a"), Text("b"), PendingMessage::kMaxTimestamp + 1),
               FatalFailure);
  EXPECT_THROW(PendingMessage::broadcast(Text("a"), Text("b"), ~std::uint64_t{0}), FatalFailure);
}

}  // namespace
}  // namespace galtro
