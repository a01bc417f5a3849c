#include "lib/inbox.h"

#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "table/fatal_failure.h"

namespace galtro {
namespace {

PendingMessage* allocate_slots(std::size_t count) {
  return std::allocator<PendingMessage>().allocate(count);
}

void free_slots(PendingMessage* slots, std::size_t count) noexcept {
  if (slots != nullptr) std::allocator<PendingMessage>().deallocate(slots, count);
}

}  // namespace

PendingMessage::PendingMessage(Text from_agent, Text content, std::uint64_t timestamp,
                               bool is_broadcast)
    : from_agent_(std::move(from_agent)),
      content_(std::move(content)),
      stamp_(timestamp | (is_broadcast ? kBroadcastBit : 0)) {
  if (timestamp > kMaxTimestamp) fatal("assertion failed: a message timestamp fits in 63 bits");
}

PendingMessage PendingMessage::of(Message message) {
  const bool is_broadcast = !message.to_agent.has_value();
  return PendingMessage(std::move(message.from_agent), std::move(message.content),
                        message.timestamp, is_broadcast);
}

Inbox::Inbox(Inbox&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      size_(std::exchange(other.size_, 0)) {}

Inbox& Inbox::operator=(Inbox&& other) noexcept {
  if (this != &other) {
    destroy_all();
    free_slots(slots_, capacity_);
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    head_ = std::exchange(other.head_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Inbox::~Inbox() {
  destroy_all();
  free_slots(slots_, capacity_);
}

void Inbox::destroy_all() noexcept {
  for (std::size_t i = 0; i < size_; ++i) std::destroy_at(&at(i));
  head_ = 0;
  size_ = 0;
}

void Inbox::grow() {
  static_assert(std::is_nothrow_move_constructible_v<PendingMessage>,
                "growth must not fail halfway");
  const std::size_t new_capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
  if (new_capacity > std::allocator_traits<std::allocator<PendingMessage>>::max_size({})) {
    throw std::bad_alloc();
  }
  PendingMessage* new_slots = allocate_slots(new_capacity);  // may throw: nothing changed yet
  for (std::size_t i = 0; i < size_; ++i) {
    PendingMessage& old = at(i);
    std::construct_at(&new_slots[i], std::move(old));
    std::destroy_at(&old);
  }
  free_slots(slots_, capacity_);
  slots_ = new_slots;
  capacity_ = new_capacity;
  head_ = 0;
}

void Inbox::push_back(PendingMessage message) {
  if (size_ == capacity_) grow();
  std::construct_at(&at(size_), std::move(message));
  ++size_;
}

std::vector<Message> Inbox::copy_all(std::string_view owner) const {
  std::vector<Message> copies;
  copies.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) {
    // Built in place, field by field, rather than moved in.
    const PendingMessage& pending = at(i);
    Message& copy = copies.emplace_back(pending.from_agent(), std::nullopt, pending.content(),
                                        pending.timestamp());
    if (!pending.is_broadcast()) copy.to_agent.emplace(owner);
  }
  return copies;
}

std::vector<Message> Inbox::take_all(std::string_view owner) {
  std::vector<Message> taken(size_);  // may throw: nothing moved yet
  // The addressees first, as they may need storage, so that a failure moves nothing.
  for (std::size_t i = 0; i < size_; ++i) {
    const PendingMessage& pending = at(i);
    if (!pending.is_broadcast()) taken[i].to_agent.emplace(owner);
    taken[i].timestamp = pending.timestamp();
  }
  for (std::size_t i = 0; i < size_; ++i) {
    PendingMessage& pending = at(i);
    taken[i].from_agent = std::move(pending.from_agent_);
    taken[i].content = std::move(pending.content_);
  }
  destroy_all();
  return taken;
}

void Inbox::restore_front(std::vector<Message>&& messages) {
  while (capacity_ - size_ < messages.size()) grow();  // may throw: nothing moved yet
  for (std::size_t i = messages.size(); i-- > 0;) {
    head_ = (head_ + capacity_ - 1) & (capacity_ - 1);
    std::construct_at(&slots_[head_], PendingMessage::of(std::move(messages[i])));
    ++size_;
  }
  messages.clear();
}

}  // namespace galtro
