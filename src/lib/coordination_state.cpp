// Construction, agent status and the history append.
#include "lib/coordination_state.h"

#include <utility>

namespace galtro {

CoordinationState::CoordinationState(const Clock& clock) : clock_(clock) {}

AgentStatus CoordinationState::status(std::string_view agent_id) const {
  if (auto found = statuses_.get(agent_id)) return found->value();
  return AgentStatus::kIdle;
}

void CoordinationState::set_status(Text agent_id, AgentStatus status) {
  statuses_.insert(std::move(agent_id), status);
}

void CoordinationState::ensure_status(Text agent_id) {
  auto entry = statuses_.entry(std::move(agent_id));
  if (!entry.occupied()) entry.insert(AgentStatus::kIdle);
}

void CoordinationState::append_history(const BorrowedEvent& event) {
  EventLog::Room none;
  append_history(event, none);
}

void CoordinationState::append_history(const BorrowedEvent& event, EventLog::Room& room) {
  const std::uint64_t second = now_seconds();
  auto entry = history_.entry(second);
  if (entry.occupied()) {
    entry.value().append(event, room);
    return;
  }
  // Built whole before it is stored, so a failed allocation leaves no trace.
  EventLog log;
  log.append(event, room);
  entry.insert(std::move(log));
}

}  // namespace galtro
