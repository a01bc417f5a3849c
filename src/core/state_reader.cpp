// The read-only reader. Texts are copied while a shard is held shared; sorting happens
// after every lock is released.
#include "core/state_reader.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace galtro {
namespace {

// The end of a lease that started at `last`: the first second at which it is expired.
std::uint64_t lease_end(std::uint64_t last, std::uint64_t lease) noexcept {
  constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  return last > kNever - lease ? kNever : last + lease;
}

}  // namespace

std::vector<ClaimReading> StateReader::claims() const {
  const std::uint64_t lease = state_.ttl_seconds_ + state_.grace_seconds_;
  const bool lease_overflows = lease < state_.ttl_seconds_;
  const std::uint64_t now = state_.now_seconds();
  std::vector<ClaimReading> readings;
  state_.claims_.for_each([&](const Text& key, const StoredClaim& claim) {
    const std::uint64_t last = std::max(claim.claimed_at, claim.renewed_at);
    const std::uint64_t elapsed = now >= last ? now - last : 0;  // a clock stepped back
    readings.push_back(
        {key, claim.holder, claim.claimed_at, claim.renewed_at,
         lease_overflows ? std::numeric_limits<std::uint64_t>::max() : lease_end(last, lease),
         !lease_overflows && elapsed >= lease});
  });
  std::ranges::sort(readings, {}, [](const ClaimReading& r) { return r.resource_key.view(); });
  return readings;
}

std::vector<AgentReading> StateReader::agents() const {
  std::vector<AgentReading> readings;
  state_.statuses_.for_each(
      [&](const Text& agent_id, AgentStatus status) { readings.push_back({agent_id, status}); });
  std::ranges::sort(readings, {}, [](const AgentReading& r) { return r.agent_id.view(); });
  return readings;
}

std::vector<InboxReading> StateReader::inbox_sizes() const {
  std::vector<InboxReading> readings;
  state_.inboxes_.for_each([&](const Text& agent_id, const Inbox& inbox) {
    readings.push_back({agent_id, inbox.size()});
  });
  std::ranges::sort(readings, {}, [](const InboxReading& r) { return r.agent_id.view(); });
  return readings;
}

std::vector<HistoryEvent> StateReader::history(std::uint64_t since,
                                               std::optional<std::size_t> count) const {
  // The seconds first, then each second's log on its own: a shard is never read again
  // while a for_each holds it.
  std::vector<std::uint64_t> seconds;
  state_.history_.for_each([&](std::uint64_t second, const HistoryList&) {
    if (second >= since) seconds.push_back(second);
  });
  std::ranges::sort(seconds);
  const std::size_t limit = count.value_or(std::numeric_limits<std::size_t>::max());
  std::vector<HistoryEvent> events;
  for (const std::uint64_t second : seconds) {
    if (events.size() >= limit) break;
    auto log = state_.history_.get(second);
    if (!log) continue;  // not reached: no operation removes a second
    log->value().for_each_event([&](const EventView& event) {
      if (events.size() < limit) events.push_back(event.to_event());
    });
  }
  return events;
}

}  // namespace galtro
