// The plain records of the coordination state: agent status, claims, messages and
// history events. Every record owns its texts. (How the tables store claims, inbox
// messages and history is more compact: StoredClaim here, inbox.h, event_log.h.)
#pragma once

#include <cstdint>
#include <string_view>
#include <variant>

#include "core/text.h"

namespace galtro {

enum class AgentStatus : std::uint8_t { kIdle = 0, kBusy = 1, kCompleted = 2, kError = 3 };

// "idle", "busy", "completed" or "error".
std::string_view status_text(AgentStatus status) noexcept;

// What a claim is on: a file path or a task id (variants in this order).
struct ClaimTarget {
  enum class Kind : std::uint8_t { kFile = 0, kTask = 1 };
  Kind kind;
  Text name;  // the path or the task id, as the caller passed it
  friend bool operator==(const ClaimTarget&, const ClaimTarget&) = default;
};

struct Claim {
  ClaimTarget target;
  Text holder;
  std::uint64_t claimed_at;
  std::uint64_t renewed_at;
  friend bool operator==(const Claim&, const Claim&) = default;
};

// Resource keys: the path or task id behind one of these prefixes.
inline constexpr std::string_view kFileKeyPrefix = "file:";
inline constexpr std::string_view kTaskKeyPrefix = "task:";

constexpr std::string_view key_prefix(ClaimTarget::Kind kind) noexcept {
  return kind == ClaimTarget::Kind::kFile ? kFileKeyPrefix : kTaskKeyPrefix;
}

// A claim as the `claims` table keeps it. The target is not stored: the key it is
// stored under names it.
struct StoredClaim {
  Text holder;
  std::uint64_t claimed_at;
  std::uint64_t renewed_at;
  friend bool operator==(const StoredClaim&, const StoredClaim&) = default;
};
static_assert(sizeof(StoredClaim) == 32, "a holder and two stamps, nothing more");

// The target a resource key names. Fatal unless the key has one of the prefixes,
// which every key of `claims` has.
ClaimTarget target_of_key(std::string_view key);

// The full claim that `stored` is under `key`.
Claim claim_of(std::string_view key, const StoredClaim& stored);

// History events, each with the time its operation read from the clock.
struct ClaimedEvent {
  Text agent_id;
  Text resource_key;
  std::uint64_t time;
  friend bool operator==(const ClaimedEvent&, const ClaimedEvent&) = default;
};
struct ReleasedEvent {
  Text agent_id;
  Text resource_key;
  std::uint64_t time;
  friend bool operator==(const ReleasedEvent&, const ReleasedEvent&) = default;
};
struct MessageSentEvent {
  Text from_agent;
  Text to_agent;
  Text content;
  std::uint64_t time;
  friend bool operator==(const MessageSentEvent&, const MessageSentEvent&) = default;
};
struct BroadcastEvent {
  Text from_agent;
  Text content;
  std::uint64_t time;
  friend bool operator==(const BroadcastEvent&, const BroadcastEvent&) = default;
};

using HistoryEvent = std::variant<ClaimedEvent, ReleasedEvent, MessageSentEvent, BroadcastEvent>;

}  // namespace galtro
