// Direct messages, broadcasts, and reading or draining an inbox.
//
// Messaging never holds two shard locks at once: each step takes one table's lock
// and releases it before the next step. Each inbox gets its own copy of a message,
// made from the caller's texts before the first delivery; history events borrow
// them. Keys are looked up by view and copied only when an entry is created.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/fatal_failure.h"
#include "core/coordination_state.h"

namespace galtro {

std::uint64_t CoordinationState::send_message(const BorrowedText& from_agent,
                                              const BorrowedText& to_agent,
                                              const BorrowedText& content) {
  const std::uint64_t timestamp = now_seconds();
  // Everything that takes memory in proportion to the texts is made before the first
  // change: the inbox's copy, a long addressee's keys and the history event's storage.
  PendingMessage copy = PendingMessage::direct(from_agent, content, timestamp);
  std::optional<Text> inbox_key = early_copy(to_agent);
  std::optional<Text> status_key = early_copy(to_agent);
  BorrowedEvent event =
      BorrowedEvent::message_sent(from_agent.view(), to_agent.view(), content.view(), timestamp);
  EventLog::Room room = EventLog::Room::for_event(event);

  {
    auto entry = inboxes_.entry(to_agent);
    Inbox& inbox = entry.occupied() ? entry.value()
                   : inbox_key      ? entry.insert(std::move(*inbox_key), Inbox())
                                    : entry.insert(Inbox());
    inbox.push_back(std::move(copy));
  }
  add_idle_status(to_agent, status_key);
  event.time = now_seconds();
  append_history(event, room);
  return timestamp;
}

std::uint64_t CoordinationState::broadcast(const BorrowedText& from_agent,
                                           const BorrowedText& content) {
  const std::uint64_t timestamp = now_seconds();
  BorrowedEvent event = BorrowedEvent::broadcast(from_agent.view(), content.view(), 0);
  EventLog::Room room = EventLog::Room::for_event(event);
  ensure_status(from_agent);

  // Every agent with a status entry, the sender included, taken whole before any
  // inbox is touched, and each id's hash in `inboxes`.
  std::vector<Text> recipients;
  statuses_.collect(
      recipients, [](const Text& agent_id, const AgentStatus&) -> const Text& { return agent_id; });
  std::vector<std::uint64_t> hashes;
  hashes.reserve(recipients.size());
  for (const Text& agent_id : recipients) hashes.push_back(inboxes_.hash(agent_id));

  // Every recipient's copy is made before the first delivery, so that running out of
  // memory for them delivers nothing; each is built in place.
  std::vector<PendingMessage> copies;
  copies.reserve(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    copies.emplace_back(PendingMessage::Kind::kBroadcast, from_agent, content, timestamp);
  }

  // Inbox shard by inbox shard, each locked once; one shard at a time, as ever. The
  // snapshot's copy of an id becomes the key of an inbox made here, so that no
  // delivery needs memory for a key.
  inboxes_.visit_by_shard(hashes, [&](InboxTable::ShardBatch& batch, std::size_t i) {
    batch.or_insert(hashes[i], std::move(recipients[i]), Inbox()).push_back(std::move(copies[i]));
  });
  event.time = now_seconds();
  append_history(event, room);
  return timestamp;
}

std::vector<PendingMessage> CoordinationState::inbox(std::string_view agent_id) {
  auto entry = inboxes_.entry(agent_id);
  if (entry.occupied()) return entry.value().copy_all();
  entry.insert(Inbox());
  return {};
}

DrainedMessages CoordinationState::drain_inbox(const BorrowedText& agent_id) {
  std::vector<PendingMessage> taken;
  const std::uint64_t inbox_hash = inboxes_.hash(agent_id);
  {
    auto entry = inboxes_.entry(agent_id, inbox_hash);
    if (entry.occupied()) {
      taken = entry.value().take_all();
    } else {
      entry.insert(Inbox());
    }
  }
  return DrainedMessages(&inboxes_, agent_id, inbox_hash, std::move(taken));
}

std::size_t CoordinationState::remove_delivered(std::string_view agent_id,
                                                const DeliveredRun& delivered) {
  if (delivered.size() == 0) return 0;
  auto entry = inboxes_.entry(agent_id);
  return entry.occupied() ? entry.value().remove_delivered(delivered) : 0;
}

void DrainedMessages::commit() noexcept {
  InboxTable* inboxes = std::exchange(inboxes_, nullptr);
  if (inboxes == nullptr || messages_.empty()) return;
  auto entry = inboxes->entry(owner_, owner_hash_);
  if (!entry.occupied()) fatal("assertion failed: a drained inbox stays in its table");
  entry.value().release_room(messages_.size());
}

void DrainedMessages::give_back() noexcept {
  InboxTable* inboxes = std::exchange(inboxes_, nullptr);
  if (inboxes == nullptr || messages_.empty()) return;
  auto entry = inboxes->entry(owner_, owner_hash_);
  if (!entry.occupied()) fatal("assertion failed: a drained inbox stays in its table");
  entry.value().restore_front(messages_);
}

}  // namespace galtro
