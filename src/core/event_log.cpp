#include "core/event_log.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <variant>

#include "base/fatal_failure.h"

namespace galtro {
namespace {

constexpr std::size_t kMaxVarintBytes = 10;

std::size_t varint_size(std::uint64_t value) noexcept {
  std::size_t bytes = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++bytes;
  }
  return bytes;
}

char* put_varint(char* out, std::uint64_t value) noexcept {
  while (value >= 0x80) {
    *out++ = static_cast<char>(static_cast<unsigned char>(value | 0x80));
    value >>= 7;
  }
  *out++ = static_cast<char>(static_cast<unsigned char>(value));
  return out;
}

// Copies `size` bytes, with sizeof(Word) <= size <= 2 * sizeof(Word), as two words
// that overlap in the middle: both loads and both stores stay inside the bytes.
template <class Word>
[[gnu::always_inline]] inline void copy_two_words(char* out, const char* in, std::size_t size) {
  Word head;
  Word tail;
  std::memcpy(&head, in, sizeof head);
  std::memcpy(&tail, in + size - sizeof tail, sizeof tail);
  std::memcpy(out, &head, sizeof head);
  std::memcpy(out + size - sizeof tail, &tail, sizeof tail);
}

// Copies `bytes` to `out`. Ids and keys are short: up to 16 bytes are copied inline.
[[gnu::always_inline]] inline char* put_bytes(char* out, std::string_view bytes) noexcept {
  const char* in = bytes.data();
  const std::size_t size = bytes.size();
  if (size >= 8 && size <= 16) {
    copy_two_words<std::uint64_t>(out, in, size);
  } else if (size >= 4 && size < 8) {
    copy_two_words<std::uint32_t>(out, in, size);
  } else if (size > 0 && size < 4) {
    const char first = in[0];
    const char middle = in[size / 2];
    const char last = in[size - 1];
    out[0] = first;
    out[size / 2] = middle;
    out[size - 1] = last;
  } else if (size > 16) {
    std::memcpy(out, in, size);
  }
  return out + size;
}

// Differences in either direction as small unsigned numbers: 0, -1, 1, -2, 2, ...
// become 0, 1, 2, 3, 4, ... (the difference is taken modulo 2^64 as a signed value).
std::uint64_t zigzag(std::uint64_t difference) noexcept {
  return (difference << 1) ^ (0 - (difference >> 63));
}
std::uint64_t unzigzag(std::uint64_t coded) noexcept {
  return (coded >> 1) ^ (0 - (coded & 1));
}

// a + b, or std::bad_alloc where the sum is beyond what the log stores.
std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum) || sum > EventLog::kMaxBytes) throw std::bad_alloc();
  return sum;
}

}  // namespace

std::size_t EventLog::encoded_size_of_long(const BorrowedEvent& event, std::size_t time_bytes) {
  std::size_t bytes = 1 + time_bytes;
  for (std::size_t i = 0; i < text_field_count(event.kind); ++i) {
    const std::size_t length = checked_add(event.texts[i].head.size(), event.texts[i].tail.size());
    bytes = checked_add(bytes, varint_size(length));
    bytes = checked_add(bytes, length);
  }
  return bytes;
}

namespace {

[[noreturn]] void corrupt() {
  fatal("assertion failed: history log decodes");
}

}  // namespace

BorrowedEvent BorrowedEvent::of(const HistoryEvent& event) noexcept {
  struct Fields {
    BorrowedEvent operator()(const ClaimedEvent& e) const noexcept {
      return claimed(e.agent_id.view(), e.resource_key.view(), e.time);
    }
    BorrowedEvent operator()(const ReleasedEvent& e) const noexcept {
      return released(e.agent_id.view(), e.resource_key.view(), e.time);
    }
    BorrowedEvent operator()(const MessageSentEvent& e) const noexcept {
      return message_sent(e.from_agent.view(), e.to_agent.view(), e.content.view(), e.time);
    }
    BorrowedEvent operator()(const BroadcastEvent& e) const noexcept {
      return broadcast(e.from_agent.view(), e.content.view(), e.time);
    }
  };
  return std::visit(Fields{}, event);
}

HistoryEvent EventView::to_event() const {
  switch (kind) {
    case EventKind::kClaimed:
      return ClaimedEvent{Text(texts[0]), Text(texts[1]), time};
    case EventKind::kReleased:
      return ReleasedEvent{Text(texts[0]), Text(texts[1]), time};
    case EventKind::kMessageSent:
      return MessageSentEvent{Text(texts[0]), Text(texts[1]), Text(texts[2]), time};
    case EventKind::kBroadcast:
      return BroadcastEvent{Text(texts[0]), Text(texts[1]), time};
  }
  corrupt();
}

EventLog::EventLog(EventLog&& other) noexcept
    : first_(std::exchange(other.first_, nullptr)),
      last_(std::exchange(other.last_, nullptr)),
      last_time_(std::exchange(other.last_time_, 0)) {}

