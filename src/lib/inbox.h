// Inbox: one agent's pending messages, first in first out, in a ring buffer.
//
// A message in an inbox is always addressed to the inbox's owner, so the inbox keeps
// no addressee: a PendingMessage has the sender, the content, the timestamp and
// whether it came as a broadcast. Reading the inbox rebuilds each Message with the
// owner as `to_agent` for a direct message and none for a broadcast.
//
// A new inbox reserves nothing; storage doubles as messages arrive (first block of
// kFirstCapacity) and is kept when the inbox is drained. Invariant: the pending
// messages are slots_[(head_ + i) % capacity_] for i in [0, size_), oldest first;
// capacity_ is 0 or a power of two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/records.h"

namespace galtro {

// A message as an inbox keeps it, in 40 bytes: the timestamp shares its word with the
// broadcast flag. Timestamps come from now_seconds, which never exceeds 2^63 - 1.
class PendingMessage {
 public:
  static constexpr std::uint64_t kMaxTimestamp = (std::uint64_t{1} << 63) - 1;

  // Fatal if `timestamp` exceeds kMaxTimestamp.
  static PendingMessage direct(Text from_agent, Text content, std::uint64_t timestamp) {
    return PendingMessage(std::move(from_agent), std::move(content), timestamp, false);
  }
  static PendingMessage broadcast(Text from_agent, Text content, std::uint64_t timestamp) {
    return PendingMessage(std::move(from_agent), std::move(content), timestamp, true);
  }
  // Keeps `message` but its addressee; whether it has one is kept as the flag.
  static PendingMessage of(Message message);

  const Text& from_agent() const noexcept { return from_agent_; }
  const Text& content() const noexcept { return content_; }
  std::uint64_t timestamp() const noexcept { return stamp_ & kMaxTimestamp; }
  bool is_broadcast() const noexcept { return (stamp_ & kBroadcastBit) != 0; }

  friend bool operator==(const PendingMessage&, const PendingMessage&) = default;

 private:
  friend class Inbox;  // moves the texts out when the inbox is drained
  static constexpr std::uint64_t kBroadcastBit = std::uint64_t{1} << 63;

  PendingMessage(Text from_agent, Text content, std::uint64_t timestamp, bool is_broadcast);

  Text from_agent_;
  Text content_;
  std::uint64_t stamp_;  // the timestamp, with kBroadcastBit for a broadcast
};
static_assert(sizeof(PendingMessage) == 40, "two texts and one word");

class Inbox {
 public:
  static constexpr std::size_t kFirstCapacity = 4;
  static_assert((kFirstCapacity & (kFirstCapacity - 1)) == 0, "the ring index is masked");

  Inbox() noexcept = default;
  Inbox(Inbox&& other) noexcept;
  Inbox& operator=(Inbox&& other) noexcept;
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;
  ~Inbox();

  // Appends at the back. On std::bad_alloc the inbox is unchanged.
  void push_back(PendingMessage message);
  // Copies every pending message, oldest first, as delivered to `owner`; the inbox is
  // unchanged.
  std::vector<Message> copy_all(std::string_view owner) const;
  // Moves every pending message out, oldest first, as delivered to `owner`; the
  // inbox keeps its storage.
  std::vector<Message> take_all(std::string_view owner);
  // Puts `messages` (taken out earlier, oldest first) back in front of whatever is
  // pending now, so that the oldest is again at the front. Needs no storage when
  // nothing arrived since they were taken; on std::bad_alloc the inbox is unchanged.
  void restore_front(std::vector<Message>&& messages);

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  PendingMessage& at(std::size_t index) const noexcept {
    return slots_[(head_ + index) & (capacity_ - 1)];
  }
  void grow();
  void destroy_all() noexcept;

  PendingMessage* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace galtro
