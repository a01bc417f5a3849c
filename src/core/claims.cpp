// Claims on files and tasks: claim (with takeover after the lease), renew, release.
//
// Every decision on a key is made while the exclusive lock of the key's `claims`
// shard is held (through the table entry), so test and change are atomic per key.
// What the status and history steps need in proportion to the caller's texts (a long
// id's key copy, a large event's storage) is made before the claim changes, so that
// running out of memory for it changes nothing. Only the takeover path keeps that
// lock while it writes `statuses` and `history`.
//
// The table stores a StoredClaim under the key, its holder copied from the caller's
// id; the caller gets back the two stamps only, as holder and target are its own
// texts. History events borrow their texts: the key of a fresh claim as its prefix and
// name, since the key itself has gone into the table by then.
#include <algorithm>
#include <optional>
#include <utility>

#include "core/concat.h"
#include "core/coordination_state.h"

namespace galtro {

StoredClaim CoordinationState::new_claim(std::string_view holder) const {
  const std::uint64_t claimed_at = now_seconds();
  const std::uint64_t renewed_at = now_seconds();
  return StoredClaim{Text(holder), claimed_at, renewed_at};
}

bool CoordinationState::is_expired(const StoredClaim& claim, std::uint64_t now) const {
  const std::uint64_t last = std::max(claim.claimed_at, claim.renewed_at);
  const std::uint64_t elapsed = now >= last ? now - last : 0;  // a clock stepped back
  const std::uint64_t lease = ttl_seconds_ + grace_seconds_;
  const bool lease_overflows = lease < ttl_seconds_;
  return !lease_overflows && elapsed >= lease;
}

std::expected<ClaimStamps, Refusal> CoordinationState::claim_file(const BorrowedText& agent_id,
                                                                  const BorrowedText& path) {
  return claim(agent_id, ClaimTarget::Kind::kFile, path);
}

std::expected<ClaimStamps, Refusal> CoordinationState::claim_task(const BorrowedText& agent_id,
                                                                  const BorrowedText& task_id) {
  return claim(agent_id, ClaimTarget::Kind::kTask, task_id);
}

std::expected<ClaimStamps, Refusal> CoordinationState::claim(std::string_view agent_id,
                                                             ClaimTarget::Kind kind,
                                                             std::string_view name) {
  const std::string_view prefix = key_prefix(kind);
  Text key(prefix, name);
  // What takes memory in proportion to the caller's texts is made before any change.
  std::optional<Text> status_key = early_copy(agent_id);
  BorrowedEvent claimed = BorrowedEvent::claimed(agent_id, TextPieces(prefix, name), 0);
  EventLog::Room room = EventLog::Room::for_event(claimed);

  auto entry = claims_.entry(key);
  // Holding the exclusive lock of the key's shard from here on. The new claim's two
  // readings are taken only once the key is known to be free or lapsed, so that a
  // refusal reads the clock once; nothing else can see the key meanwhile.
  if (!entry.occupied()) {
    StoredClaim fresh = new_claim(agent_id);
    const ClaimStamps stamps{fresh.claimed_at, fresh.renewed_at};
    entry.insert(std::move(key), std::move(fresh));
    entry.release();
    write_status(agent_id, AgentStatus::kBusy, status_key);
    claimed.time = now_seconds();
    append_history(claimed, room);
    return stamps;
  }

  const std::uint64_t now = now_seconds();
  StoredClaim& stored = entry.value();
  if (!is_expired(stored, now)) {
    const bool is_task = kind == ClaimTarget::Kind::kTask;
    return std::unexpected(Refusal{
        concat({stored.holder.view(),
                is_task ? " already holds claim on task " : " already holds claim on ", name})});
  }

  // Takeover of an expired claim: the lock stays held (the one nesting lock_order.h
  // allows) until both events are recorded. The events take the key
  // from the entry, which keeps it stored meanwhile.
  StoredClaim fresh = new_claim(agent_id);
  const ClaimStamps stamps{fresh.claimed_at, fresh.renewed_at};
  const Text previous_holder = std::exchange(stored, std::move(fresh)).holder;
  write_status(agent_id, AgentStatus::kBusy, status_key);
  claimed.time = now_seconds();
  append_history(claimed, room);
  append_history(BorrowedEvent::released(previous_holder.view(), entry.key(), now_seconds()));
  entry.release();
  return stamps;
}

std::expected<ClaimStamps, Refusal> CoordinationState::renew_claim(
    const BorrowedText& agent_id, const BorrowedText& resource_key) {
  auto entry = claims_.entry(resource_key);
  if (!entry.occupied()) {
    return std::unexpected(Refusal{concat({"no claim on ", entry.key(), " to renew"})});
  }
  StoredClaim& stored = entry.value();
  if (stored.holder != agent_id) {
    return std::unexpected(
        Refusal{concat({agent_id.view(), " cannot renew a claim held by ", stored.holder.view()})});
  }
  stored.claimed_at = now_seconds();
  stored.renewed_at = now_seconds();
  return ClaimStamps{stored.claimed_at, stored.renewed_at};
}

std::expected<void, Refusal> CoordinationState::release(const BorrowedText& agent_id,
                                                        const BorrowedText& resource_key) {
  auto entry = claims_.entry(resource_key);
  if (!entry.occupied()) {
    return std::unexpected(Refusal{concat({"no claim found for ", agent_id.view()})});
  }
  const Text& holder = entry.value().holder;
  if (holder != agent_id) {
    return std::unexpected(
        Refusal{concat({agent_id.view(), " cannot release a claim held by ", holder.view()})});
  }
  // What takes memory in proportion to the caller's texts is made before the change.
  std::optional<Text> status_key = early_copy(agent_id);
  BorrowedEvent released = BorrowedEvent::released(agent_id.view(), entry.key(), 0);
  EventLog::Room room = EventLog::Room::for_event(released);
  const Text key = entry.remove().first;
  entry.release();
  write_status(agent_id, AgentStatus::kIdle, status_key);
  released.texts[1] = key.view();
  released.time = now_seconds();
  append_history(released, room);
  return {};
}

}  // namespace galtro
