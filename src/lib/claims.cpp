// Claims on files and tasks: claim (with takeover after the lease), renew, release.
//
// Every decision on a key is made while the exclusive lock of the key's `claims`
// shard is held (through the table entry), so test and change are atomic per key.
// Only the takeover path keeps that lock while it writes `statuses` and `history`.
#include <algorithm>
#include <utility>

#include "lib/concat.h"
#include "lib/coordination_state.h"

namespace galtro {
namespace {

constexpr std::string_view kFilePrefix = "file:";
constexpr std::string_view kTaskPrefix = "task:";

}  // namespace

Claim CoordinationState::new_claim(ClaimTarget target, Text holder) const {
  const std::uint64_t claimed_at = now_seconds();
  const std::uint64_t renewed_at = now_seconds();
  return Claim{std::move(target), std::move(holder), claimed_at, renewed_at};
}

bool CoordinationState::is_expired(const Claim& claim, std::uint64_t now) const {
  const std::uint64_t last = std::max(claim.claimed_at, claim.renewed_at);
  const std::uint64_t elapsed = now >= last ? now - last : 0;  // a clock stepped back
  const std::uint64_t lease = ttl_seconds_ + grace_seconds_;
  const bool lease_overflows = lease < ttl_seconds_;
  return !lease_overflows && elapsed >= lease;
}

std::expected<Claim, Refusal> CoordinationState::claim_file(Text agent_id, Text path) {
  return claim(std::move(agent_id), ClaimTarget{ClaimTarget::Kind::kFile, std::move(path)},
               kFilePrefix);
}

std::expected<Claim, Refusal> CoordinationState::claim_task(Text agent_id, Text task_id) {
  return claim(std::move(agent_id), ClaimTarget{ClaimTarget::Kind::kTask, std::move(task_id)},
               kTaskPrefix);
}

std::expected<Claim, Refusal> CoordinationState::claim(Text agent_id, ClaimTarget target,
                                                       std::string_view prefix) {
  Text key(prefix, target.name.view());
  Claim fresh = new_claim(std::move(target), std::move(agent_id));

  auto entry = claims_.entry(Text(key));
  // Holding the exclusive lock of the key's shard from here on.
  if (!entry.occupied()) {
    entry.insert(Claim(fresh));
    entry.release();
    set_status(Text(fresh.holder), AgentStatus::kBusy);
    append_history(ClaimedEvent{Text(fresh.holder), std::move(key), now_seconds()});
    return fresh;
  }

  const std::uint64_t now = now_seconds();
  if (!is_expired(entry.value(), now)) {
    const Text& holder = entry.value().holder;
    const bool is_task = fresh.target.kind == ClaimTarget::Kind::kTask;
    return std::unexpected(Refusal{
        concat({holder.view(), is_task ? " already holds claim on task " : " already holds claim on ",
                fresh.target.name.view()})});
  }

  // Takeover of an expired claim: the lock stays held (claims before statuses and
  // claims before history) until both events are recorded.
  Claim replacement(fresh);
  Text previous_holder = std::exchange(entry.value(), std::move(replacement)).holder;
  set_status(Text(fresh.holder), AgentStatus::kBusy);
  append_history(ClaimedEvent{Text(fresh.holder), Text(key), now_seconds()});
  append_history(ReleasedEvent{std::move(previous_holder), std::move(key), now_seconds()});
  entry.release();
  return fresh;
}

std::expected<Claim, Refusal> CoordinationState::renew_claim(Text agent_id, Text resource_key) {
  auto entry = claims_.entry(std::move(resource_key));
  if (!entry.occupied()) {
    return std::unexpected(Refusal{concat({"no claim on ", entry.key().view(), " to renew"})});
  }
  Claim& stored = entry.value();
  if (stored.holder != agent_id) {
    return std::unexpected(Refusal{concat({agent_id.view(), " cannot renew a claim held by ", stored.holder.view()})});
  }
  Claim renewed = new_claim(stored.target, std::move(agent_id));
  stored.claimed_at = renewed.claimed_at;
  stored.renewed_at = renewed.renewed_at;
  return renewed;
}

std::expected<void, Refusal> CoordinationState::release(Text agent_id, Text resource_key) {
  auto entry = claims_.entry(std::move(resource_key));
  if (!entry.occupied()) {
    return std::unexpected(Refusal{concat({"no claim found for ", agent_id.view()})});
  }
  const Text& holder = entry.value().holder;
  if (holder != agent_id) {
    return std::unexpected(Refusal{concat({agent_id.view(), " cannot release a claim held by ", holder.view()})});
  }
  Text key = entry.remove().first;
  entry.release();
  set_status(Text(agent_id), AgentStatus::kIdle);
  append_history(ReleasedEvent{std::move(agent_id), std::move(key), now_seconds()});
  return {};
}

}  // namespace galtro