EventLog& EventLog::operator=(EventLog&& other) noexcept {
  if (this != &other) {
    free_blocks();
    first_ = std::exchange(other.first_, nullptr);
    last_ = std::exchange(other.last_, nullptr);
    last_time_ = std::exchange(other.last_time_, 0);
  }
  return *this;
}

EventLog::~EventLog() {
  free_blocks();
}

void EventLog::free_blocks() noexcept {
  for (Block* block = first_; block != nullptr;) {
    Block* next = block->next;
    std::free(block);
    block = next;
  }
  first_ = nullptr;
  last_ = nullptr;
}

EventLog::Room::~Room() {
  std::free(block_);
}

EventLog::Room EventLog::Room::for_event(const BorrowedEvent& event) {
  // Room for the event however many bytes its time takes.
  const std::size_t most_bytes = encoded_size(event, kMaxVarintBytes);
  Room room;
  if (most_bytes <= kMaxBlockBytes) return room;
  void* memory = std::malloc(sizeof(Block) + most_bytes);
  if (memory == nullptr) throw std::bad_alloc();
  room.block_ = ::new (memory) Block{nullptr, 0, most_bytes};
  return room;
}

void EventLog::append(const BorrowedEvent& event) {
  Room none;
  append(event, none);
}

void EventLog::append(const BorrowedEvent& event, Room& room) {
  const std::size_t fields = text_field_count(event.kind);
  const std::uint64_t coded_time = zigzag(event.time - last_time_);

  // Everything is measured and allocated before the first byte is written.
  const std::size_t event_bytes = encoded_size(event, varint_size(coded_time));

  Block* block = last_;
  if (block == nullptr || block->capacity - block->size < event_bytes) {
    if (room.block_ != nullptr && room.block_->capacity >= event_bytes) {
      block = std::exchange(room.block_, nullptr);
    } else {
      std::size_t capacity = 0;
      if (block == nullptr) {
        capacity = event_bytes <= kMaxBlockBytes / kFirstEvents ? kFirstEvents * event_bytes
                                                                : event_bytes;
      } else {
        capacity = std::max(event_bytes, std::min(2 * block->capacity, kMaxBlockBytes));
      }
      void* memory = std::malloc(sizeof(Block) + capacity);
      if (memory == nullptr) throw std::bad_alloc();
      block = ::new (memory) Block{nullptr, 0, capacity};
    }
    (last_ == nullptr ? first_ : last_->next) = block;
    last_ = block;
  }

  char* out = block->bytes() + block->size;
  *out++ = static_cast<char>(event.kind);
  out = put_varint(out, coded_time);
  for (std::size_t i = 0; i < fields; ++i) {
    out = put_varint(out, event.texts[i].head.size() + event.texts[i].tail.size());
  }
  for (std::size_t i = 0; i < fields; ++i) {
    out = put_bytes(out, event.texts[i].head);
    out = put_bytes(out, event.texts[i].tail);
  }
  block->size += event_bytes;
  last_time_ = event.time;
}

EventView EventLog::decode(const Block& block, std::size_t& offset, std::uint64_t& time) {
  const auto* const bytes = reinterpret_cast<const unsigned char*>(block.bytes());
  const auto next_varint = [&]() {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kMaxVarintBytes; ++i) {
      if (offset >= block.size) corrupt();
      const unsigned char byte = bytes[offset++];
      value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
      if ((byte & 0x80) == 0) return value;
    }
    corrupt();
  };

  if (offset >= block.size || bytes[offset] > static_cast<unsigned char>(EventKind::kBroadcast)) {
    corrupt();
  }
  EventView view{static_cast<EventKind>(bytes[offset++]), 0, {}};
  time += unzigzag(next_varint());
  view.time = time;
  const std::size_t fields = text_field_count(view.kind);
  std::size_t lengths[3] = {};
  for (std::size_t i = 0; i < fields; ++i) lengths[i] = static_cast<std::size_t>(next_varint());
  for (std::size_t i = 0; i < fields; ++i) {
    if (lengths[i] > block.size - offset) corrupt();
    view.texts[i] = std::string_view(block.bytes() + offset, lengths[i]);
    offset += lengths[i];
  }
  return view;
}

std::size_t EventLog::byte_size() const noexcept {
  std::size_t total = 0;
  for (const Block* block = first_; block != nullptr; block = block->next) total += block->size;
  return total;
}

std::vector<std::size_t> EventLog::block_capacities() const {
  std::vector<std::size_t> capacities;
  for (const Block* block = first_; block != nullptr; block = block->next) {
    capacities.push_back(block->capacity);
  }
  return capacities;
}

std::vector<HistoryEvent> EventLog::events() const {
  std::vector<HistoryEvent> owned;
  for_each_event([&owned](const EventView& view) { owned.push_back(view.to_event()); });
  return owned;
}

}  // namespace galtro
