// Inbox: one agent's pending messages, first in first out, in a ring buffer.
//
// A new inbox reserves nothing; storage doubles as messages arrive (first block of
// kFirstCapacity) and is kept when the inbox is drained. Invariant: the pending
// messages are slots_[(head_ + i) % capacity_] for i in [0, size_), oldest first;
// capacity_ is 0 or a power of two.
#pragma once

#include <cstddef>
#include <vector>

#include "lib/records.h"

namespace galtro {

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
  void push_back(Message message);
  // Copies every pending message, oldest first; the inbox is unchanged.
  std::vector<Message> copy_all() const;
  // Moves every pending message out, oldest first; the inbox keeps its storage.
  std::vector<Message> take_all();

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  Message& at(std::size_t index) const noexcept {
    return slots_[(head_ + index) & (capacity_ - 1)];
  }
  void grow();
  void destroy_all() noexcept;

  Message* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace galtro
