// EventLog: events serialized back to back in one buffer per second; what goes in
// comes out in order, byte for byte, and the buffer is as small as promised.
#include "lib/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace galtro {
namespace {

using namespace std::string_view_literals;

std::string describe(const HistoryEvent& event) {
  struct Describe {
    std::string operator()(const ClaimedEvent& e) const {
      return "claimed [" + e.agent_id.str() + "] [" + e.resource_key.str() + "] @" +
             std::to_string(e.time);
    }
    std::string operator()(const ReleasedEvent& e) const {
      return "released [" + e.agent_id.str() + "] [" + e.resource_key.str() + "] @" +
             std::to_string(e.time);
    }
    std::string operator()(const MessageSentEvent& e) const {
      return "sent [" + e.from_agent.str() + "] [" + e.to_agent.str() + "] [" + e.content.str() +
             "] @" + std::to_string(e.time);
    }
    std::string operator()(const BroadcastEvent& e) const {
      return "broadcast [" + e.from_agent.str() + "] [" + e.content.str() + "] @" +
             std::to_string(e.time);
    }
  };
  return std::visit(Describe{}, event);
}

std::vector<std::string> describe_all(const std::vector<HistoryEvent>& events) {
  std::vector<std::string> described;
  for (const HistoryEvent& event : events) described.push_back(describe(event));
  return described;
}

// What the log holds, read both ways: through the views and as owned copies, which
// must agree.
std::vector<std::string> contents(const EventLog& log) {
  std::vector<std::string> from_views;
  log.for_each_event([&from_views](const EventView& view) {
    const std::size_t fields = text_field_count(view.kind);
    for (std::size_t i = fields; i < 3; ++i) EXPECT_TRUE(view.texts[i].empty());
    from_views.push_back(describe(view.to_event()));
  });
  EXPECT_EQ(from_views, describe_all(log.events()));
  return from_views;
}

std::size_t varint_bytes(std::uint64_t value) {
  std::size_t bytes = 1;
  for (; value >= 0x80; value >>= 7) ++bytes;
  return bytes;
}

TEST(EventLogTest, NewLogIsEmptyAndHoldsNoStorage) {
  const EventLog log;
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(log.byte_size(), 0u);
  EXPECT_EQ(log.capacity(), 0u);
  EXPECT_TRUE(log.events().empty());
  int visits = 0;
  log.for_each_event([&visits](const EventView&) { ++visits; });
  EXPECT_EQ(visits, 0);
}

TEST(EventLogTest, EveryKindComesBackWithItsFieldsInAppendOrder) {
  const std::vector<HistoryEvent> events = {
      ClaimedEvent{Text("alice"), Text("file:src/module_0000042.rs"), 1'700'000'000},
      MessageSentEvent{Text("alice"), Text("bob"), Text("hello, bob"), 1'700'000'000},
      BroadcastEvent{Text("bob"), Text("standup in five"), 1'700'000'001},
      ReleasedEvent{Text("alice"), Text("file:src/module_0000042.rs"), 1'700'000'001},
      MessageSentEvent{Text(""), Text(""), Text(""), 0},
      BroadcastEvent{Text(""), Text(""), 7},
      ClaimedEvent{Text(""), Text("task:"), 7},
      ReleasedEvent{Text("a"), Text(""), 7},
  };
  EventLog log;
  for (const HistoryEvent& event : events) log.append(event);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(contents(log), describe_all(events));
  EXPECT_EQ(log.events(), events);
}

// Lengths on both sides of each varint byte boundary, and bytes of every value,
// NUL and invalid UTF-8 included: nothing is interpreted.
TEST(EventLogTest, TextsOfAnyLengthAndAnyBytesComeBackExactly) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  std::vector<std::string> texts = {"", "x", "caf\xc3\xa9", std::string("nul\0in", 6), every_byte};
  for (std::size_t length : {15, 16, 127, 128, 129, 16'383, 16'384, 200'000}) {
    texts.push_back(std::string(length, static_cast<char>('a' + length % 26)));
  }
  EventLog log;
  std::vector<HistoryEvent> expected;
  std::uint64_t time = 1'700'000'000;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string& a = texts[i];
    const std::string& b = texts[(i + 1) % texts.size()];
    const std::string& c = texts[(i + 4) % texts.size()];
    expected.push_back(MessageSentEvent{Text(a), Text(b), Text(c), time});
    expected.push_back(ClaimedEvent{Text(c), Text(a), time});
    expected.push_back(BroadcastEvent{Text(b), Text(c), ++time});
  }
  for (const HistoryEvent& event : expected) log.append(event);
  const std::vector<HistoryEvent> decoded = log.events();
  ASSERT_EQ(decoded.size(), expected.size());
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    EXPECT_TRUE(decoded[i] == expected[i]) << "event " << i;
  }
}

// Times are stored as differences to the event before, so they must survive any
// step: none, forwards, backwards, the extremes and a wrap across them.
TEST(EventLogTest, AnySequenceOfTimesComesBack) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::uint64_t> times = {0,
                                            0,
                                            1,
                                            1'700'000'000,
                                            1'700'000'000,
                                            1'699'999'999,
                                            42,
                                            kMax,
                                            0,
                                            kMax,
                                            kMax - 1,
                                            kMax / 2,
                                            kMax / 2 + 1,
                                            1ull << 63,
                                            (1ull << 63) - 1,
                                            1'700'000'000,
                                            1'700'000'300,
                                            5};
  EventLog log;
  for (std::uint64_t time : times) log.append(BorrowedEvent::claimed("a"sv, "k"sv, time));
  std::vector<std::uint64_t> decoded;
  log.for_each_event([&decoded](const EventView& view) {
    EXPECT_EQ(view.kind, EventKind::kClaimed);
    EXPECT_EQ(view.texts[0], "a");
    EXPECT_EQ(view.texts[1], "k");
    decoded.push_back(view.time);
  });
  EXPECT_EQ(decoded, times);
}

// The encoding is as compact as described: one byte of kind, the time difference and
// each length as varints, then the bytes.
TEST(EventLogTest, EachEventTakesItsKindTimeDifferenceLengthsAndBytes) {
  EventLog log;
  const std::string_view agent = "agent-7";
  const std::string_view key = "file:src/module_0000042.rs";
  constexpr std::uint64_t kSecond = 1'700'000'000;

  // The first event's difference is to 0: the whole time, zigzag-coded.
  log.append(BorrowedEvent::claimed(agent, key, kSecond));
  const std::size_t first = 1 + varint_bytes(kSecond * 2) + 1 + 1 + agent.size() + key.size();
  EXPECT_EQ(log.byte_size(), first);

  // Later events of the same second: one byte for the time.
  log.append(BorrowedEvent::released(agent, key, kSecond));
  const std::size_t same_second = 1 + 1 + 1 + 1 + agent.size() + key.size();
  EXPECT_EQ(log.byte_size(), first + same_second);

  // A step back of one second is a difference of -1, also one byte.
  log.append(BorrowedEvent::broadcast(agent, ""sv, kSecond - 1));
  EXPECT_EQ(log.byte_size(), first + same_second + (1 + 1 + 1 + 1 + agent.size()));

  // A 32-byte message: three lengths.
  const std::string_view content = "message 000000000000000000000042";
  log.append(BorrowedEvent::message_sent(agent, "agent-8"sv, content, kSecond - 1));
  EXPECT_EQ(log.byte_size(), first + same_second + (4 + agent.size()) +
                                 (1 + 1 + 3 + agent.size() + 7 + content.size()));

  // A length of 128 takes two bytes.
  const std::string long_key(128 - 5, 'k');
  const std::size_t before = log.byte_size();
  log.append(BorrowedEvent::claimed(""sv, TextPieces("file:"sv, long_key), kSecond - 1));
  EXPECT_EQ(log.byte_size(), before + 1 + 1 + 1 + 2 + 128);
}

// A text given in two pieces is stored as one.
TEST(EventLogTest, TwoPiecesAreStoredAsOneText) {
  EventLog log;
  const std::string long_path(40, 'p');
  log.append(
      BorrowedEvent::claimed(TextPieces("age"sv, "nt"sv), TextPieces("file:"sv, "a.rs"sv), 1));
  log.append(BorrowedEvent::released("agent"sv, TextPieces("task:"sv, long_path), 2));
  log.append(BorrowedEvent::message_sent(TextPieces(""sv, "from"sv), TextPieces("to"sv, ""sv),
                                         TextPieces(""sv, ""sv), 3));
  log.append(BorrowedEvent::broadcast(TextPieces(), TextPieces("con"sv, "tent"sv), 4));
  EXPECT_EQ(contents(log), (std::vector<std::string>{
                               "claimed [agent] [file:a.rs] @1",
                               "released [agent] [task:" + long_path + "] @2",
                               "sent [from] [to] [] @3",
                               "broadcast [] [content] @4",
                           }));
}

// The first block holds four events of the first one's size; each further block is
// twice the size of the one before, up to kMaxBlockBytes, unless one event needs more.
// Nothing moves or is lost when a block is added.
TEST(EventLogTest, BlocksStartAtFourEventsAndDoubleUpToTheLimit) {
  EventLog log;
  std::vector<std::string> expected;
  const auto append = [&](const std::string& agent, std::uint64_t time) {
    log.append(BorrowedEvent::claimed(std::string_view(agent), "file:x"sv, time));
    expected.push_back("claimed [" + agent + "] [file:x] @" + std::to_string(time));
  };

  append("a", 0);  // 1 kind + 1 time + 2 lengths + 1 + 6 bytes
  const std::size_t event_bytes = 11;
  ASSERT_EQ(log.byte_size(), event_bytes);
  EXPECT_EQ(log.block_capacities(), std::vector<std::size_t>{EventLog::kFirstEvents * event_bytes});
  for (int i = 1; i < 4; ++i) append("b", 0);
  EXPECT_EQ(log.byte_size(), 4 * event_bytes);
  EXPECT_EQ(log.block_capacities(), std::vector<std::size_t>{4 * event_bytes})
      << "four events of that size fit";

  // The first event of a new block; the full one's bytes stay where they are.
  const auto first_text = [&log] {
    const char* first = nullptr;
    log.for_each_event([&first](const EventView& view) {
      if (first == nullptr) first = view.texts[0].data();
    });
    return first;
  };
  const char* before_growth = first_text();
  append("c", 0);
  EXPECT_EQ(log.block_capacities(), (std::vector<std::size_t>{4 * event_bytes, 8 * event_bytes}));
  EXPECT_EQ(first_text(), before_growth);

  // 12-byte events from here: every block is filled as far as whole events go.
  for (int i = 0; i < 20'000; ++i) {
    append("n" + std::to_string(i % 10), static_cast<std::uint64_t>(i % 3));
  }
  const std::vector<std::size_t> blocks = log.block_capacities();
  ASSERT_GT(blocks.size(), 3u);
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i], std::min(2 * blocks[i - 1], EventLog::kMaxBlockBytes)) << "block " << i;
  }
  EXPECT_EQ(blocks.back(), EventLog::kMaxBlockBytes);
  EXPECT_GT(log.byte_size() + blocks.size() * 12 + blocks.back(), log.capacity())
      << "no block but the last has room for another event";

  // An event larger than the limit gets a block of exactly its size, and the block
  // after it is back at the limit.
  const std::string huge(3 * EventLog::kMaxBlockBytes, 'h');
  log.append(BorrowedEvent::broadcast("z"sv, std::string_view(huge), 9));
  expected.push_back("broadcast [z] [" + huge + "] @9");
  append("after", 9);
  const std::vector<std::size_t> with_huge = log.block_capacities();
  ASSERT_EQ(with_huge.size(), blocks.size() + 2);
  EXPECT_EQ(with_huge[blocks.size()], 1 + 1 + 1 + 3 + 1 + huge.size());
  EXPECT_EQ(with_huge.back(), EventLog::kMaxBlockBytes);
  EXPECT_EQ(contents(log), expected);

  // A large first event: a block of its size alone, not four times that.
  EventLog large_first;
  large_first.append(BorrowedEvent::broadcast("z"sv, std::string_view(huge), 9));
  EXPECT_EQ(large_first.block_capacities(),
            std::vector<std::size_t>{1 + 1 + 1 + 3 + 1 + huge.size()});
}

