// Direct messages, broadcasts, and reading or draining an inbox.
//
// Messaging never holds two shard locks at once: each step takes one table's lock
// and releases it before the next step.
#include <utility>
#include <vector>

#include "lib/coordination_state.h"

namespace galtro {

Message CoordinationState::send_message(Text from_agent, Text to_agent, Text content) {
  Message message{std::move(from_agent), std::move(to_agent), std::move(content), now_seconds()};
  const Text& addressee = *message.to_agent;
  {
    auto entry = inboxes_.entry(Text(addressee));
    entry.or_insert(Inbox()).push_back(Message(message));
  }
  ensure_status(Text(addressee));
  append_history(MessageSentEvent{Text(message.from_agent), Text(addressee), Text(message.content),
                                  now_seconds()});
  return message;
}

Message CoordinationState::broadcast(Text from_agent, Text content) {
  Message message{std::move(from_agent), std::nullopt, std::move(content), now_seconds()};
  ensure_status(Text(message.from_agent));

  // Every agent with a status entry, the sender included, taken whole before any
  // inbox is touched.
  std::vector<Text> recipients;
  statuses_.for_each([&recipients](const Text& agent_id, const AgentStatus&) {
    recipients.push_back(agent_id);
  });

  for (Text& recipient : recipients) {
    auto entry = inboxes_.entry(std::move(recipient));
    entry.or_insert(Inbox()).push_back(Message(message));
  }
  append_history(BroadcastEvent{Text(message.from_agent), Text(message.content), now_seconds()});
  return message;
}

std::vector<Message> CoordinationState::inbox(Text agent_id) {
  auto entry = inboxes_.entry(std::move(agent_id));
  return entry.or_insert(Inbox()).copy_all();
}

std::vector<Message> CoordinationState::drain_inbox(Text agent_id) {
  auto entry = inboxes_.entry(std::move(agent_id));
  return entry.or_insert(Inbox()).take_all();
}

}  // namespace galtro
