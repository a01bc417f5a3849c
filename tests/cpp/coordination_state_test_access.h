// Read access for tests to what CoordinationState keeps to itself: its four tables
// and its lease fields.
#pragma once

#include <cstdint>

#include "core/coordination_state.h"

namespace galtro {

struct CoordinationStateTestAccess {
  static const ClaimTable& claims(const CoordinationState& state) { return state.claims_; }
  static const StatusTable& statuses(const CoordinationState& state) { return state.statuses_; }
  static const InboxTable& inboxes(const CoordinationState& state) { return state.inboxes_; }
  static const HistoryTable& history(const CoordinationState& state) { return state.history_; }
  static std::uint64_t ttl_seconds(const CoordinationState& state) { return state.ttl_seconds_; }
  static std::uint64_t grace_seconds(const CoordinationState& state) {
    return state.grace_seconds_;
  }
};

using StateAccess = CoordinationStateTestAccess;

}  // namespace galtro
