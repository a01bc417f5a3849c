// EventLog: the history events appended during one second, serialized back to back
// into a chain of byte blocks.
//
// Encoding of one event, in this order:
//   kind     1 byte, an EventKind
//   time     varint: the zigzag-coded difference (modulo 2^64) between the event's
//            time and that of the event before it in this log (0 before the first),
//            so that events of one second mostly take 1 byte here
//   lengths  one varint per text field of the kind, in field order
//   texts    the bytes of those fields, in field order, back to back
// Varints are little-endian base 128 (7 bits a byte, high bit set on all but the
// last byte), at most 10 bytes for 64 bits.
//
// Blocks: an event lies whole in one block. The first block holds kFirstEvents events
// the size of the first one; when an event does not fit in the last block, a new one
// is chained on, twice the size of the last up to kMaxBlockBytes, or just the size of
// the event if that is larger. Stored bytes never move, and an append never needs
// more new memory than max(kMaxBlockBytes, its event's size), however long the log:
// a busy second's history is not copied or doubled as a whole. Appending borrows the
// event's texts and copies their bytes straight into the block.
//
// Reading decodes the blocks front to back: for_each_event() hands out views of the
// stored bytes, events() owned copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/records.h"

namespace galtro {

// The kinds in the order of the HistoryEvent alternatives.
enum class EventKind : std::uint8_t {
  kClaimed = 0,
  kReleased = 1,
  kMessageSent = 2,
  kBroadcast = 3
};

// Number of text fields of each kind: agent id and resource key (Claimed,
// Released); from, to and content (MessageSent); from and content (Broadcast).
constexpr std::size_t text_field_count(EventKind kind) noexcept {
  return kind == EventKind::kMessageSent ? 3 : 2;
}

// A text field given in two pieces that are stored as one text, such as a key prefix
// and a path. Both pieces are borrowed.
struct TextPieces {
  TextPieces() noexcept = default;
  TextPieces(std::string_view whole) noexcept : head(whole) {}  // NOLINT: a text is one piece
  TextPieces(std::string_view first, std::string_view second) noexcept
      : head(first), tail(second) {}

  std::string_view head;
  std::string_view tail;
};

// An event to append, its texts borrowed from the caller for the call only.
struct BorrowedEvent {
  EventKind kind;
  TextPieces texts[3];  // the first text_field_count(kind) are used
  std::uint64_t time;

  static BorrowedEvent claimed(TextPieces agent_id, TextPieces resource_key, std::uint64_t time) {
    return {EventKind::kClaimed, {agent_id, resource_key, {}}, time};
  }
  static BorrowedEvent released(TextPieces agent_id, TextPieces resource_key, std::uint64_t time) {
    return {EventKind::kReleased, {agent_id, resource_key, {}}, time};
  }
  static BorrowedEvent message_sent(TextPieces from_agent, TextPieces to_agent, TextPieces content,
                                    std::uint64_t time) {
    return {EventKind::kMessageSent, {from_agent, to_agent, content}, time};
  }
  static BorrowedEvent broadcast(TextPieces from_agent, TextPieces content, std::uint64_t time) {
    return {EventKind::kBroadcast, {from_agent, content, {}}, time};
  }
  // The fields of an owned event, viewed.
  static BorrowedEvent of(const HistoryEvent& event) noexcept;
};

// One stored event; its texts view the log's buffer and stay valid until the log is
// changed or destroyed.
struct EventView {
  EventKind kind;
  std::uint64_t time;
  std::string_view texts[3];  // the first text_field_count(kind) are set, the rest empty

  // An owned copy.
  HistoryEvent to_event() const;
};

class EventLog {
 private:
  struct Block;

 public:
  static constexpr std::size_t kFirstEvents = 4;
  // Blocks grow by doubling up to this size; only an event larger than it makes a
  // larger block.
  static constexpr std::size_t kMaxBlockBytes = std::size_t{64} << 10;
  // The largest event the log stores; a larger one fails as std::bad_alloc.
  static constexpr std::size_t kMaxBytes = (std::size_t{1} << 56) - 1;

  // The bytes of `event` encoded with a time difference that takes `time_bytes`:
  // kind, time difference, the length of each text as a varint, then the texts.
  // Throws std::bad_alloc for an event larger than kMaxBytes.
  static std::size_t encoded_size(const BorrowedEvent& event, std::size_t time_bytes) {
    // Most texts are under 128 bytes: each length then takes one byte, and the sums
    // cannot wrap. This case is inline, as it is on every append's path.
    std::size_t bytes = 1 + time_bytes;
    bool short_texts = true;
    for (std::size_t i = 0; i < text_field_count(event.kind); ++i) {
      const std::size_t length = event.texts[i].head.size() + event.texts[i].tail.size();
      short_texts = short_texts &&
                    (event.texts[i].head.size() | event.texts[i].tail.size() | length) < 0x80;
      bytes += 1 + length;
    }
    return short_texts ? bytes : encoded_size_of_long(event, time_bytes);
  }

  // Storage for one large event, allocated before the caller changes anything else,
  // so that appending the event later needs no allocation of its size. Empty for an
  // event that fits a regular block (at most kMaxBlockBytes), whose append needs at
  // most one such block. Unused storage is freed with the room.
  class Room {
   public:
    Room() noexcept = default;
    Room(Room&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    Room& operator=(Room&&) = delete;
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;
    ~Room();

    // Room for `event`, whatever its time turns out to be. Throws std::bad_alloc.
    static Room for_event(const BorrowedEvent& event);

   private:
    friend class EventLog;
    Block* block_ = nullptr;
  };

  EventLog() noexcept = default;
  EventLog(EventLog&& other) noexcept;
  EventLog& operator=(EventLog&& other) noexcept;
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  ~EventLog();

  // Appends at the end. On std::bad_alloc the log is unchanged.
  void append(const BorrowedEvent& event);
  // The same, taking the storage from `room` where the event needs a block of its own.
  void append(const BorrowedEvent& event, Room& room);
  void append(const HistoryEvent& event) { append(BorrowedEvent::of(event)); }

  // Calls visit(const EventView&) for every event, oldest first.
  template <class F>
  void for_each_event(F&& visit) const {
    std::uint64_t time = 0;
    for (const Block* block = first_; block != nullptr; block = block->next) {
      std::size_t offset = 0;
      while (offset < block->size) visit(decode(*block, offset, time));
    }
  }
  // Owned copies of every event, oldest first.
  std::vector<HistoryEvent> events() const;

  bool empty() const noexcept { return first_ == nullptr; }
  // Bytes of the events.
  std::size_t byte_size() const noexcept;
  // The size of each block (without its header), oldest first.
  std::vector<std::size_t> block_capacities() const;

 private:
  // encoded_size() for texts of 128 bytes or more, each sum checked.
  static std::size_t encoded_size_of_long(const BorrowedEvent& event, std::size_t time_bytes);

  // A block's header; its `capacity` bytes follow it in the same allocation.
  struct Block {
    Block* next;
    std::size_t size;      // bytes in use
    std::size_t capacity;  // bytes after the header
    char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  };

  // The event starting at `offset` in `block`, whose predecessor's time is `time`;
  // advances both.
  static EventView decode(const Block& block, std::size_t& offset, std::uint64_t& time);
  void free_blocks() noexcept;

  Block* first_ = nullptr;
  Block* last_ = nullptr;
  std::uint64_t last_time_ = 0;  // time of the last event, the base of the next one
};

}  // namespace galtro