// Built with a sanitizer, whose allocator ends the process on a request it cannot
// serve instead of failing it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAllocationFailureReturns = false;
#else
constexpr bool kAllocationFailureReturns = true;
#endif

// An event that cannot be stored fails as std::bad_alloc before anything changes: the
// log keeps its events, its storage and the time its next event is stored against.
// Oversized texts are views that are never read, since sizes are checked (and the
// buffer allocated) before any byte is copied.
TEST(EventLogTest, AnEventThatCannotBeStoredLeavesTheLogAsItWas) {
  static const char kByte = 'x';
  const std::string_view too_long(&kByte, EventLog::kMaxBytes + 1);
  const std::string_view half(&kByte, std::numeric_limits<std::size_t>::max() / 2 + 1);
  // Within the limit, but more than any address space here: the allocation fails.
  const std::string_view petabyte(&kByte, std::size_t{1} << 50);
  struct Case {
    const char* what;
    BorrowedEvent event;
  };
  std::vector<Case> cases = {
      {"a text beyond the limit", BorrowedEvent::claimed(too_long, "k"sv, 5000)},
      {"the third text beyond it", BorrowedEvent::message_sent("a"sv, "b"sv, too_long, 5000)},
      {"two pieces that add up beyond any size",
       BorrowedEvent::released(TextPieces(half, half), "k"sv, 5000)},
      {"texts that add up beyond any size", BorrowedEvent::message_sent(half, half, half, 5000)},
      {"at the limit before the header",
       BorrowedEvent::broadcast(""sv, std::string_view(&kByte, EventLog::kMaxBytes), 5000)},
  };
  if (kAllocationFailureReturns) {
    cases.push_back({"a failed allocation", BorrowedEvent::claimed(petabyte, "k"sv, 5000)});
  }
  for (bool empty : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (empty ? "empty log, " : "log in use, ") << c.what);
      EventLog log;
      if (!empty) log.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 100));
      const std::vector<std::string> before = contents(log);
      const std::size_t size = log.byte_size();
      const std::size_t capacity = log.capacity();

      EXPECT_THROW(log.append(c.event), std::bad_alloc);
      EXPECT_EQ(log.byte_size(), size);
      EXPECT_EQ(log.capacity(), capacity);
      EXPECT_EQ(contents(log), before);

      log.append(BorrowedEvent::released("a"sv, "file:x"sv, 200));
      std::vector<std::string> after = before;
      after.push_back("released [a] [file:x] @200");
      EXPECT_EQ(contents(log), after);
    }
  }
}

