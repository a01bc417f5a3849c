// Direct messages, broadcasts, and listing or draining an inbox.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"
#include "core/records.h"
#include "message_tuples.h"

namespace galtro {
namespace {

using namespace std::string_view_literals;

constexpr std::int64_t kStart = 1'700'000'000;
constexpr std::uint64_t kStartSecond = static_cast<std::uint64_t>(kStart);

MessageTuple direct(std::string from, std::string to, std::string content, std::uint64_t time) {
  return {std::move(from), std::move(to), std::move(content), time};
}

MessageTuple broadcast(std::string from, std::string content, std::uint64_t time) {
  return {std::move(from), std::nullopt, std::move(content), time};
}

// A message sent through the state, as its recipients are to see it: the caller's
// texts and the timestamp the operation returned.
MessageTuple sent_through(CoordinationState& state, const std::string& from, const std::string& to,
                          const std::string& content) {
  const std::uint64_t time =
      state.send_message(BorrowedText(from), BorrowedText(to), BorrowedText(content));
  return direct(from, to, content, time);
}
MessageTuple broadcast_through(CoordinationState& state, const std::string& from,
                               const std::string& content) {
  return broadcast(from, content, state.broadcast(BorrowedText(from), BorrowedText(content)));
}

std::map<std::string, std::string> statuses_of(const CoordinationState& state) {
  std::map<std::string, std::string> view;
  StateAccess::statuses(state).for_each([&view](const Text& agent, AgentStatus status) {
    view[agent.str()] = std::string(status_text(status));
  });
  return view;
}

// Pending messages of every inbox entry, read without going through the state.
std::map<std::string, Messages> inboxes_of(const CoordinationState& state) {
  std::map<std::string, Messages> view;
  StateAccess::inboxes(state).for_each([&view](const Text& agent, const Inbox& inbox) {
    view[agent.str()] = as_tuples(inbox.copy_all(), agent);
  });
  return view;
}

// Message events as (kind, from, to, content, time); `to` is empty for a broadcast.
using EventTuple = std::tuple<std::string, std::string, std::string, std::string, std::uint64_t>;

std::vector<EventTuple> message_events_of(const CoordinationState& state) {
  std::map<std::uint64_t, std::vector<EventTuple>> by_second;
  StateAccess::history(state).for_each(
      [&by_second](std::uint64_t second, const HistoryList& events) {
        for (const HistoryEvent& event : events.events()) {
          if (const auto* sent = std::get_if<MessageSentEvent>(&event)) {
            by_second[second].emplace_back("sent", sent->from_agent.str(), sent->to_agent.str(),
                                           sent->content.str(), sent->time);
          } else if (const auto* all = std::get_if<BroadcastEvent>(&event)) {
            by_second[second].emplace_back("broadcast", all->from_agent.str(), "",
                                           all->content.str(), all->time);
          }
        }
      });
  std::vector<EventTuple> flat;
  for (auto& [second, events] : by_second) flat.insert(flat.end(), events.begin(), events.end());
  return flat;
}

// A clock that moves one second forward after every reading.
class TickingClock final : public Clock {
 public:
  explicit TickingClock(std::int64_t seconds) : seconds_(seconds) {}
  ClockReading read() const noexcept override { return {seconds_.fetch_add(1), 0}; }

