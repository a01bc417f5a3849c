// CoordinationState: the shared state of one group of cooperating agents.
//
// Four tables, each a ShardedTable that locks itself per shard:
//   claims   resource key ("file:{path}" / "task:{id}") -> StoredClaim (the Claim
//            without its target, which the key names)
//   statuses agent id -> AgentStatus (its keys are the recipients of a broadcast)
//   inboxes  agent id -> Inbox (pending messages without their addressee, the owner)
//   history  Unix second -> EventLog, the events appended during that second, in
//            order, serialized back to back (event_log.h)
//
// Lock order: lock_order.h; `claims` is its one outer table.
//
// Operations never fail except as stated: claim operations return a Refusal with
// the message text, and a clock before the Unix epoch is a FatalFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/event_log.h"
#include "core/inbox.h"
#include "core/records.h"
#include "core/text.h"
#include "table/last_key_hash.h"
#include "table/sharded_table.h"

namespace galtro {

// Why a claim operation was refused; the message is shown to the caller as is.
struct Refusal {
  std::string message;
  friend bool operator==(const Refusal&, const Refusal&) = default;
};

// Events appended during one second, in append order.
using HistoryList = EventLog;

using ClaimTable = ShardedTable<Text, StoredClaim>;
using StatusTable = ShardedTable<Text, AgentStatus>;
using InboxTable = ShardedTable<Text, Inbox>;
using HistoryTable = ShardedTable<std::uint64_t, HistoryList>;

// Messages that drain_inbox() took out of an inbox, oldest first. The inbox keeps
// room for them until commit(); destroyed before that, this gives them back in front
// of any that arrived since, allocating nothing, so that a caller that cannot hand
// them on (its own allocation failed) loses none. No other drain sees them meanwhile.
class DrainedMessages {
 public:
  DrainedMessages(DrainedMessages&& other) noexcept
      : inboxes_(std::exchange(other.inboxes_, nullptr)),
        owner_(std::move(other.owner_)),
        owner_hash_(other.owner_hash_),
        messages_(std::move(other.messages_)) {}
  DrainedMessages& operator=(DrainedMessages&&) = delete;
  DrainedMessages(const DrainedMessages&) = delete;
  DrainedMessages& operator=(const DrainedMessages&) = delete;
  ~DrainedMessages() { give_back(); }

  const Text& owner() const noexcept { return owner_; }
  const std::vector<PendingMessage>& messages() const noexcept { return messages_; }
  // The caller has handed the messages on; the inbox's room for them is freed.
  void commit() noexcept;

 private:
  friend class CoordinationState;
  DrainedMessages(InboxTable* inboxes, Text owner, std::uint64_t owner_hash,
                  std::vector<PendingMessage> messages) noexcept
      : inboxes_(inboxes),
        owner_(std::move(owner)),
        owner_hash_(owner_hash),
        messages_(std::move(messages)) {}
  void give_back() noexcept;

  InboxTable* inboxes_;  // null once committed, given back or moved from
  Text owner_;
  std::uint64_t owner_hash_;  // of owner_ in *inboxes_
  std::vector<PendingMessage> messages_;
};

class CoordinationState {
 public:
  static constexpr std::uint64_t kTtlSeconds = 300;
  static constexpr std::uint64_t kGraceSeconds = 0;

  // An empty state reading time from `clock`, which must outlive it.
  explicit CoordinationState(const Clock& clock = SystemClock::instance());
  CoordinationState(const CoordinationState&) = delete;
  CoordinationState& operator=(const CoordinationState&) = delete;

  // --- Status, clock and history -------------------------------------------------
  AgentStatus status(std::string_view agent_id) const;
  std::uint64_t now_seconds() const { return galtro::now_seconds(clock_); }
  // The agent id is copied only if the agent has no entry yet.
  void set_status(std::string_view agent_id, AgentStatus status);
  // Creates an "idle" entry for an agent without one; an existing status stays.
  void ensure_status(std::string_view agent_id);
  // Appends under the current second (read here, independently of the event's time).
  // The borrowed event's texts need only live for the call.
  void append_history(const BorrowedEvent& event);
  // The same, with a large event's storage taken from `room`, which the caller set
  // aside before it changed anything (EventLog::Room).
  void append_history(const BorrowedEvent& event, EventLog::Room& room);
  void append_history(const HistoryEvent& event) { append_history(BorrowedEvent::of(event)); }

  // --- Claims ---------------------------------------------------------------------
  std::expected<Claim, Refusal> claim_file(Text agent_id, Text path);
  std::expected<Claim, Refusal> claim_task(Text agent_id, Text task_id);
  std::expected<Claim, Refusal> renew_claim(Text agent_id, Text resource_key);
  std::expected<void, Refusal> release(Text agent_id, Text resource_key);

  // --- Messaging ------------------------------------------------------------------
  Message send_message(Text from_agent, Text to_agent, Text content);
  Message broadcast(Text from_agent, Text content);
  // Copies of the pending messages, oldest first; all addressed to `agent_id`.
  std::vector<PendingMessage> inbox(std::string_view agent_id);
  // Takes the pending messages out, oldest first; see DrainedMessages.
  DrainedMessages drain_inbox(Text agent_id);
  // Removes from the inbox of `agent_id` those of `delivered`, copies of its pending
  // messages handed on since, that still stand at its front (Inbox::remove_delivered);
  // returns how many. Makes no inbox.
  std::size_t remove_delivered(std::string_view agent_id, const DeliveredRun& delivered);

  // Texts longer than this that a step after an operation's first change may have to
  // store are copied before that change (as EventLog::Room sets a large event's
  // storage aside), so that once something has changed only small allocations remain.
  static constexpr std::size_t kEarlyCopyBytes = EventLog::kMaxBlockBytes;

 private:
  friend struct CoordinationStateTestAccess;  // reads the tables and lease fields
  friend class StateReader;                   // reads the tables, taking shard locks shared

  // A copy of `text` if it is longer than kEarlyCopyBytes, else nothing.
  static std::optional<Text> early_copy(std::string_view text);
  // set_status and ensure_status, inserting `early_key` (a copy of `agent_id` made
  // beforehand, if any) when the agent has no entry.
  void write_status(std::string_view agent_id, AgentStatus status,
                    std::optional<Text>& early_key);
  void add_idle_status(std::string_view agent_id, std::optional<Text>& early_key);
  std::expected<Claim, Refusal> claim(Text agent_id, ClaimTarget::Kind kind, Text name);
  // A record for `holder` stamped with two successive clock readings.
  StoredClaim new_claim(Text holder) const;
  bool is_expired(const StoredClaim& claim, std::uint64_t now) const;

  // Built in this order.
  ClaimTable claims_{LockNesting::kOuter};
  StatusTable statuses_;
  InboxTable inboxes_;
  HistoryTable history_;
  std::uint64_t ttl_seconds_ = kTtlSeconds;
  std::uint64_t grace_seconds_ = kGraceSeconds;
  const Clock& clock_;
  // The hash of the second that history was last appended under.
  LastKeyHash history_second_hash_;
};

}  // namespace galtro