TEST(EventLogTest, MoveHandsOverTheBufferAndTheTimeBase) {
  EventLog source;
  source.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 1000));
  source.append(BorrowedEvent::released("a"sv, "file:x"sv, 1001));
  const std::vector<std::string> events = contents(source);
  const std::size_t capacity = source.capacity();

  EventLog moved(std::move(source));
  EXPECT_EQ(contents(moved), events);
  EXPECT_EQ(moved.capacity(), capacity);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): a move empties it
  EXPECT_EQ(source.capacity(), 0u);

  // The moved log stores its next event against the time it took over; the
  // moved-from one starts afresh.
  moved.append(BorrowedEvent::claimed("b"sv, "file:y"sv, 1001));
  source.append(BorrowedEvent::claimed("c"sv, "file:z"sv, 3));
  EXPECT_EQ(contents(moved).back(), "claimed [b] [file:y] @1001");
  EXPECT_EQ(contents(source), std::vector<std::string>{"claimed [c] [file:z] @3"});

  // Assignment drops what the target held.
  EventLog target;
  target.append(BorrowedEvent::broadcast("old"sv, "gone"sv, 7));
  target = std::move(moved);
  std::vector<std::string> expected = events;
  expected.push_back("claimed [b] [file:y] @1001");
  EXPECT_EQ(contents(target), expected);
  target.append(BorrowedEvent::broadcast("d"sv, "e"sv, 1002));
  EXPECT_EQ(contents(target).back(), "broadcast [d] [e] @1002");
}