 private:
  mutable std::atomic<std::int64_t> seconds_;
};

class MessagingTest : public testing::Test {
 protected:
  ManualClock clock_{kStart};
  CoordinationState state_{clock_};
};

TEST_F(MessagingTest, InboxOfAnUnknownAgentIsEmptyAndMakesNoStatus) {
  EXPECT_TRUE(state_.inbox(Text("lurker")).empty());
  EXPECT_TRUE(drained(state_, "drainer").empty());
  EXPECT_TRUE(state_.inbox(Text("")).empty());
  EXPECT_EQ(inboxes_of(state_),
            (std::map<std::string, Messages>{{"", {}}, {"drainer", {}}, {"lurker", {}}}));
  EXPECT_TRUE(statuses_of(state_).empty());
  EXPECT_EQ(StateAccess::history(state_).size(), 0u);
}

// Messages from several senders, the recipient itself included, come back in the
// order they were sent; each send returns the timestamp the recipient will see, and
// only the recipient gets a status and an inbox.
TEST_F(MessagingTest, DirectMessagesArriveOnceOldestFirstAcrossSenders) {
  Messages returned;
  returned.push_back(sent_through(state_, "alice", "carol", "one"));
  clock_.advance(1);
  returned.push_back(sent_through(state_, "bob", "carol", "two"));
  returned.push_back(sent_through(state_, "alice", "carol", "three"));
  clock_.advance(5);
  returned.push_back(sent_through(state_, "carol", "carol", "self"));

  const Messages expected = {
      direct("alice", "carol", "one", kStartSecond),
      direct("bob", "carol", "two", kStartSecond + 1),
      direct("alice", "carol", "three", kStartSecond + 1),
      direct("carol", "carol", "self", kStartSecond + 6),
  };
  EXPECT_EQ(returned, expected);
  EXPECT_EQ(inboxes_of(state_), (std::map<std::string, Messages>{{"carol", expected}}));
  EXPECT_EQ(statuses_of(state_), (std::map<std::string, std::string>{{"carol", "idle"}}));
  EXPECT_EQ(message_events_of(state_), (std::vector<EventTuple>{
                                           {"sent", "alice", "carol", "one", kStartSecond},
                                           {"sent", "bob", "carol", "two", kStartSecond + 1},
                                           {"sent", "alice", "carol", "three", kStartSecond + 1},
                                           {"sent", "carol", "carol", "self", kStartSecond + 6},
                                       }));
}

TEST_F(MessagingTest, ListingTwiceAgreesThenDrainTakesTheSameAndLeavesItEmpty) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    for (int i = 0; i < 7; ++i) {
      state_.send_message(BorrowedText("s" + std::to_string(i % 3)), BorrowedText("r"),
                          BorrowedText("m" + std::to_string(round) + "." + std::to_string(i)));
    }
    const Messages messages = listed(state_, "r");
    ASSERT_EQ(messages.size(), 7u);
    EXPECT_EQ(listed(state_, "r"), messages);
    EXPECT_EQ(drained(state_, "r"), messages);
    EXPECT_TRUE(state_.inbox(Text("r")).empty());
    EXPECT_TRUE(drained(state_, "r").empty());
  }
  // The drained inbox keeps its entry and its storage.
  const auto entry = StateAccess::inboxes(state_).get("r"sv);
  ASSERT_TRUE(entry.has_value());
  EXPECT_TRUE(entry->value().empty());
  EXPECT_GE(entry->value().capacity(), 7u);
}

TEST_F(MessagingTest, FirstBroadcastReachesOnlyTheSender) {
  const MessageTuple sent = broadcast_through(state_, "solo", "anyone?");
  EXPECT_EQ(sent, broadcast("solo", "anyone?", kStartSecond));
  EXPECT_EQ(inboxes_of(state_), (std::map<std::string, Messages>{{"solo", {sent}}}));
  EXPECT_EQ(statuses_of(state_), (std::map<std::string, std::string>{{"solo", "idle"}}));
  EXPECT_EQ(message_events_of(state_),
            (std::vector<EventTuple>{{"broadcast", "solo", "", "anyone?", kStartSecond}}));
}

// A broadcast reaches exactly the agents with a status entry, its sender included:
// the addressee of a direct message and a claimer, but not the sender of a direct
// message nor agents that only listed or drained their inbox, failed to renew, or
// asked for a status. Every copy carries the one timestamp and no addressee.
TEST_F(MessagingTest, BroadcastReachesExactlyTheAgentsWithAStatus) {
  state_.send_message(BorrowedText("alice"), BorrowedText("bob"), BorrowedText("hello"));
  ASSERT_TRUE(state_.claim_file(BorrowedText("carol"), BorrowedText("src/a.rs")));
  state_.inbox(Text("dave"));
  drained(state_, "erin");
  ASSERT_FALSE(state_.renew_claim(BorrowedText("frank"), BorrowedText("file:src/a.rs")));
  ASSERT_FALSE(state_.renew_claim(BorrowedText("grace"), BorrowedText("file:none")));
  (void)state_.status("heidi");
  clock_.advance(7);

  const MessageTuple sent = broadcast_through(state_, "sam", "standup");
  const std::uint64_t now = kStartSecond + 7;
  EXPECT_EQ(sent, broadcast("sam", "standup", now));

  EXPECT_EQ(inboxes_of(state_), (std::map<std::string, Messages>{
                                    {"bob", {direct("alice", "bob", "hello", kStartSecond), sent}},
                                    {"carol", {sent}},
                                    {"dave", {}},
                                    {"erin", {}},
                                    {"sam", {sent}},
                                }));
  EXPECT_EQ(statuses_of(state_), (std::map<std::string, std::string>{
                                     {"bob", "idle"}, {"carol", "busy"}, {"sam", "idle"}}));

  // The listing of each recipient carries the message as stored.
  for (const char* recipient : {"bob", "carol", "sam"}) {
    EXPECT_EQ(listed(state_, recipient).back(), sent) << recipient;
  }
  EXPECT_EQ(message_events_of(state_).back(), (EventTuple{"broadcast", "sam", "", "standup", now}));

  // Later broadcasts also reach agents that became known in between.
  state_.send_message(BorrowedText("x"), BorrowedText("dave"), BorrowedText("now you are known"));
  const MessageTuple second = broadcast_through(state_, "carol", "again");
  for (const char* recipient : {"bob", "carol", "dave", "sam"}) {
    EXPECT_EQ(listed(state_, recipient).back(), second) << recipient;
  }
  EXPECT_EQ(inboxes_of(state_).at("erin"), Messages{});
  EXPECT_EQ(state_.status("carol"), AgentStatus::kBusy) << "a broadcast keeps its sender's status";
}

