# pyright: strict
"""A look at the state: claims, agents, inbox sizes, history, and all of them as JSON.

Each function takes either class and reads it through a ``StateReader``: an in-process
``galtro_core.CoordinationState`` through ``galtro._state_reader``, which takes the
tables' locks as a reader only; a ``galtro.RedisCoordinationState`` through
``galtro._redis_reader``, which only reads. No reader changes, renews or creates
anything.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Union

import galtro_core
from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage, StateReader

if TYPE_CHECKING:
    from galtro.redis_state import RedisCoordinationState

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
State = Union[galtro_core.CoordinationState, "RedisCoordinationState"]


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

    def history_start(self, since: Optional[int]) -> str:
        raise NotImplementedError

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        raise NotImplementedError


def reader_for(state: object) -> StateReader:
    """The reader of ``state``; ``TypeError`` for anything but the two classes."""
    from galtro import _state_reader

    # Not isinstance with galtro_core's attribute, which Python code can replace.
    if _state_reader.is_state(state):
        return _InProcessReader(state)
    try:
        from galtro.redis_state import RedisCoordinationState
    except ImportError:  # without redis-py there is no Redis state
        pass
    else:
        if isinstance(state, RedisCoordinationState):
            from galtro._redis_reader import RedisReader

            return RedisReader(state)
    raise TypeError(
        f"{type(state).__qualname__!r} object is neither galtro_core.CoordinationState"
        " nor galtro.RedisCoordinationState"
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
