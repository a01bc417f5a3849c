#include "core/records.h"

#include "base/fatal_failure.h"

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

ClaimTarget target_of_key(std::string_view key) {
  if (key.starts_with(kFileKeyPrefix)) {
    return ClaimTarget{ClaimTarget::Kind::kFile, Text(key.substr(kFileKeyPrefix.size()))};
  }
  if (key.starts_with(kTaskKeyPrefix)) {
    return ClaimTarget{ClaimTarget::Kind::kTask, Text(key.substr(kTaskKeyPrefix.size()))};
  }
  fatal("assertion failed: a claim key starts with file: or task:");
}

Claim claim_of(std::string_view key, const StoredClaim& stored) {
  return Claim{target_of_key(key), stored.holder, stored.claimed_at, stored.renewed_at};
}

}  // namespace galtro
