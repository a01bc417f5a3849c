# pyright: strict
"""The read-only views of a state on a Redis server (``galtro.RedisCoordinationState``).

Each view is one read: a short read-only script (claims with the server's time, inbox
sizes, a page of the history with the stream's counts) or one command (statuses, the
history stream), so it sees one moment of the namespace; only ``history`` with ``since``
may read a few more entries after its first page. Nothing is written. The keys are
``galtro.redis._scripts.namespace_keys``; the scripts are run as the state runs its own
(EVALSHA, the flagged form on 7.0 and later, declared ``no-writes``).

Inbox sizes are read for every agent in ``statuses``: every inbox on the server
belongs to one (a message makes its addressee known, a broadcast reaches only known
agents). Those inbox keys are found inside the script, as a broadcast finds them, and
carry the namespace's hash tag. Redis deletes an empty list, so an empty inbox is not
listed.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Union, cast

from galtro._inspect import MOST_EVENTS, check_count, check_since
from galtro._protocol import LEASE_SECONDS
from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage

from ._scripts import Script, namespace_keys
from ._state import RedisCoordinationState

__all__ = ["RedisReader"]

# Replies as bytes, whatever the client's decode_responses and encoding.
_RAW: Mapping[str, Any] = {"NEVER_DECODE": True}

_READ_CLAIMS = Script("no-writes", r"""
-- The server's time and every claim record.
-- KEYS[1] claims. Returns {now, resource key, record, resource key, record, ...}.
local reply = redis.call('HGETALL', KEYS[1])
table.insert(reply, 1, redis.call('TIME')[1])
return reply
""")

_READ_INBOX_SIZES = Script("no-writes", r"""
-- The number of pending messages of every known agent that has any.
-- KEYS[1] statuses. ARGV[1] prefix of the inbox keys.
-- Returns {agent id, count, agent id, count, ...}.
local reply = {}
for _, agent in ipairs(redis.call('HKEYS', KEYS[1])) do
  local size = redis.call('LLEN', ARGV[1] .. agent)
  if size > 0 then
    table.insert(reply, agent)
    table.insert(reply, size)
  end
end
return reply
""")

# Shared by the two history scripts: the entries the stream has had ('entries-added',
# Redis 7.0 on; -1 before), its length and the id of its first entry ('' if none).
_STREAM_COUNTS = r"""
local function stream_counts(stream)
  if redis.call('EXISTS', stream) == 0 then return 0, 0, '' end
  local info = redis.call('XINFO', 'STREAM', stream)
  local added, length, first = -1, 0, ''
  for i = 1, #info, 2 do
    local name, value = info[i], info[i + 1]
    if name == 'entries-added' then added = value
    elseif name == 'length' then length = value
    elseif name == 'first-entry' and value then first = value[1] end
  end
  return added, length, first
