# pyright: strict
"""A look at the state: claims, agents, inbox sizes, history, and all of them as JSON.

Each function takes any of the classes and reads it through a ``StateReader``: an
in-process ``galtro_core.CoordinationState`` through ``galtro._state_reader``, which
takes the tables' locks as a reader only; a ``galtro.RedisCoordinationState`` through
``galtro._redis_reader``, which only reads; any other state through the reader its
``_reader()`` method returns (``galtro.SqliteCoordinationState``: ``galtro._sqlite_reader``).
No reader changes, renews or creates anything.
"""

from __future__ import annotations

import dataclasses
import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Protocol, Union, runtime_checkable

import galtro_core
from galtro._records import EVENT_FIELDS, AgentInfo, ClaimInfo, Event, HistoryPage, StateReader

if TYPE_CHECKING:
    from galtro.redis_state import RedisCoordinationState
    from galtro.sqlite_state import SqliteCoordinationState

__all__ = [
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

    def history_start(self, since: Optional[int]) -> str:
        raise NotImplementedError

    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        raise NotImplementedError


def reader_for(state: object) -> StateReader:
    """The reader of ``state``; ``TypeError`` for anything but the state classes."""
    if isinstance(state, galtro_core.CoordinationState):
        return _InProcessReader(state)
    if isinstance(state, _HasReader):
        return state._reader()  # pyright: ignore[reportPrivateUsage]
    try:
        from galtro.redis_state import RedisCoordinationState
    except ImportError:  # without redis-py there is no Redis state
        pass
    else:
        if isinstance(state, RedisCoordinationState):
            from galtro._redis_reader import RedisReader

            return RedisReader(state)
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
    """The events, oldest first: those of second ``since`` (a Unix second) and later,
    at most ``count`` of them (the oldest), all without either."""
    if count is not None and count < 0:
        raise ValueError("count must not be negative")
    first_second: Optional[int] = None
    if since is not None:
        if math.isnan(since):
            raise ValueError("since is not a number")
        first_second = max(0, math.floor(since))
    return reader_for(state).history(first_second, count)


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
