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
//
// Operations take their callers' texts as BorrowedTexts and copy what they keep.
// Results own their texts or give back only what the caller does not already have
// (stamps): a claim's holder and target, a message's texts are the caller's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/borrowed_text.h"
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

// The two stamps of a claim made or renewed.
struct ClaimStamps {
  std::uint64_t claimed_at;
  std::uint64_t renewed_at;
  friend bool operator==(const ClaimStamps&, const ClaimStamps&) = default;
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
// It views the owner's id that drain_inbox() was given, so it lives within that call.
class DrainedMessages {
 public:
  DrainedMessages(DrainedMessages&& other) noexcept
      : inboxes_(std::exchange(other.inboxes_, nullptr)),
        owner_(other.owner_),
        owner_hash_(other.owner_hash_),
        messages_(std::move(other.messages_)) {}
  DrainedMessages& operator=(DrainedMessages&&) = delete;
  DrainedMessages(const DrainedMessages&) = delete;
  DrainedMessages& operator=(const DrainedMessages&) = delete;
  ~DrainedMessages() { give_back(); }

  std::string_view owner() const noexcept { return owner_; }
  const std::vector<PendingMessage>& messages() const noexcept { return messages_; }
  // The caller has handed the messages on; the inbox's room for them is freed.
  void commit() noexcept;

 private:
  friend class CoordinationState;
  DrainedMessages(InboxTable* inboxes, std::string_view owner, std::uint64_t owner_hash,
                  std::vector<PendingMessage> messages) noexcept
      : inboxes_(inboxes), owner_(owner), owner_hash_(owner_hash), messages_(std::move(messages)) {}
  void give_back() noexcept;

  InboxTable* inboxes_;       // null once committed, given back or moved from
  std::string_view owner_;    // the caller's text
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
  // The claim's holder is `agent_id`, its target the path or task id given.
  std::expected<ClaimStamps, Refusal> claim_file(const BorrowedText& agent_id,
                                                 const BorrowedText& path);
  std::expected<ClaimStamps, Refusal> claim_task(const BorrowedText& agent_id,
                                                 const BorrowedText& task_id);
  std::expected<ClaimStamps, Refusal> renew_claim(const BorrowedText& agent_id,
                                                  const BorrowedText& resource_key);
  std::expected<void, Refusal> release(const BorrowedText& agent_id,
                                       const BorrowedText& resource_key);

  // --- Messaging ------------------------------------------------------------------
  // Each returns the message's timestamp; its texts are the arguments.
  std::uint64_t send_message(const BorrowedText& from_agent, const BorrowedText& to_agent,
                             const BorrowedText& content);
  std::uint64_t broadcast(const BorrowedText& from_agent, const BorrowedText& content);
  // Copies of the pending messages, oldest first; all addressed to `agent_id`.
  std::vector<PendingMessage> inbox(std::string_view agent_id);
  // Takes the pending messages out, oldest first; see DrainedMessages.
  DrainedMessages drain_inbox(const BorrowedText& agent_id GALTRO_LIFETIMEBOUND);
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
  void write_status(std::string_view agent_id, AgentStatus status, std::optional<Text>& early_key);
  void add_idle_status(std::string_view agent_id, std::optional<Text>& early_key);
  std::expected<ClaimStamps, Refusal> claim(std::string_view agent_id, ClaimTarget::Kind kind,
                                            std::string_view name);
  // A record for `holder` stamped with two successive clock readings.
  StoredClaim new_claim(std::string_view holder) const;
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
