# pyright: strict
"""The read-only views of a state on a Redis server (``galtro.RedisCoordinationState``).

Each view is one read: a short read-only script (claims with the server's time, inbox
sizes) or one command (statuses, the history stream), so it sees one moment of the
namespace. Nothing is written. The key layout is that of ``galtro._redis_scripts``.

Inbox sizes are read for every agent in ``statuses``: every inbox on the server
belongs to one (a message makes its addressee known, a broadcast reaches only known
agents). Those inbox keys are found inside the script, as a broadcast finds them, and
carry the namespace's hash tag. Redis deletes an empty list, so an empty inbox is not
listed.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, cast

from galtro._redis_scripts import LEASE_SECONDS, namespace_prefix
from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage
from galtro.redis_state import RedisCoordinationState

__all__ = ["RedisReader"]

# Replies as bytes, whatever the client's decode_responses and encoding.
_RAW: Mapping[str, Any] = {"NEVER_DECODE": True}

# The server's time and every claim record.
# KEYS[1] claims. Returns {now, resource key, record, resource key, record, ...}.
_READ_CLAIMS = b"""
local reply = redis.call('HGETALL', KEYS[1])
table.insert(reply, 1, redis.call('TIME')[1])
return reply
"""

# The number of pending messages of every known agent that has any.
# KEYS[1] statuses. ARGV[1] prefix of the inbox keys.
# Returns {agent id, count, agent id, count, ...}.
_READ_INBOX_SIZES = b"""
local reply = {}
for _, agent in ipairs(redis.call('HKEYS', KEYS[1])) do
  local size = redis.call('LLEN', ARGV[1] .. agent)
  if size > 0 then
    table.insert(reply, agent)
    table.insert(reply, size)
  end
end
return reply
"""

# The names of the stream's fields, by the names of the events' fields.
_STREAM_FIELDS = {"agent_id": b"agent", "resource_key": b"key", "from_agent": b"from",
                  "to_agent": b"to", "content": b"content"}


def _text(raw: bytes) -> str:
    return raw.decode("utf-8")


def _pairs(reply: Any) -> List[tuple[bytes, bytes]]:
    """The (field, value) pairs of a flat array reply, or of a map reply (RESP3)."""
    if isinstance(reply, dict):
        mapping: Dict[Any, Any] = reply  # pyright: ignore[reportUnknownVariableType]
        return [(bytes(field), bytes(value)) for field, value in mapping.items()]
    flat = cast(Sequence[Any], reply)
    return [(bytes(field), bytes(value)) for field, value in zip(flat[0::2], flat[1::2])]


class RedisReader:
    """The views of ``state``, a ``galtro.RedisCoordinationState``."""

    def __init__(self, state: RedisCoordinationState) -> None:
        self._client = state.client
        self._prefix = namespace_prefix(state.namespace)

    def claims(self) -> List[ClaimInfo]:
        reply = self._client.execute_command("EVAL", _READ_CLAIMS, 1, self._prefix + b"claims",
                                             **_RAW)
        now = int(reply[0])
        found: List[ClaimInfo] = []
        for key, record in _pairs(reply[1:]):
            claimed_at, renewed_at, holder = record.split(b":", 2)
            last = max(int(claimed_at), int(renewed_at))
            found.append(ClaimInfo(_text(key), _text(holder), int(claimed_at), int(renewed_at),
                                   last + LEASE_SECONDS, max(0, now - last) >= LEASE_SECONDS))
        found.sort(key=lambda claim: claim.resource_key.encode("utf-8"))
        return found

    def agents(self) -> List[AgentInfo]:
        reply = self._client.execute_command("HGETALL", self._prefix + b"statuses", **_RAW)
        found = [AgentInfo(_text(agent), _text(status)) for agent, status in _pairs(reply)]
        found.sort(key=lambda agent: agent.agent_id.encode("utf-8"))
        return found

    def inbox_sizes(self) -> Dict[str, int]:
        prefix = self._prefix
        reply = self._client.execute_command("EVAL", _READ_INBOX_SIZES, 1, prefix + b"statuses",
                                             prefix + b"inbox:", **_RAW)
        flat = cast(Sequence[Any], reply)  # agent ids as bytes, sizes as int
        sizes = {_text(bytes(agent)): int(size) for agent, size in zip(flat[0::2], flat[1::2])}
        return dict(sorted(sizes.items(), key=lambda item: item[0].encode("utf-8")))

    def history(self, since: Optional[int], count: Optional[int]) -> List[Event]:
        """Entries from millisecond ``since * 1000`` of the stream's ids (which the server
        stamps with its own clock) on, oldest first."""
        start = b"-" if since is None else b"%d" % (since * 1000)
        limit: List[bytes] = [] if count is None else [b"COUNT", b"%d" % count]
        if count == 0:
            return []
        reply = self._client.execute_command("XRANGE", self._prefix + b"history", start, b"+",
                                             *limit, **_RAW)
        events: List[Event] = []
        for _, entry in cast(Sequence[Sequence[Any]], reply):
            values = dict(_pairs(entry))
            kind = _text(values[b"kind"])
            fields = {name: _text(values[_STREAM_FIELDS[name]]) for name in EVENT_FIELDS[kind]}
            events.append(Event(kind, int(values[b"time"]), fields))
        return events

    def history_start(self, since: Optional[int]) -> str:
        raise NotImplementedError

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        raise NotImplementedError
