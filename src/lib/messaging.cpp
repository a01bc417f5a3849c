// Direct messages, broadcasts, and reading or draining an inbox.
//
// Messaging never holds two shard locks at once: each step takes one table's lock
// and releases it before the next step. Each inbox gets its own copy of a message,
// made before the inbox's lock is taken; history events borrow the texts.
#include <utility>
#include <vector>

#include "lib/coordination_state.h"
#include "table/fatal_failure.h"

namespace galtro {

Message CoordinationState::send_message(Text from_agent, Text to_agent, Text content) {
  Message message{std::move(from_agent), std::move(to_agent), std::move(content), now_seconds()};
  const Text& addressee = *message.to_agent;
  // Everything that takes memory in proportion to the texts is made before the first
  // change: the inbox's copy, both keys and the history event's storage.
  PendingMessage copy =
      PendingMessage::direct(message.from_agent, message.content, message.timestamp);
  Text inbox_key(addressee);
  Text status_key(addressee);
  BorrowedEvent event = BorrowedEvent::message_sent(
      message.from_agent.view(), addressee.view(), message.content.view(), message.timestamp);
  EventLog::Room room = EventLog::Room::for_event(event);

  inboxes_.entry(std::move(inbox_key)).or_insert(Inbox()).push_back(std::move(copy));
  ensure_status(std::move(status_key));
  event.time = now_seconds();
  append_history(event, room);
  return message;
}

Message CoordinationState::broadcast(Text from_agent, Text content) {
  Message message{std::move(from_agent), std::nullopt, std::move(content), now_seconds()};
  BorrowedEvent event =
      BorrowedEvent::broadcast(message.from_agent.view(), message.content.view(), 0);
  EventLog::Room room = EventLog::Room::for_event(event);
  ensure_status(Text(message.from_agent));

  // Every agent with a status entry, the sender included, taken whole before any
  // inbox is touched.
  std::vector<Text> recipients;
  statuses_.for_each(
      [&recipients](const Text& agent_id, const AgentStatus&) { recipients.push_back(agent_id); });

  // Every recipient's copy is made before the first delivery, so that running out of
  // memory for them delivers nothing.
  std::vector<PendingMessage> copies;
  copies.reserve(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    copies.push_back(
        PendingMessage::broadcast(message.from_agent, message.content, message.timestamp));
  }
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    inboxes_.entry(std::move(recipients[i])).or_insert(Inbox()).push_back(std::move(copies[i]));
  }
  event.time = now_seconds();
  append_history(event, room);
  return message;
}

std::vector<PendingMessage> CoordinationState::inbox(std::string_view agent_id) {
  if (auto entry = inboxes_.find_entry(agent_id); entry.occupied()) {
    return entry.value().copy_all();
  }
  inboxes_.entry(Text(agent_id)).or_insert(Inbox());
  return {};
}

DrainedMessages CoordinationState::drain_inbox(Text agent_id) {
  std::vector<PendingMessage> taken;
  if (auto entry = inboxes_.find_entry(agent_id); entry.occupied()) {
    taken = entry.value().take_all();
  } else {
    entry.release();
    inboxes_.entry(Text(agent_id)).or_insert(Inbox());
  }
  return DrainedMessages(&inboxes_, std::move(agent_id), std::move(taken));
}

void DrainedMessages::commit() noexcept {
  InboxTable* inboxes = std::exchange(inboxes_, nullptr);
  if (inboxes == nullptr || messages_.empty()) return;
  auto entry = inboxes->find_entry(owner_);
  if (!entry.occupied()) fatal("assertion failed: a drained inbox stays in its table");
  entry.value().release_room(messages_.size());
}

void DrainedMessages::give_back() noexcept {
  InboxTable* inboxes = std::exchange(inboxes_, nullptr);
  if (inboxes == nullptr || messages_.empty()) return;
  auto entry = inboxes->find_entry(owner_);
  if (!entry.occupied()) fatal("assertion failed: a drained inbox stays in its table");
  entry.value().restore_front(messages_);
}

}  // namespace galtro
