// EventLog: events serialized back to back in blocks; what goes in comes out in
// order, byte for byte, and takes the room promised.
#include "core/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace galtro {
namespace {

using namespace std::string_view_literals;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Every event as "kind time [text]...", read through the views; the owned copies
// must say the same.
std::vector<std::string> contents(const EventLog& log) {
  std::vector<std::string> seen;
  std::vector<HistoryEvent> owned;
  log.for_each_event([&](const EventView& view) {
    std::string line =
        std::to_string(static_cast<int>(view.kind)) + " " + std::to_string(view.time);
    for (std::size_t i = 0; i < 3; ++i) {
      if (i < text_field_count(view.kind))
        line += " [" + std::string(view.texts[i]) + "]";
      else
        EXPECT_TRUE(view.texts[i].empty());
    }
    seen.push_back(line);
    owned.push_back(view.to_event());
  });
  EXPECT_EQ(log.events(), owned);
  return seen;
}

// All kinds, texts across the varint length boundaries and of every byte value, texts
// in two pieces, and times that step anywhere (they are stored as differences).
TEST(EventLogTest, EventsComeBackInOrderWithEveryFieldExact) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
  const std::string t127(127, 'a'), t128(128, 'b'), t16384(16'384, 'c');
  const std::vector<std::uint64_t> times = {0,    0, 1'700'000'000, 1'699'999'999,
                                            kMax, 0, kMax / 2 + 1,  5};
  EventLog log;
  std::vector<std::string> expected;
  for (std::uint64_t time : times) {
    log.append(ClaimedEvent{Text("agent"), Text("file:src/a.rs"), time});
    log.append(
        BorrowedEvent::released(TextPieces("ag"sv, "ent"sv), TextPieces("task:"sv, t128), time));
    log.append(BorrowedEvent::message_sent(std::string_view(every_byte), ""sv,
                                           TextPieces(t127, t16384), time));
    log.append(BroadcastEvent{Text(""), Text("caf\xc3\xa9"), time});
    const std::string at = " " + std::to_string(time);
    expected.insert(expected.end(), {"0" + at + " [agent] [file:src/a.rs]",
                                     "1" + at + " [agent] [task:" + t128 + "]",
                                     "2" + at + " [" + every_byte + "] [] [" + t127 + t16384 + "]",
                                     "3" + at + " [] [caf\xc3\xa9]"});
  }
  EXPECT_EQ(contents(log), expected);
}

// One byte of kind, the time difference (zigzag) and each length as varints, then the
// bytes: later events of one second spend a single byte on their time.
TEST(EventLogTest, EachEventTakesItsKindTimeDifferenceLengthsAndBytes) {
  const std::string_view agent = "agent-7", key = "file:src/module_0000042.rs";
  const std::string content(128, 'x');
  EventLog log;
  log.append(BorrowedEvent::claimed(agent, key, 1'700'000'000));  // 2 * time: 5 bytes
  const std::size_t first = 1 + 5 + 2 + agent.size() + key.size();
  EXPECT_EQ(log.byte_size(), first);
  log.append(BorrowedEvent::released(agent, key, 1'700'000'000));
  log.append(BorrowedEvent::broadcast(agent, std::string_view(content), 1'699'999'999));  // -1
  EXPECT_EQ(log.byte_size(),
            first + (1 + 1 + 2 + agent.size() + key.size()) + (1 + 1 + 1 + 2 + agent.size() + 128));
}

// Kind, time, one varint per text length (two bytes from 128 on), the texts; the
// pieces of a text count as one.
TEST(EventLogTest, EncodedSizeCountsKindTimeLengthsAndTexts) {
  const std::string long_text(200, 'y');
  const std::string_view text = long_text;
  EXPECT_EQ(EventLog::encoded_size(
                BorrowedEvent::claimed("agent-7"sv, TextPieces("file:"sv, "a.rs"sv), 0), 5),
            1u + 5 + 2 + 7 + 9);
  EXPECT_EQ(EventLog::encoded_size(
                BorrowedEvent::message_sent("a"sv, TextPieces("b"sv, text), "c"sv, 0), 1),
            1u + 1 + (1 + 2 + 1) + 1 + 201 + 1);
  EXPECT_EQ(EventLog::encoded_size(BorrowedEvent::broadcast(text.substr(0, 127),
                                                            TextPieces(text.substr(0, 64),
                                                                       text.substr(0, 64)),
                                                            0),
                                   10),
            1u + 10 + 1 + 2 + 127 + 128);

  static const char kByte = 'x';
  const std::string_view half(&kByte, std::numeric_limits<std::size_t>::max() / 2 + 1);
  EXPECT_THROW(EventLog::encoded_size(BorrowedEvent::released(TextPieces(half, half), "k"sv, 0), 1),
               std::bad_alloc);
  EXPECT_THROW(EventLog::encoded_size(
                   BorrowedEvent::broadcast(""sv, std::string_view(&kByte, EventLog::kMaxBytes), 0),
                   1),
               std::bad_alloc);
}

// Four events of the first one's size, then blocks twice the last up to the limit,
// or one event's size if larger. Stored bytes never move.
TEST(EventLogTest, BlocksStartAtFourEventsAndDoubleUpToTheLimit) {
  EventLog log;
  const auto first_text = [&log] {
    const char* first = nullptr;
    log.for_each_event([&first](const EventView& v) { first = first ? first : v.texts[0].data(); });
    return first;
  };
  for (int i = 0; i < 4; ++i) log.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 0));  // 11 bytes
  EXPECT_EQ(log.block_capacities(), std::vector<std::size_t>{44});
  const char* before = first_text();
  log.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 0));
  EXPECT_EQ(log.block_capacities(), (std::vector<std::size_t>{44, 88}));
  EXPECT_EQ(first_text(), before);

  for (int i = 0; i < 20'000; ++i) log.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 0));
  std::vector<std::size_t> blocks = log.block_capacities();
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i], std::min(2 * blocks[i - 1], EventLog::kMaxBlockBytes)) << i;
  }
  EXPECT_EQ(blocks.back(), EventLog::kMaxBlockBytes);

  const std::string huge(3 * EventLog::kMaxBlockBytes, 'h');
  const std::size_t huge_event = 1 + 1 + 1 + 3 + 1 + huge.size();
  log.append(BorrowedEvent::broadcast("z"sv, std::string_view(huge), 0));
  log.append(BorrowedEvent::broadcast("z"sv, "after"sv, 0));
  blocks.insert(blocks.end(), {huge_event, EventLog::kMaxBlockBytes});
  EXPECT_EQ(log.block_capacities(), blocks);
  EXPECT_EQ(contents(log).at(20'005), "3 0 [z] [" + huge + "]");

  EventLog large_first;  // not four times a large event
  large_first.append(BorrowedEvent::broadcast("z"sv, std::string_view(huge), 0));
  EXPECT_EQ(large_first.block_capacities(), std::vector<std::size_t>{huge_event});
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kFailedAllocationReturns = false;  // the sanitizer's allocator aborts instead
#else
constexpr bool kFailedAllocationReturns = true;
#endif

// Too large to store, or no memory for it: std::bad_alloc, and the log keeps its
// events, storage and the time base of its next event. The oversized views are never
// read, since everything is measured and allocated before a byte is copied.
TEST(EventLogTest, AnEventThatCannotBeStoredLeavesTheLogAsItWas) {
  static const char kByte = 'x';
  const std::string_view too_long(&kByte, EventLog::kMaxBytes + 1);
  const std::string_view half(&kByte, std::numeric_limits<std::size_t>::max() / 2 + 1);
  std::vector<BorrowedEvent> failing = {
      BorrowedEvent::message_sent("a"sv, "b"sv, too_long, 5000),
      BorrowedEvent::released(TextPieces(half, half), "k"sv, 5000),  // sizes add up past 2^64
      BorrowedEvent::message_sent(half, half, half, 5000),
      BorrowedEvent::broadcast(""sv, std::string_view(&kByte, EventLog::kMaxBytes), 5000)};
  if (kFailedAllocationReturns) {  // within the limit, beyond the address space
    failing.push_back(
        BorrowedEvent::claimed(std::string_view(&kByte, std::size_t{1} << 50), ""sv, 5000));
  }
  for (bool empty : {true, false}) {
    for (const BorrowedEvent& event : failing) {
      EventLog log;
      if (!empty) log.append(BorrowedEvent::claimed("a"sv, "file:x"sv, 100));
      const std::vector<std::string> before = contents(log);
      const std::vector<std::size_t> blocks = log.block_capacities();
      EXPECT_THROW(log.append(event), std::bad_alloc);
      EXPECT_EQ(log.block_capacities(), blocks);
      log.append(BorrowedEvent::released("a"sv, "file:x"sv, 200));
      std::vector<std::string> after = before;
      after.push_back("1 200 [a] [file:x]");
      EXPECT_EQ(contents(log), after);
    }
  }
}

TEST(EventLogTest, MoveHandsOverTheBlocksAndTheTimeBase) {
  EventLog source;
  source.append(BorrowedEvent::claimed("a"sv, "k"sv, 1000));
  EventLog moved(std::move(source));
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): a move empties it
  EXPECT_TRUE(source.block_capacities().empty());
  moved.append(BorrowedEvent::claimed("b"sv, "k"sv, 1001));
  source.append(BorrowedEvent::claimed("c"sv, "k"sv, 3));
  EXPECT_EQ(contents(source), std::vector<std::string>{"0 3 [c] [k]"});

  EventLog target;
  target.append(BorrowedEvent::broadcast("old"sv, "dropped"sv, 7));
  target = std::move(moved);
  target.append(BorrowedEvent::broadcast("d"sv, "e"sv, 1002));
  EXPECT_EQ(contents(target),
            (std::vector<std::string>{"0 1000 [a] [k]", "0 1001 [b] [k]", "3 1002 [d] [e]"}));
}

}  // namespace
}  // namespace galtro
