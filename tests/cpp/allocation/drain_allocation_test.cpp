// A drain whose messages cannot be handed on because an allocation fails, failed at
// every allocation from the first on, in turn: every message is still there afterwards,
// in order, and none is there twice.
//
// This program fails allocations on purpose: it replaces operator new, and its link
// wraps malloc (-Wl,--wrap=malloc), so that texts and history blocks (std::malloc) and
// inbox storage (std::allocator) alike fail when told to. Failing is off outside the
// armed section of each round.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"

extern "C" void* __real_malloc(std::size_t size);

namespace {

// Allocations left before the one that fails; negative when none is to fail.
long allocations_before_failure = -1;
bool failure_happened = false;

bool fail_this_allocation() noexcept {
  if (allocations_before_failure < 0) return false;
  if (allocations_before_failure-- > 0) return false;
  failure_happened = true;
  return true;
}

}  // namespace

extern "C" void* __wrap_malloc(std::size_t size) {
  return fail_this_allocation() ? nullptr : __real_malloc(size);
}

void* operator new(std::size_t size) {
  void* memory = fail_this_allocation() ? nullptr : __real_malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace galtro {
namespace {

std::vector<std::string> contents(const std::vector<PendingMessage>& messages) {
  std::vector<std::string> out;
  for (const PendingMessage& message : messages) out.push_back(message.content().str());
  return out;
}

TEST(DrainAllocationFailure, NothingIsLostWhicheverAllocationFails) {
  // A heap-sized owner, so that any copy of its id would need memory, and as many
  // heap-sized messages as fill the ring, so that one more arrival must grow it.
  const std::string owner = "an agent id longer than the inline texts";
  std::vector<std::string> pending;
  for (int i = 0; i < static_cast<int>(Inbox::kFirstCapacity); ++i) {
    pending.push_back("pending message number " + std::to_string(i));
  }
  const std::string late = "a message that arrives while the drained ones are handed on";

  bool completed = false;
  long failing = 0;
  for (; !completed; ++failing) {
    SCOPED_TRACE("the allocation failing is number " + std::to_string(failing + 1));
    ManualClock clock;
    CoordinationState state(clock);
    for (const std::string& content : pending) {
      state.send_message(BorrowedText("sender"), BorrowedText(owner), BorrowedText(content));
    }

    std::vector<std::string> handed_on;
    bool late_sent = false;
    failure_happened = false;
    allocations_before_failure = failing;
    try {
      const BorrowedText owner_id(owner);
      DrainedMessages drained = state.drain_inbox(owner_id);
      // Something sends to the same inbox before the drained messages are handed on,
      // as a finalizer may while the caller builds its result.
      state.send_message(BorrowedText("sender"), BorrowedText(owner), BorrowedText(late));
      late_sent = true;
      std::vector<std::string> copies = contents(drained.messages());
      drained.commit();
      handed_on = std::move(copies);
    } catch (const std::bad_alloc&) {
    }
    allocations_before_failure = -1;
    completed = !failure_happened;

    std::vector<std::string> expected = handed_on.empty() ? pending : std::vector<std::string>{};
    EXPECT_TRUE(handed_on.empty() || handed_on == pending);
    const std::vector<std::string> now = contents(state.inbox(owner));
    if (late_sent) {
      expected.push_back(late);
    } else if (now.size() == expected.size() + 1) {
      expected.push_back(late);  // delivered, then its status or history step failed
    }
    EXPECT_EQ(now, expected);
    const auto entry = StateAccess::inboxes(state).get(owner);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->value().reserved(), 0u);
  }
  // The owner's key, the drained list, the late message's texts, its history block,
  // the grown ring and the copies each failed in some round.
  EXPECT_GE(failing, 8) << "rounds run";
  std::printf("%ld rounds, the last without a failure\n", failing);
}

}  // namespace
}  // namespace galtro
