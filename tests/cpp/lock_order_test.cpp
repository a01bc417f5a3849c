// The lock order check: nestings against the rule of lock_order.h fail before the
// thread waits, in the builds that check (Debug and sanitizer builds).
#include "table/lock_order.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/fatal_failure.h"
#include "coordination_state_test_access.h"
#include "core/clock.h"
#include "core/coordination_state.h"
#include "table/sharded_table.h"

namespace galtro {
namespace {

using Table = ShardedTable<std::string, int>;

constexpr HashKey kKey{0x0123456789abcdef, 0x1122334455667788};

// The message of the fatal failure `take` raises, or "" if it raises none.
template <class F>
std::string failure_of(F&& take) {
  try {
    take();
  } catch (const FatalFailure& failure) {
    return failure.message();
  }
  return "";
}

TEST(LockOrder, OnlyAnOuterTablesLockMayBeHeldWhileAnotherIsTaken) {
  if (!kLockOrderChecked) GTEST_SKIP() << "this build does not check the lock order";
  Table outer(4, kKey, LockNesting::kOuter), inner(4, kKey), other_inner(4, kKey);
  outer.insert("k", 1);
  inner.insert("k", 1);
  {
    auto held = outer.entry("k");  // the allowed nesting: outer, then inner
    EXPECT_EQ(failure_of([&] { inner.entry("k").value() = 2; }), "");
    EXPECT_EQ(failure_of([&] { EXPECT_EQ(inner.get("k")->value(), 2); }), "");
  }
  {
    auto held = inner.entry("k");  // reversed: inner, then outer
    EXPECT_EQ(failure_of([&] { outer.entry("k"); }),
              "lock order violated: a lock taken while a lock of an inner table is held");
    EXPECT_EQ(failure_of([&] { other_inner.get("k"); }),
              "lock order violated: a lock taken while a lock of an inner table is held");
  }
  for (Table* table : {&outer, &inner}) {
    auto held = table->get("k");  // two locks of one table, even both shared
    EXPECT_EQ(failure_of([&] { table->get("other key"); }),
              "lock order violated: a second lock of one table taken while one is held");
    EXPECT_EQ(failure_of([&] { table->size(); }),
              "lock order violated: a second lock of one table taken while one is held");
  }
  {
    // An iteration may move on while references from earlier shards live, but nothing
    // else of the table may be taken meanwhile.
    for (int key = 0; key < 32; ++key) inner.insert(std::to_string(key), key);
    auto iteration = inner.iterate();
    auto kept = iteration.next();
    while (auto ref = iteration.next()) {
    }
    EXPECT_EQ(failure_of([&] { inner.get("k"); }),
              "lock order violated: a second lock of one table taken while one is held");
  }
  // Every failed attempt left nothing behind: each lock can be taken again.
  auto first = outer.entry("k");
  auto second = inner.entry("k");
}

TEST(LockOrder, TheStateNestsOnlyClaimsBeforeTheOthers) {
  if (!kLockOrderChecked) GTEST_SKIP() << "this build does not check the lock order";
  ManualClock clock;
  CoordinationState state(clock);
  ASSERT_TRUE(state.claim_file(BorrowedText("a"), BorrowedText("p")));
  // A takeover nests `statuses` and `history` inside `claims`, as the rule allows.
  clock.advance(300);
  ASSERT_TRUE(state.claim_file(BorrowedText("b"), BorrowedText("p")));
  // Holding a `statuses` shard while a claim takes its `claims` shard is reversed.
  const auto status = StateAccess::statuses(state).get(std::string_view("b"));
  ASSERT_TRUE(status);
  EXPECT_EQ(failure_of([&] { (void)state.claim_file(BorrowedText("c"), BorrowedText("q")); }),
            "lock order violated: a lock taken while a lock of an inner table is held");
}

}  // namespace
}  // namespace galtro
