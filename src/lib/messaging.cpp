// Direct messages, broadcasts, and reading or draining an inbox.
//
// Messaging never holds two shard locks at once: each step takes one table's lock
// and releases it before the next step. Each inbox gets its own copy of a message,
// made before the first delivery; history events borrow the texts. Keys are looked
// up by view and copied only when an entry is created.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "lib/coordination_state.h"
#include "table/fatal_failure.h"

namespace galtro {

Message CoordinationState::send_message(Text from_agent, Text to_agent, Text content) {
  Message message{std::move(from_agent), std::move(to_agent), std::move(content), now_seconds()};
  const Text& addressee = *message.to_agent;
  // Everything that takes memory in proportion to the texts is made before the first
  // change: the inbox's copy, a long addressee's keys and the history event's storage.
  PendingMessage copy =
      PendingMessage::direct(message.from_agent, message.content, message.timestamp);
  std::optional<Text> inbox_key = early_copy(addressee);
  std::optional<Text> status_key = early_copy(addressee);
  BorrowedEvent event = BorrowedEvent::message_sent(
      message.from_agent.view(), addressee.view(), message.content.view(), message.timestamp);
  EventLog::Room room = EventLog::Room::for_event(event);

  {
    auto entry = inboxes_.entry(addressee);
    Inbox& inbox = entry.occupied() ? entry.value()
                   : inbox_key      ? entry.insert(std::move(*inbox_key), Inbox())
                                    : entry.insert(Inbox());
    inbox.push_back(std::move(copy));
  }
  add_idle_status(addressee, status_key);
  event.time = now_seconds();
  append_history(event, room);
  return message;
}

namespace {

// One recipient of a broadcast: its id, copied out of `statuses`, and the hash of
// that id in `inboxes`.
struct Recipient {
  Text agent_id;
  std::uint64_t inbox_hash;
};

}  // namespace

Message CoordinationState::broadcast(Text from_agent, Text content) {
  Message message{std::move(from_agent), std::nullopt, std::move(content), now_seconds()};
  BorrowedEvent event =
      BorrowedEvent::broadcast(message.from_agent.view(), message.content.view(), 0);
  EventLog::Room room = EventLog::Room::for_event(event);
  ensure_status(message.from_agent);

  // Every agent with a status entry, the sender included, taken whole before any
  // inbox is touched; each id is hashed for `inboxes` once, here. Statuses are never
  // removed, so the last broadcast's count is a good guess of the room needed.
  std::vector<Recipient> recipients;
  recipients.reserve(last_recipient_count_.load(std::memory_order_relaxed));
  statuses_.for_each([&](const Text& agent_id, const AgentStatus&) {
    recipients.push_back(Recipient{agent_id, inboxes_.hash(agent_id)});
  });
  last_recipient_count_.store(recipients.size(), std::memory_order_relaxed);

  // Every recipient's copy is made before the first delivery, so that running out of
  // memory for them delivers nothing.
  std::vector<PendingMessage> copies;
  copies.reserve(recipients.size());
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    copies.push_back(
        PendingMessage::broadcast(message.from_agent, message.content, message.timestamp));
  }

  // Deliveries grouped by inbox shard (a counting sort of the recipients), so that each
  // shard is locked once; one shard at a time, as ever. One block holds the sort:
  // where each shard's run starts (shard_count + 1), the next place in each run
  // (shard_count), and the recipients' indexes in shard order.
  const std::size_t shard_count = inboxes_.shard_count();
  std::vector<std::uint32_t> sort(2 * shard_count + 1 + recipients.size(), 0);
  std::uint32_t* const starts = sort.data();
  std::uint32_t* const next = starts + shard_count + 1;
  std::uint32_t* const order = next + shard_count;
  for (const Recipient& recipient : recipients) {
    ++starts[inboxes_.shard_index(recipient.inbox_hash) + 1];
  }
  for (std::size_t shard = 0; shard < shard_count; ++shard) {
    starts[shard + 1] += starts[shard];
    next[shard] = starts[shard];
  }
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    order[next[inboxes_.shard_index(recipients[i].inbox_hash)]++] = static_cast<std::uint32_t>(i);
  }
  for (std::size_t shard = 0; shard < shard_count; ++shard) {
    if (starts[shard] == starts[shard + 1]) continue;
    auto batch = inboxes_.lock_shard(shard);
    for (std::uint32_t k = starts[shard]; k < starts[shard + 1]; ++k) {
      // The snapshot's copy of the id becomes the key of an inbox made here, so that
      // no delivery needs memory for a key.
      Recipient& recipient = recipients[order[k]];
      batch.or_insert(recipient.inbox_hash, std::move(recipient.agent_id), Inbox())
          .push_back(std::move(copies[order[k]]));
    }
  }
  event.time = now_seconds();
  append_history(event, room);
  return message;
}

std::vector<PendingMessage> CoordinationState::inbox(std::string_view agent_id) {
  auto entry = inboxes_.entry(agent_id);
  if (entry.occupied()) return entry.value().copy_all();
  entry.insert(Inbox());
  return {};
}

DrainedMessages CoordinationState::drain_inbox(Text agent_id) {
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
  return DrainedMessages(&inboxes_, std::move(agent_id), inbox_hash, std::move(taken));
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
