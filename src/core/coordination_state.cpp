// Construction, agent status and the history append.
#include "core/coordination_state.h"

#include <optional>
#include <utility>

namespace galtro {

CoordinationState::CoordinationState(const Clock& clock) : clock_(clock) {}

AgentStatus CoordinationState::status(std::string_view agent_id) const {
  if (auto found = statuses_.get(agent_id)) return found->value();
  return AgentStatus::kIdle;
}

std::optional<Text> CoordinationState::early_copy(std::string_view text) {
  if (text.size() > kEarlyCopyBytes) return Text(text);
  return std::nullopt;
}

void CoordinationState::set_status(std::string_view agent_id, AgentStatus status) {
  std::optional<Text> none;
  write_status(agent_id, status, none);
}

void CoordinationState::ensure_status(std::string_view agent_id) {
  std::optional<Text> none;
  add_idle_status(agent_id, none);
}

void CoordinationState::write_status(std::string_view agent_id, AgentStatus status,
                                     std::optional<Text>& early_key) {
  auto entry = statuses_.entry(agent_id);
  if (entry.occupied()) {
    entry.value() = status;
  } else if (early_key) {
    entry.insert(std::move(*early_key), status);
  } else {
    entry.insert(status);
  }
}

void CoordinationState::add_idle_status(std::string_view agent_id,
                                        std::optional<Text>& early_key) {
  auto entry = statuses_.entry(agent_id);
  if (entry.occupied()) return;
  if (early_key) {
    entry.insert(std::move(*early_key), AgentStatus::kIdle);
  } else {
    entry.insert(AgentStatus::kIdle);
  }
}

void CoordinationState::append_history(const BorrowedEvent& event) {
  EventLog::Room none;
  append_history(event, none);
}

void CoordinationState::append_history(const BorrowedEvent& event, EventLog::Room& room) {
  const std::uint64_t second = now_seconds();
  auto entry = history_.entry(second, history_second_hash_.hash(history_, second));
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
