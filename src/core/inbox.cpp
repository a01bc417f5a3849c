#include "core/inbox.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "base/fatal_failure.h"

namespace galtro {
namespace {

PendingMessage* allocate_slots(std::size_t count) {
  return std::allocator<PendingMessage>().allocate(count);
}

void free_slots(PendingMessage* slots, std::size_t count) noexcept {
  if (slots != nullptr) std::allocator<PendingMessage>().deallocate(slots, count);
}

}  // namespace

DeliveredRun::DeliveredRun(std::vector<PendingMessage> oldest_first)
    : newest_first_(std::move(oldest_first)) {
  std::ranges::reverse(newest_first_);
  fallback_.resize(newest_first_.size());  // may throw: nothing else to undo
  std::size_t matched = 0;
  for (std::size_t i = 1; i < newest_first_.size(); ++i) {
    fallback_[i] = matched = advance(matched, newest_first_[i]);
  }
}

Inbox::Inbox(Inbox&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      size_(std::exchange(other.size_, 0)),
      reserved_(std::exchange(other.reserved_, 0)) {}

Inbox& Inbox::operator=(Inbox&& other) noexcept {
  if (this != &other) {
    destroy_all();
    free_slots(slots_, capacity_);
    slots_ = std::exchange(other.slots_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    head_ = std::exchange(other.head_, 0);
    size_ = std::exchange(other.size_, 0);
    reserved_ = std::exchange(other.reserved_, 0);
  }
  return *this;
}

void Inbox::free_all() noexcept {
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
  // The pending run is at most two pieces of the ring: from head_ to the end, then
  // from the start.
  PendingMessage* target = new_slots;
  const auto relocate = [&target](PendingMessage* from, PendingMessage* end) noexcept {
    for (; from != end; ++from, ++target) {
      std::construct_at(target, std::move(*from));
      std::destroy_at(from);
    }
  };
  const std::size_t first = std::min(size_, capacity_ - head_);
  relocate(slots_ + head_, slots_ + head_ + first);
  relocate(slots_, slots_ + (size_ - first));
  free_slots(slots_, capacity_);
  slots_ = new_slots;
  capacity_ = new_capacity;
  head_ = 0;
}

std::vector<PendingMessage> Inbox::copy_all() const {
  std::vector<PendingMessage> copies;
  copies.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) copies.push_back(at(i));
  return copies;
}

std::vector<PendingMessage> Inbox::take_all() {
  static_assert(std::is_nothrow_move_constructible_v<PendingMessage>,
                "taking out must not fail halfway");
  std::vector<PendingMessage> taken;
  taken.reserve(size_);  // may throw: nothing moved yet
  for (std::size_t i = 0; i < size_; ++i) taken.push_back(std::move(at(i)));
  reserved_ += size_;
  destroy_all();
  return taken;
}

void Inbox::release_room(std::size_t count) noexcept {
  if (count > reserved_) fatal("assertion failed: room released was kept");
  reserved_ -= count;
}

std::size_t Inbox::remove_delivered(const DeliveredRun& delivered) noexcept {
  // The run to remove, the first L pending messages, is the longest one that read
  // backwards (at(L-1), ..., at(0)) is a prefix of the delivered messages newest first:
  // a Knuth-Morris-Pratt pass of that pattern over the first messages read backwards,
  // whose final match is the longest such prefix.
  const std::size_t window = std::min(size_, delivered.size());
  std::size_t matched = 0;
  // At most delivered.size() messages are read: a whole match comes only at the end.
  for (std::size_t i = window; i-- > 0;) matched = delivered.advance(matched, at(i));
  for (std::size_t i = 0; i < matched; ++i) std::destroy_at(&at(i));
  if (matched > 0) head_ = (head_ + matched) & (capacity_ - 1);
  size_ -= matched;
  return matched;
}

void Inbox::restore_front(std::vector<PendingMessage>& messages) noexcept {
  if (messages.size() > reserved_) fatal("assertion failed: messages given back had room kept");
  for (std::size_t i = messages.size(); i-- > 0;) {
    head_ = (head_ + capacity_ - 1) & (capacity_ - 1);
    std::construct_at(&slots_[head_], std::move(messages[i]));
    ++size_;
  }
  reserved_ -= messages.size();
  messages.clear();
}

}  // namespace galtro
