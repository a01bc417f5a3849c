// Direct messages, broadcasts, and reading or draining an inbox.
//
// Messaging never holds two shard locks at once: each step takes one table's lock
// and releases it before the next step. Each inbox gets its own copy of a message,
// made before the inbox's lock is taken; history events borrow the texts.
#include <utility>
#include <vector>

#include "lib/coordination_state.h"

namespace galtro {

Message CoordinationState::send_message(Text from_agent, Text to_agent, Text content) {
  Message message{std::move(from_agent), std::move(to_agent), std::move(content), now_seconds()};
  const Text& addressee = *message.to_agent;
  {
    PendingMessage copy =
        PendingMessage::direct(message.from_agent, message.content, message.timestamp);
    auto entry = inboxes_.entry(Text(addressee));
    entry.or_insert(Inbox()).push_back(std::move(copy));
  }
  ensure_status(Text(addressee));
  append_history(BorrowedEvent::message_sent(message.from_agent.view(), addressee.view(),
                                             message.content.view(), now_seconds()));
  return message;
}

Message CoordinationState::broadcast(Text from_agent, Text content) {
  Message message{std::move(from_agent), std::nullopt, std::move(content), now_seconds()};
  ensure_status(Text(message.from_agent));

  // Every agent with a status entry, the sender included, taken whole before any
  // inbox is touched.
  std::vector<Text> recipients;
  statuses_.for_each(
      [&recipients](const Text& agent_id, const AgentStatus&) { recipients.push_back(agent_id); });

  for (Text& recipient : recipients) {
    PendingMessage copy =
        PendingMessage::broadcast(message.from_agent, message.content, message.timestamp);
    auto entry = inboxes_.entry(std::move(recipient));
    entry.or_insert(Inbox()).push_back(std::move(copy));
  }
  append_history(
      BorrowedEvent::broadcast(message.from_agent.view(), message.content.view(), now_seconds()));
  return message;
}

std::vector<Message> CoordinationState::inbox(Text agent_id) {
  auto entry = inboxes_.entry(std::move(agent_id));
  const Inbox& inbox = entry.or_insert(Inbox());
  return inbox.copy_all(entry.key().view());
}

std::vector<Message> CoordinationState::drain_inbox(Text agent_id) {
  auto entry = inboxes_.entry(std::move(agent_id));
  Inbox& inbox = entry.or_insert(Inbox());
  return inbox.take_all(entry.key().view());
}

void CoordinationState::return_drained(Text agent_id, std::vector<Message> messages) {
  if (messages.empty()) return;
  auto entry = inboxes_.entry(std::move(agent_id));
  entry.or_insert(Inbox()).restore_front(std::move(messages));
}

}  // namespace galtro
