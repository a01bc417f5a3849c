# pyright: strict
"""A look at the state: claims, agents, inbox sizes, history, and all of them as JSON.

Each function takes any of the classes and reads it through a ``StateReader``: an
in-process ``galtro_core.CoordinationState`` through ``galtro._state_reader``, which
takes the tables' locks as a reader only; any other state through the reader its
``_reader()`` method returns (``galtro.RedisCoordinationState``: ``galtro.redis._reader``;
``galtro.SqliteCoordinationState``: ``galtro.sqlite._reader``).
No reader changes, renews or creates anything.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import time
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Protocol, Union, runtime_checkable

import galtro_core
from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage, StateReader

if TYPE_CHECKING:
    from galtro.redis import RedisCoordinationState
    from galtro.sqlite import SqliteCoordinationState

__all__ = [
    "check_count",
    "check_since",
    "ClaimInfo",
    "AgentInfo",
    "Event",
    "State",
    "claims",
    "agents",
    "inbox_sizes",
    "history",
    "history_start",
    "history_after",
    "last_activity",
    "snapshot",
    "reader_for",
]


#: The most events a view is asked for, and the latest second it is asked from: larger
#: values are clamped to these, which every store takes (a signed 64-bit count; a
#: second whose millisecond still fits one) and which no real history reaches.
MOST_EVENTS = 2**63 - 1
LATEST_SECOND = (2**63 - 1) // 1000


def check_count(count: object) -> Optional[int]:
    """``count`` of a history view, checked as every store checks it: ``None`` (no
    bound) or an ``int`` (not a ``bool``) of 0 or more, clamped to ``MOST_EVENTS``.
    Raises ``TypeError`` or ``ValueError``."""
    if count is None:
        return None
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"count must be an int or None, not {type(count).__name__}")
    if count < 0:
        raise ValueError("count must not be negative")
    return min(count, MOST_EVENTS)


def check_since(since: object) -> Optional[int]:
    """The first whole Unix second of ``since``, a real number of seconds (not a
    ``bool``) or ``None``, as every store takes it: floored, at least 0, clamped to
    ``LATEST_SECOND``. Raises ``TypeError``, or ``ValueError`` for NaN or infinity."""
    if since is None:
        return None
    if isinstance(since, bool) or not isinstance(since, numbers.Real):
        raise TypeError(f"since must be a real number or None, not {type(since).__name__}")
    try:
        second = int(math.floor(since))
    except (OverflowError, ValueError):  # inf, nan
        raise ValueError(f"since must be a finite number, not {since!r}") from None
    return min(max(0, second), LATEST_SECOND)


#: The classes whose state the views read.
State = Union[galtro_core.CoordinationState, "RedisCoordinationState", "SqliteCoordinationState"]


@runtime_checkable
class _HasReader(Protocol):
    def _reader(self) -> StateReader:
        """The read-only views of this state."""
        ...


class _InProcessReader:
    """The views of an in-process state, through the native module."""

    def __init__(self, state: galtro_core.CoordinationState) -> None:
        from galtro import _state_reader

        self._native = _state_reader
        self._state = state

    def claims(self) -> List[ClaimInfo]:
        return [ClaimInfo(*row) for row in self._native.claims(self._state)]

    def agents(self) -> List[AgentInfo]:
        return [AgentInfo(*row) for row in self._native.agents(self._state)]

    def inbox_sizes(self) -> Dict[str, int]:
        return dict(self._native.inbox_sizes(self._state))

    def history(self, since: Optional[int], count: Optional[int]) -> List[Event]:
        return [
            Event(kind, time, dict(zip(EVENT_FIELDS[kind], texts)))
            for kind, time, texts in self._native.history(self._state, since, count)
        ]

    # The history is kept by second: each second's events in the order they were
    # appended. An event is appended to the second its operation read from the clock, a
    # moment before it takes that second's lock, so the log of a second that has just
    # passed can still grow. A cursor is therefore "FIRST:SEEN,SEEN,...": the first
    # second not known to be complete, and how many events of it and of each following
    # second were already read. Seconds more than _OPEN_SECONDS behind the clock are
    # taken as complete and leave the cursor. The history is never trimmed in-process,
    # so nothing is ever missed.
    _OPEN_SECONDS = 2

    def history_start(self, since: Optional[int]) -> str:
        first = math.floor(time.time()) if since is None else since
        return f"{first}:"

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        first, seen = _parse_cursor(cursor)
        if count == 0:
            return HistoryPage([], cursor, 0)
        closed_before = math.floor(time.time()) - self._OPEN_SECONDS  # read before the events
        limit = None if count is None else sum(seen) + count
        counts = list(seen)
        events: List[Event] = []
        for kind, second, texts in self._native.history(self._state, first, limit):
            index = second - first
            while len(counts) <= index:
                counts.append(0)
            if index < len(seen) and seen[index] > 0:
                seen[index] -= 1  # read before
                continue
            if count is not None and len(events) == count:
                break
            counts[index] += 1
            events.append(Event(kind, second, dict(zip(EVENT_FIELDS[kind], texts))))
        if count is not None and len(events) == count:
            # A page cut short: its last second and those after it may hold unread events.
            closed_before = min(closed_before, events[-1].time)
        # The seconds known to be complete leave the front of the cursor.
        drop = 0
        while drop < len(counts) and first + drop < closed_before:
            drop += 1
        if drop:
            first, counts = first + drop, counts[drop:]
        if not counts and first < closed_before:
            first = closed_before
        return HistoryPage(events, f"{first}:" + ",".join(map(str, counts)), 0)


def _parse_cursor(cursor: str) -> tuple[int, List[int]]:
    """The first second and the counts already read of an in-process history cursor."""
    try:
        first_text, colon, seen_text = cursor.partition(":")
        first = int(first_text)
        seen = [int(part) for part in seen_text.split(",")] if seen_text else []
    except ValueError:
        raise ValueError(f"{cursor!r} is not a history cursor") from None
    if not colon or first < 0 or any(number < 0 for number in seen):
        raise ValueError(f"{cursor!r} is not a history cursor")
    return first, seen


def reader_for(state: object) -> StateReader:
    """The reader of ``state``; ``TypeError`` for anything but the state classes."""
    from galtro import _state_reader

    # Not isinstance with galtro_core's attribute, which Python code can replace.
    if _state_reader.is_state(state):
        return _InProcessReader(state)
    # A reader the class defines: an object that makes up any attribute asked of it (a
    # mock) is no state.
    if isinstance(state, _HasReader) and hasattr(type(state), "_reader"):
        return state._reader()  # pyright: ignore[reportPrivateUsage]
    raise TypeError(
        f"{type(state).__qualname__!r} object is none of galtro_core.CoordinationState,"
        " galtro.SqliteCoordinationState and galtro.RedisCoordinationState"
    )


def claims(state: State) -> List[ClaimInfo]:
    """Every claim, expired ones too, by resource key."""
    return reader_for(state).claims()


def agents(state: State) -> List[AgentInfo]:
    """Every agent with a status entry, by id. An agent without one reads as "idle"."""
    return reader_for(state).agents()


def inbox_sizes(state: State) -> Dict[str, int]:
    """Pending messages per inbox, by owner. In-process, an inbox that exists but is
    empty (it was read or drained) is listed with 0; on Redis an empty inbox is not
    stored and not listed. Ask ``inbox_sizes(state).get(agent_id, 0)``."""
    return reader_for(state).inbox_sizes()


def history(state: State, since: Optional[float] = None, count: Optional[int] = None) -> List[Event]:
    """The events, oldest first: those whose own ``time`` is second ``since`` (a Unix
    second) or later, at most ``count`` of them (the oldest), all without either.
    ``check_since`` and ``check_count`` say what is taken and what is raised."""
    return reader_for(state).history(check_since(since), check_count(count))


def history_start(state: State, since: Optional[float] = None) -> str:
    """A cursor for ``history_after``: before the first event of second ``since`` (a Unix
    second) or later; without it, before the first event of the store's current second,
    read on the store's own clock."""
    return reader_for(state).history_start(check_since(since))


