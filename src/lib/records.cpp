#include "lib/records.h"

namespace galtro {

std::string_view status_text(AgentStatus status) noexcept {
  switch (status) {
    case AgentStatus::kIdle:
      return "idle";
    case AgentStatus::kBusy:
      return "busy";
    case AgentStatus::kCompleted:
      return "completed";
    case AgentStatus::kError:
      return "error";
  }
  return "idle";
}

}  // namespace galtro
