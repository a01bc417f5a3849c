# pyright: strict
"""The read-only views of a state in a SQLite file (``galtro.SqliteCoordinationState``).

Each view is one ``SELECT``, so it sees one committed moment of the namespace; nothing
is written. Claims are judged by the host's clock, read once per view. An empty inbox
is not listed. The history is followed by the events' ``seq``,
which counts the events of a namespace without gaps: a cursor is the ``seq`` of the
last event read, and events that retention removed since show as ``missed``. The
layout is that of ``galtro.sqlite._state``.
"""

from __future__ import annotations

import time
from typing import Any, Dict, List, Optional, Sequence

from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage
from galtro._protocol import LEASE_SECONDS

from ._state import KINDS, SqliteCoordinationState

__all__ = ["SqliteReader"]

_CLAIMS = ("SELECT resource_key, holder, claimed_at, renewed_at FROM claims"
           " WHERE namespace = ? ORDER BY resource_key")
_AGENTS = "SELECT agent, status FROM statuses WHERE namespace = ? ORDER BY agent"
# Every inbox belongs to a known agent: a message makes its addressee known.
_INBOX_SIZES = ("SELECT agent, size FROM (SELECT agent,"
                " (SELECT count(*) FROM messages AS m"
                "  WHERE m.namespace = s.namespace AND m.owner = s.agent)"
                " + (SELECT count(*) FROM broadcasts AS b"
                "  WHERE b.namespace = s.namespace AND b.seq > s.since) AS size"
                " FROM statuses AS s WHERE namespace = ?) WHERE size > 0 ORDER BY agent")
_EVENTS = "SELECT seq, kind, time, a, b, c FROM history WHERE namespace = ?"
_FIRST_OF_SECOND = "SELECT min(seq) FROM history WHERE namespace = ? AND time >= ?"
_LAST = "SELECT max(seq) FROM history WHERE namespace = ?"


def _text(raw: bytes) -> str:
    return raw.decode("utf-8")


def _event(row: Sequence[Any]) -> Event:
    kind_number: int = row[1]
    seconds: int = row[2]
    texts: Sequence[bytes] = row[3:]
    kind = KINDS[kind_number]
    return Event(kind, seconds, {name: _text(raw) for name, raw in zip(EVENT_FIELDS[kind], texts)})


def _parse_cursor(cursor: str) -> int:
    if not cursor.isdigit() or not cursor.isascii():
        raise ValueError(f"not a history cursor of a SQLite state: {cursor!r}")
    return int(cursor)


class SqliteReader:
    """The views of ``state``, a ``galtro.SqliteCoordinationState``."""

    def __init__(self, state: SqliteCoordinationState) -> None:
        self._state = state
        self._namespace = state.namespace.encode("utf-8")

    def _rows(self, sql: str, *parameters: object) -> List[Any]:
        return self._state._read(sql, (self._namespace, *parameters))  # pyright: ignore[reportPrivateUsage]

    def claims(self) -> List[ClaimInfo]:
        rows = self._rows(_CLAIMS)
        now = int(time.time())
        found: List[ClaimInfo] = []
        for key, holder, claimed_at, renewed_at in rows:
            last = max(claimed_at, renewed_at)
            found.append(ClaimInfo(_text(key), _text(holder), claimed_at, renewed_at,
                                   last + LEASE_SECONDS, max(0, now - last) >= LEASE_SECONDS))
        return found

    def agents(self) -> List[AgentInfo]:
        return [AgentInfo(_text(agent), str(status)) for agent, status in self._rows(_AGENTS)]

    def inbox_sizes(self) -> Dict[str, int]:
        return {_text(owner): size for owner, size in self._rows(_INBOX_SIZES)}

    def history(self, since: Optional[int], count: Optional[int]) -> List[Event]:
        """The events of second ``since`` or later by their own time, oldest first."""
        if count == 0:
            return []
        sql = _EVENTS
        parameters: List[object] = []
        if since is not None:
            sql += " AND time >= ?"
            parameters.append(since)
        sql += " ORDER BY seq LIMIT ?"
        parameters.append(-1 if count is None else count)
        return [_event(row) for row in self._rows(sql, *parameters)]

    def history_start(self, since: Optional[int]) -> str:
        first = self._rows(_FIRST_OF_SECOND, int(time.time()) if since is None else since)[0][0]
        if first is not None:
            return str(first - 1)
        return str(self._rows(_LAST)[0][0] or 0)

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        after = _parse_cursor(cursor)
        if count == 0:
            return HistoryPage([], cursor, 0)
        rows = self._rows(_EVENTS + " AND seq > ? ORDER BY seq LIMIT ?", after,
                          -1 if count is None else count)
        if not rows:
            return HistoryPage([], cursor, 0)
        return HistoryPage([_event(row) for row in rows], str(rows[-1][0]),
                           rows[0][0] - after - 1)
