#include "lib/inbox.h"

#include <memory>
#include <new>
#include <utility>

namespace galtro {
namespace {

Message* allocate_slots(std::size_t count) {
  return std::allocator<Message>().allocate(count);
}

void free_slots(Message* slots, std::size_t count) noexcept {
  if (slots != nullptr) std::allocator<Message>().deallocate(slots, count);
}

}  // namespace

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
  static_assert(std::is_nothrow_move_constructible_v<Message>, "growth must not fail halfway");
  const std::size_t new_capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
  if (new_capacity > std::allocator_traits<std::allocator<Message>>::max_size({})) {
    throw std::bad_alloc();
  }
  Message* new_slots = allocate_slots(new_capacity);  // may throw: nothing changed yet
  for (std::size_t i = 0; i < size_; ++i) {
    Message& old = at(i);
    std::construct_at(&new_slots[i], std::move(old));
    std::destroy_at(&old);
  }
  free_slots(slots_, capacity_);
  slots_ = new_slots;
  capacity_ = new_capacity;
  head_ = 0;
}

void Inbox::push_back(Message message) {
  if (size_ == capacity_) grow();
  std::construct_at(&at(size_), std::move(message));
  ++size_;
}

std::vector<Message> Inbox::copy_all() const {
  std::vector<Message> copies;
  copies.reserve(size_);
  for (std::size_t i = 0; i < size_; ++i) copies.push_back(at(i));
  return copies;
}

std::vector<Message> Inbox::take_all() {
  std::vector<Message> taken;
  taken.reserve(size_);  // may throw: nothing moved yet
  for (std::size_t i = 0; i < size_; ++i) taken.push_back(std::move(at(i)));
  destroy_all();
  return taken;
}

}  // namespace galtro
