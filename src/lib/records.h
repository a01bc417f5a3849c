// The plain records of the coordination state: agent status, claims, messages and
// history events. Every record owns its texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "lib/text.h"

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

struct Message {
  Text from_agent;
  std::optional<Text> to_agent;  // absent for a broadcast
  Text content;
  std::uint64_t timestamp;
  friend bool operator==(const Message&, const Message&) = default;
};

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