TEST_F(MessagingTest, SendingNeverChangesAnExistingStatusNorMakesOneForTheSender) {
  ASSERT_TRUE(state_.claim_task(BorrowedText("busy"), BorrowedText("T")));
  state_.set_status(Text("done"), AgentStatus::kCompleted);
  state_.set_status(Text("broken"), AgentStatus::kError);
  for (const char* recipient : {"busy", "done", "broken", "new"}) {
    state_.send_message(BorrowedText("sender"), BorrowedText(recipient), BorrowedText("ping"));
  }
  EXPECT_EQ(statuses_of(state_),
            (std::map<std::string, std::string>{
                {"broken", "error"}, {"busy", "busy"}, {"done", "completed"}, {"new", "idle"}}));
  EXPECT_FALSE(inboxes_of(state_).contains("sender"));
}

// The timestamp is read once, before delivery, and is what every copy carries; the
// history event takes a fresh reading after delivery.
TEST(MessagingClockTest, EveryCopyCarriesTheMessageTimestampAndHistoryReadsLater) {
  TickingClock clock(kStart);
  CoordinationState state(clock);
  const std::uint64_t sent =
      state.send_message(BorrowedText("a"), BorrowedText("b"), BorrowedText("direct"));
  const std::uint64_t all = state.broadcast(BorrowedText("c"), BorrowedText("all"));  // b and c

  EXPECT_EQ(listed(state, "b"),
            (Messages{direct("a", "b", "direct", sent), broadcast("c", "all", all)}));
  EXPECT_EQ(listed(state, "c"), (Messages{broadcast("c", "all", all)}));

  const std::vector<EventTuple> events = message_events_of(state);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_GT(std::get<4>(events[0]), sent);
  EXPECT_GT(std::get<4>(events[1]), all);
  EXPECT_GT(all, std::get<4>(events[0]));
}

// Inboxes keep no addressee: listing and draining name the owner for a direct message
// and no one for a broadcast, also for an id too long to be stored inline.
TEST_F(MessagingTest, ListingsNameTheOwnerWhateverTheLengthOfItsId) {
  const std::string long_id(48, 'L');
  state_.send_message(BorrowedText("s"), BorrowedText(long_id), BorrowedText("direct"));
  const MessageTuple all = broadcast_through(state_, "s", "everyone");
  const Messages expected = {direct("s", long_id, "direct", kStartSecond), all};
  EXPECT_EQ(listed(state_, long_id), expected);
  EXPECT_EQ(drained(state_, long_id), expected);
  EXPECT_EQ(drained(state_, "s"), Messages{all});
}

TEST_F(MessagingTest, TextsComeBackByteForByte) {
  const std::string big(200'000, 'z');
  struct Case {
    std::string from;
    std::string to;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"", "", ""},
      {"caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80 \xce\xbb"},
      {"a", "b", std::string("nul\0inside", 10)},
      {std::string(40, 'f'), std::string(16, 't'), big},
      {"Bob", "bob", " padded "},
  };
  for (const Case& c : cases) {
    const MessageTuple expected = direct(c.from, c.to, c.content, kStartSecond);
    EXPECT_EQ(sent_through(state_, c.from, c.to, c.content), expected);
    EXPECT_EQ(drained(state_, c.to), Messages{expected});
  }
  EXPECT_TRUE(state_.inbox(Text("Bob")).empty());
  EXPECT_EQ(broadcast_through(state_, "", big), broadcast("", big, kStartSecond));
}

}  // namespace
}  // namespace galtro
