// Messages as comparable tuples for the tests: (from, to or none for a broadcast,
// content, timestamp), as a reader of an inbox sees them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/coordination_state.h"
#include "core/inbox.h"
#include "core/records.h"

namespace galtro {

// A message as the tests model it: a direct message or (no addressee) a broadcast.
struct Message {
  Text from_agent;
  std::optional<Text> to_agent;  // absent for a broadcast
  Text content;
  std::uint64_t timestamp;
  friend bool operator==(const Message&, const Message&) = default;
};

using MessageTuple =
    std::tuple<std::string, std::optional<std::string>, std::string, std::uint64_t>;
using Messages = std::vector<MessageTuple>;

inline MessageTuple as_tuple(const Message& message) {
  std::optional<std::string> to;
  if (message.to_agent) to = message.to_agent->str();
  return {message.from_agent.str(), to, message.content.str(), message.timestamp};
}

// A pending message as delivered to `owner`: addressed to it unless a broadcast.
inline MessageTuple as_tuple(const PendingMessage& message, std::string_view owner) {
  std::optional<std::string> to;
  if (!message.is_broadcast()) to = std::string(owner);
  return {message.from_agent().str(), to, message.content().str(), message.timestamp()};
}

template <typename Container>
Messages as_tuples(const Container& messages) {
  Messages tuples;
  for (const Message& message : messages) tuples.push_back(as_tuple(message));
  return tuples;
}

inline Messages as_tuples(const std::vector<PendingMessage>& messages, std::string_view owner) {
  Messages tuples;
  for (const PendingMessage& message : messages) tuples.push_back(as_tuple(message, owner));
  return tuples;
}

// Listing and draining through the state, as tuples. A drain here always hands its
// messages on.
inline Messages listed(CoordinationState& state, std::string_view agent_id) {
  return as_tuples(state.inbox(agent_id), agent_id);
}
inline Messages drained(CoordinationState& state, std::string_view agent_id) {
  const BorrowedText owner(agent_id);
  DrainedMessages taken = state.drain_inbox(owner);
  Messages tuples = as_tuples(taken.messages(), agent_id);
  taken.commit();
  return tuples;
}

// The message as an inbox keeps it: without its addressee.
inline PendingMessage pending_of(const Message& message) {
  return message.to_agent
             ? PendingMessage::direct(message.from_agent, message.content, message.timestamp)
             : PendingMessage::broadcast(message.from_agent, message.content, message.timestamp);
}

// Takes every message out of `inbox` and hands them on.
inline std::vector<PendingMessage> hand_on_all(Inbox& inbox) {
  std::vector<PendingMessage> taken = inbox.take_all();
  inbox.release_room(taken.size());
  return taken;
}

}  // namespace galtro
