// StateReader: a read-only look at a CoordinationState, for the tools that show who
// holds what and what happened.
//
// Every read takes shard locks of one table at a time, shared (ShardedTable::get and
// for_each), and never holds two at once; it never changes, renews or creates anything,
// so it cannot delay a writer more than one shard read does. A read is not a snapshot:
// a table changed meanwhile may be seen half before and half after the change, and two
// reads of different tables may see different moments. Results are copies, sorted
// (claims by key, agents and inboxes by id, history oldest first), so that they can be
// shown and compared without any lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/coordination_state.h"
#include "core/records.h"
#include "core/text.h"

namespace galtro {

// One stored claim with its lease: live up to expires_at - 1, expired from expires_at
// on (a lease that would end past 2^64 - 1 never expires and shows that as its end).
struct ClaimReading {
  Text resource_key;
  Text holder;
  std::uint64_t claimed_at;
  std::uint64_t renewed_at;
  std::uint64_t expires_at;
  bool expired;  // at the reader's one clock reading for the call
  friend bool operator==(const ClaimReading&, const ClaimReading&) = default;
};

struct AgentReading {
  Text agent_id;
  AgentStatus status;
  friend bool operator==(const AgentReading&, const AgentReading&) = default;
};

// An inbox and its number of pending messages; an inbox that was read or drained
// exists with 0.
struct InboxReading {
  Text agent_id;
  std::size_t pending;
  friend bool operator==(const InboxReading&, const InboxReading&) = default;
};

class StateReader {
 public:
  // Reads `state`, which must outlive the reader.
  explicit StateReader(const CoordinationState& state) noexcept : state_(state) {}

  // Every claim, expired ones included, by resource key.
  std::vector<ClaimReading> claims() const;
  // Every agent with a status entry, by id.
  std::vector<AgentReading> agents() const;
  // Every inbox, by owner.
  std::vector<InboxReading> inbox_sizes() const;
  // The events appended during second `since` or later, oldest first (by the second
  // they were appended in, then in append order); at most `count` of them, the oldest.
  std::vector<HistoryEvent> history(std::uint64_t since = 0,
                                    std::optional<std::size_t> count = std::nullopt) const;

 private:
  const CoordinationState& state_;
};

}  // namespace galtro