def history_after(state: State, cursor: str, count: Optional[int] = None) -> HistoryPage:
    """The events after ``cursor`` (from ``history_start`` or a ``HistoryPage``), oldest
    first, at most ``count`` of them: a ``HistoryPage`` whose ``cursor`` follows on, and
    whose ``missed`` counts the events that retention removed before they could be read.
    Followed from page to page, every event is returned once. ``ValueError`` for a
    cursor that is not one."""
    return reader_for(state).history_after(cursor, check_count(count))


def last_activity(state: State) -> Dict[str, int]:
    """The Unix second of each agent's latest act that the state records: the newest
    history event it caused (a claim, a release, a message or a broadcast it sent) or the
    latest claim or renewal of a claim it holds. Agents with neither are not listed."""
    reader = reader_for(state)
    latest: Dict[str, int] = {}

    def saw(agent_id: str, second: int) -> None:
        if second > latest.get(agent_id, -1):
            latest[agent_id] = second

    for event in reader.history(None, None):
        saw(event.fields.get("agent_id", event.fields.get("from_agent", "")), event.time)
    for claim in reader.claims():
        saw(claim.holder, max(claim.claimed_at, claim.renewed_at))
    return latest


def snapshot(state: State) -> Dict[str, Any]:
    """Claims, agents, inbox sizes and history as JSON-ready data: dicts, lists, str,
    int and bool. Each part is read on its own, so it is no atomic snapshot."""
    reader = reader_for(state)
    return {
        "claims": [dataclasses.asdict(claim) for claim in reader.claims()],
        "agents": {agent.agent_id: agent.status for agent in reader.agents()},
        "inbox_sizes": reader.inbox_sizes(),
        "history": [dataclasses.asdict(event) for event in reader.history(None, None)],
    }