TEST(EventLogTest, BorrowedEventOfAnOwnedEventViewsItsFields) {
  const HistoryEvent sent = MessageSentEvent{Text("from"), Text("to"), Text("content"), 12};
  const BorrowedEvent borrowed = BorrowedEvent::of(sent);
  EXPECT_EQ(borrowed.kind, EventKind::kMessageSent);
  EXPECT_EQ(borrowed.time, 12u);
  const auto& texts = borrowed.texts;
  EXPECT_EQ(texts[0].head, "from");
  EXPECT_EQ(texts[1].head, "to");
  EXPECT_EQ(texts[2].head, "content");
  for (const TextPieces& text : texts) EXPECT_TRUE(text.tail.empty());

  const HistoryEvent all = BroadcastEvent{Text("from"), Text("content"), 13};
  EXPECT_EQ(BorrowedEvent::of(all).kind, EventKind::kBroadcast);
  EXPECT_EQ(BorrowedEvent::of(all).texts[1].head, "content");
  EXPECT_EQ(BorrowedEvent::of(HistoryEvent(ReleasedEvent{Text("a"), Text("k"), 1})).kind,
            EventKind::kReleased);
  EXPECT_EQ(BorrowedEvent::of(HistoryEvent(ClaimedEvent{Text("a"), Text("k"), 1})).kind,
            EventKind::kClaimed);
}

}  // namespace
}  // namespace galtro
