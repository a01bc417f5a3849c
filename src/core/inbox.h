// Inbox: one agent's pending messages, first in first out, in a ring buffer.
//
// A message in an inbox is always addressed to the inbox's owner, so the inbox keeps
// no addressee: a PendingMessage has the sender, the content, the timestamp and
// whether it came as a broadcast. Readers get PendingMessages and add the owner
// themselves.
//
// A new inbox reserves nothing; storage doubles as messages arrive (first block of
// kFirstCapacity) and is kept when the inbox is drained.
//
// Taking messages out keeps room for them (`reserved_`) until the taker either hands
// them on (release_room) or gives them back (restore_front), so that giving back
// never needs memory, whatever arrived meanwhile.
//
// A reader that copied the pending messages and handed them on removes them afterwards
// with remove_delivered: only those of them that still stand at the front, since
// another reader may have removed some first, and none that arrived after them.
//
// Invariants: the pending messages are slots_[(head_ + i) % capacity_] for i in
// [0, size_), oldest first; capacity_ is 0 or a power of two; size_ + reserved_ <=
// capacity_.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fatal_failure.h"
#include "core/records.h"

namespace galtro {

// A message as an inbox keeps it, in 40 bytes: the timestamp shares its word with the
// broadcast flag. Timestamps come from now_seconds, which never exceeds 2^63 - 1.
class PendingMessage {
 public:
  static constexpr std::uint64_t kMaxTimestamp = (std::uint64_t{1} << 63) - 1;
  enum class Kind : bool { kDirect = false, kBroadcast = true };

  // Copies both texts straight into the message, so that a message is built where
  // it is to stay (a container's emplace) without a move of freshly written texts.
  // Fatal if `timestamp` exceeds kMaxTimestamp.
  PendingMessage(Kind kind, std::string_view from_agent, std::string_view content,
                 std::uint64_t timestamp)
      : from_agent_(from_agent), content_(content), stamp_(stamp_of(kind, timestamp)) {}
  static PendingMessage direct(std::string_view from_agent, std::string_view content,
                               std::uint64_t timestamp) {
    return PendingMessage(Kind::kDirect, from_agent, content, timestamp);
  }
  static PendingMessage broadcast(std::string_view from_agent, std::string_view content,
                                  std::uint64_t timestamp) {
    return PendingMessage(Kind::kBroadcast, from_agent, content, timestamp);
  }
  const Text& from_agent() const noexcept { return from_agent_; }
  const Text& content() const noexcept { return content_; }
  std::uint64_t timestamp() const noexcept { return stamp_ & kMaxTimestamp; }
  bool is_broadcast() const noexcept { return (stamp_ & kBroadcastBit) != 0; }

  friend bool operator==(const PendingMessage&, const PendingMessage&) = default;

 private:
  friend class Inbox;  // moves the texts out when the inbox is drained
  static constexpr std::uint64_t kBroadcastBit = std::uint64_t{1} << 63;

  static std::uint64_t stamp_of(Kind kind, std::uint64_t timestamp) {
    if (timestamp > kMaxTimestamp) fatal("assertion failed: a message timestamp fits in 63 bits");
    return timestamp | (kind == Kind::kBroadcast ? kBroadcastBit : 0);
  }

  Text from_agent_;
  Text content_;
  std::uint64_t stamp_;  // the timestamp, with kBroadcastBit for a broadcast
};
static_assert(sizeof(PendingMessage) == 40, "two texts and one word");

// Messages a reader copied from the front of an inbox, oldest first, made ready to be
// found there again by Inbox::remove_delivered. Two messages are the same delivery when
// sender, content and timestamp agree: the broadcast flag is not compared, as readers
// outside the core do not see it.
//
// The search runs in time linear in the number of messages, without allocating: the
// messages are kept newest first with their table of Knuth-Morris-Pratt fallbacks,
// made here, before any inbox is locked.
class DeliveredRun {
 public:
  // Throws std::bad_alloc.
  explicit DeliveredRun(std::vector<PendingMessage> oldest_first);

  std::size_t size() const noexcept { return newest_first_.size(); }

  static bool same_delivery(const PendingMessage& a, const PendingMessage& b) noexcept {
    return a.timestamp() == b.timestamp() && a.from_agent() == b.from_agent() &&
           a.content() == b.content();
  }

  // One Knuth-Morris-Pratt step over the messages newest first: the length of the
  // longest prefix matched once `next` follows a match of length `matched`.
  // PRECONDITION: matched < size(), and fallback_ is set below `matched`.
  std::size_t advance(std::size_t matched, const PendingMessage& next) const noexcept {
    while (matched > 0 && !same_delivery(next, newest_first_[matched])) {
      matched = fallback_[matched - 1];
    }
    return same_delivery(next, newest_first_[matched]) ? matched + 1 : matched;
  }

 private:
  std::vector<PendingMessage> newest_first_;
  // fallback_[i]: the length of the longest proper prefix of newest_first_[0..i] that
  // is also a suffix of it.
  std::vector<std::size_t> fallback_;
};

class Inbox {
 public:
  static constexpr std::size_t kFirstCapacity = 4;
  static_assert((kFirstCapacity & (kFirstCapacity - 1)) == 0, "the ring index is masked");

  Inbox() noexcept = default;
  Inbox(Inbox&& other) noexcept;
  Inbox& operator=(Inbox&& other) noexcept;
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;
  // An inbox that never held a message is dropped without a call.
  ~Inbox() {
    if (slots_ != nullptr) free_all();
  }

  // Appends at the back, moving `message` in. On std::bad_alloc the inbox and
  // `message` are unchanged.
  void push_back(PendingMessage&& message) {
    if (size_ + reserved_ == capacity_) grow();
    std::construct_at(&at(size_), std::move(message));
    ++size_;
  }
  void push_back(const PendingMessage& message) { push_back(PendingMessage(message)); }
  // Copies every pending message, oldest first; the inbox is unchanged.
  std::vector<PendingMessage> copy_all() const;
  // Moves every pending message out, oldest first, and keeps room for as many until
  // release_room() or restore_front() is called with them. The inbox keeps its
  // storage. On std::bad_alloc the inbox is unchanged.
  std::vector<PendingMessage> take_all();
  // The taker of `count` messages has handed them on: their room is free again.
  void release_room(std::size_t count) noexcept;
  // Puts `messages`, taken out by take_all() and not handed on, back in front of
  // whatever is pending now, oldest first, into the room kept for them: allocates
  // nothing. Leaves `messages` empty.
  void restore_front(std::vector<PendingMessage>& messages) noexcept;
  // Removes the newest messages of `delivered` that stand at the front now: the
  // longest run of its last messages that equals the run of as many pending messages
  // from the front (none if no such run). Every message behind that run stays. Returns
  // how many were removed. Allocates nothing.
  std::size_t remove_delivered(const DeliveredRun& delivered) noexcept;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Room kept for messages taken out and not yet handed on or given back.
  std::size_t reserved() const noexcept { return reserved_; }

 private:
  PendingMessage& at(std::size_t index) const noexcept {
    return slots_[(head_ + index) & (capacity_ - 1)];
  }
  void grow();
  void destroy_all() noexcept;
  void free_all() noexcept;

  PendingMessage* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace galtro