end
"""

_FIND_START = Script("no-writes", _STREAM_COUNTS + r"""
-- Where following the history from a second starts.
-- KEYS[1] history. ARGV[1] first stream id of the second, ARGV[2] the second.
-- Returns {entries added (-1: not counted), id of the last entry from ARGV[1] on whose
-- event is of an earlier second ('' if none), number of entries after that point}.
local stream, second = KEYS[1], tonumber(ARGV[2])
local added = stream_counts(stream)
local straggler, after, from = '', 0, ARGV[1]
while true do
  local page = redis.call('XRANGE', stream, from, '+', 'COUNT', 1000)
  for _, entry in ipairs(page) do
    local fields, time = entry[2], nil
    for i = 1, #fields, 2 do
      if fields[i] == 'time' then time = tonumber(fields[i + 1]) end
    end
    if after == 0 and time < second then straggler = entry[1] else after = after + 1 end
  end
  if #page < 1000 then break end
  local last = page[#page][1]
  local dash = string.find(last, '-', 1, true)
  from = string.sub(last, 1, dash) .. string.format('%d', tonumber(string.sub(last, dash + 1)) + 1)
end
return {added, straggler, after}
""")

_READ_AFTER = Script("no-writes", _STREAM_COUNTS + r"""
-- The entries from an id on, with the stream's counts, read at one moment.
-- KEYS[1] history. ARGV[1] first id to read, ARGV[2] the most entries ('': all).
-- Returns {entries added (-1: not counted), length, first entry id ('' if none), entries}.
local added, length, first = stream_counts(KEYS[1])
local page
if ARGV[2] == '' then
  page = redis.call('XRANGE', KEYS[1], ARGV[1], '+')
elseif ARGV[2] == '0' then
  page = {}
else
  page = redis.call('XRANGE', KEYS[1], ARGV[1], '+', 'COUNT', ARGV[2])
end
return {added, length, first, page}
""")

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
        self._state = state
        self._client = state.client
        self._keys = namespace_keys(state.namespace)

    def _evaluate(self, script: Script, keys: Sequence[bytes], args: Sequence[bytes]) -> Any:
        return self._state._evaluate(script, keys, args)  # pyright: ignore[reportPrivateUsage]

    def claims(self) -> List[ClaimInfo]:
        reply = self._evaluate(_READ_CLAIMS, (self._keys.claims,), ())
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
        reply = self._client.execute_command("HGETALL", self._keys.statuses, **_RAW)
        found = [AgentInfo(_text(agent), _text(status)) for agent, status in _pairs(reply)]
        found.sort(key=lambda agent: agent.agent_id.encode("utf-8"))
        return found

    def inbox_sizes(self) -> Dict[str, int]:
        reply = self._evaluate(_READ_INBOX_SIZES, (self._keys.statuses,),
                               (self._keys.inbox_prefix,))
        flat = cast(Sequence[Any], reply)  # agent ids as bytes, sizes as int
        sizes = {_text(bytes(agent)): int(size) for agent, size in zip(flat[0::2], flat[1::2])}
        return dict(sorted(sizes.items(), key=lambda item: item[0].encode("utf-8")))

    def history(self, since: Optional[int], count: Optional[int]) -> List[Event]:
        """Events whose own time is second ``since`` or later, oldest first. An event's
        time is the server's second when its script began, its stream id the
        server's millisecond when it was appended, which may be in the next second:
        the range starts at the first id of ``since`` and skips such stragglers."""
        first = check_since(since)
        most = check_count(count)
        events: List[Event] = []
        start = _StreamId(0, 0) if first is None else _StreamId(first * 1000, 0)
        while most is None or len(events) < most:
            # Stragglers of the second before are at most the two events of one script.
            extra = 0 if first is None else 2
            wanted = None if most is None else min(most - len(events) + extra, MOST_EVENTS)
            limit: List[bytes] = [] if wanted is None else [b"COUNT", b"%d" % wanted]
            reply = self._client.execute_command("XRANGE", self._keys.history,
                                                 start.text(), b"+", *limit, **_RAW)
            entries = cast(Sequence[Sequence[Any]], reply)
            events += [event for _, event in _events(entries)
                       if first is None or event.time >= first]
            if wanted is None or len(entries) < wanted:
                break
            start = _StreamId.parse(entries[-1][0]).next()
        return events if most is None else events[:most]

    def history_start(self, since: Optional[int]) -> str:
        """A cursor before the first event whose time is second ``since`` or later;
        with ``None``, of the server's current second (its ``TIME``)."""
        first = check_since(since)
        if first is None:
            first = int(self._client.execute_command("TIME", **_RAW)[0])
        start = _StreamId(first * 1000, 0)
        reply = self._evaluate(_FIND_START, (self._keys.history,),
                               (start.text(), b"%d" % first))
        added, straggler, after = int(reply[0]), bytes(reply[1]), int(reply[2])
        cursor = _StreamId.parse(straggler) if straggler else start.previous()
        return _cursor_text(cursor, added - after if added >= 0 else None)

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        """The events after ``cursor`` by stream id, at most ``count`` of them, and the
        number of events after it that trimming (``history_maxlen``) removed unread:
        exact on Redis 7.0 and later (the stream's ``entries-added``), always 0 before
        7.0, whose streams do not count their entries."""
        last, position = _parse_cursor(cursor)
        most = check_count(count)
        reply = self._evaluate(_READ_AFTER, (self._keys.history,),
                               (last.next().text(), b"" if most is None else b"%d" % most))
        added, length, first = int(reply[0]), int(reply[1]), bytes(reply[2])
        entries = cast(Sequence[Sequence[Any]], reply[3])
        events = [event for _, event in _events(entries)]
        missed = 0
        if added < 0 or (position is not None and position > added):
            position = None  # not counted, or the stream was made anew
        first_position = added - length + 1  # of the oldest entry still there
        if position is not None and position + 1 < first_position:
            missed = first_position - 1 - position
            position = first_position - 1
            last = _StreamId.parse(first).previous()
        if entries:
            last = _StreamId.parse(entries[-1][0])
            if position is not None:
                position += len(entries)
            elif added >= 0 and (most is None or len(entries) < most):
                position = added  # read to the end
        return HistoryPage(events, _cursor_text(last, position), missed)


class _StreamId:
    """A stream entry id, ``{milliseconds}-{sequence}``, two unsigned 64-bit numbers."""

    __slots__ = ("ms", "seq")
    _LAST_SEQ = 2**64 - 1

    def __init__(self, ms: int, seq: int) -> None:
        self.ms = ms
        self.seq = seq

    @classmethod
    def parse(cls, text: Union[bytes, str]) -> _StreamId:
        raw = text.decode("ascii") if isinstance(text, bytes) else text
        ms, dash, seq = raw.partition("-")
        if not (dash and ms.isdigit() and seq.isdigit() and ms.isascii() and seq.isascii()):
            raise ValueError(f"not a history cursor: {raw!r}")
        found = cls(int(ms), int(seq))
        if found.ms > cls._LAST_SEQ or found.seq > cls._LAST_SEQ:
            raise ValueError(f"not a history cursor: {raw!r}")
        return found

    def text(self) -> bytes:
        return b"%d-%d" % (self.ms, self.seq)

    def next(self) -> _StreamId:
        """The smallest id after this one (XRANGE's exclusive start before 6.2)."""
        if self.seq < self._LAST_SEQ:
            return _StreamId(self.ms, self.seq + 1)
        return _StreamId(self.ms + 1, 0)

    def previous(self) -> _StreamId:
        """The largest id before this one; 0-0, which no entry has, for 0-0 itself."""
        if self.seq:
            return _StreamId(self.ms, self.seq - 1)
        if self.ms:
            return _StreamId(self.ms - 1, self._LAST_SEQ)
        return self


def _cursor_text(last: _StreamId, position: Optional[int]) -> str:
    """A cursor: the id of the last entry read (or the one before the start), and, where
    the server counts its entries, how many entries had been added up to it."""
    text = last.text().decode("ascii")
    return text if position is None else f"{text}@{position}"


def _parse_cursor(cursor: object) -> tuple[_StreamId, Optional[int]]:
    if not isinstance(cursor, str):
        raise TypeError(f"cursor must be a str, not {type(cursor).__name__}")
    last, at, position = cursor.partition("@")
    if at and not (position.isascii() and position.isdigit()):
        raise ValueError(f"not a history cursor: {cursor!r}")
    return _StreamId.parse(last), int(position) if at else None


def _events(entries: Sequence[Sequence[Any]]) -> List[tuple[bytes, Event]]:
    """The (stream id, event) of each entry of an XRANGE reply."""
    found: List[tuple[bytes, Event]] = []
    for entry_id, entry in entries:
        values = dict(_pairs(entry))
        kind = _text(values[b"kind"])
        fields = {name: _text(values[_STREAM_FIELDS[name]]) for name in EVENT_FIELDS[kind]}
        found.append((bytes(entry_id), Event(kind, int(values[b"time"]), fields)))
    return found
