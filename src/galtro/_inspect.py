# pyright: strict
"""A look at the state: claims, agents, inbox sizes, history, and all of them as JSON.

An in-process ``galtro_core.CoordinationState`` is read through ``galtro._state_reader``,
which takes the tables' locks as a reader only; a ``galtro.RedisCoordinationState``
through ``galtro._redis_reader``, which only reads. No reader changes, renews or
creates anything.
"""

from __future__ import annotations

import dataclasses
import importlib
import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Protocol, Union, cast

import galtro_core

__all__ = [
    "ClaimInfo",
    "AgentInfo",
    "Event",
    "RedisLike",
    "State",
    "claims",
    "agents",
    "inbox_sizes",
    "history",
    "snapshot",
    "EVENT_FIELDS",
]

#: The fields of each kind of history event, in order.
EVENT_FIELDS: Dict[str, tuple[str, ...]] = {
    "claimed": ("agent_id", "resource_key"),
    "released": ("agent_id", "resource_key"),
    "message_sent": ("from_agent", "to_agent", "content"),
    "broadcast": ("from_agent", "content"),
}


@dataclass(frozen=True)
class ClaimInfo:
    """One claim. It is live before second ``expires_at`` and expired from it on;
    ``expired`` was read when the claims were read. An expired claim stays until it is
    released, renewed or taken over."""

    resource_key: str
    holder: str
    claimed_at: int
    renewed_at: int
    expires_at: int
    expired: bool


@dataclass(frozen=True)
class AgentInfo:
    """An agent with a status entry (every agent that claimed, was sent a message or
    broadcast) and its status."""

    agent_id: str
    status: str


@dataclass(frozen=True)
class Event:
    """One history event: ``kind`` is ``"claimed"``, ``"released"``, ``"message_sent"``
    or ``"broadcast"``, ``time`` its Unix second, ``fields`` its texts by name
    (``EVENT_FIELDS``)."""

    kind: str
    time: int
    fields: Dict[str, str] = dataclasses.field(hash=False)


class RedisLike(Protocol):
    """What the views need of a ``galtro.RedisCoordinationState``."""

    @property
    def client(self) -> Any: ...
    @property
    def namespace(self) -> str: ...


State = Union[galtro_core.CoordinationState, RedisLike]


def _redis(state: object) -> RedisLike:
    """``state`` as a ``RedisCoordinationState``; ``TypeError`` for anything else."""
    try:
        redis_state = importlib.import_module("galtro.redis_state")
    except ImportError:  # without redis-py there is no Redis state
        redis_class = None
    else:
        redis_class = getattr(redis_state, "RedisCoordinationState", None)
    if redis_class is not None and isinstance(state, redis_class):
        return cast(RedisLike, state)
    raise TypeError(
        f"{type(state).__qualname__!r} object is neither galtro_core.CoordinationState"
        " nor galtro.RedisCoordinationState"
    )


def claims(state: State) -> List[ClaimInfo]:
    """Every claim, expired ones too, by resource key."""
    if isinstance(state, galtro_core.CoordinationState):
        from galtro import _state_reader

        return [ClaimInfo(*row) for row in _state_reader.claims(state)]
    from galtro import _redis_reader

    return _redis_reader.claims(_redis(state))


def agents(state: State) -> List[AgentInfo]:
    """Every agent with a status entry, by id. An agent without one reads as "idle"."""
    if isinstance(state, galtro_core.CoordinationState):
        from galtro import _state_reader

        return [AgentInfo(*row) for row in _state_reader.agents(state)]
    from galtro import _redis_reader

    return _redis_reader.agents(_redis(state))


def inbox_sizes(state: State) -> Dict[str, int]:
    """Pending messages per inbox, by owner. In-process, an inbox that exists but is
    empty (it was read or drained) is listed with 0; on Redis an empty inbox is not
    stored and not listed. Ask ``inbox_sizes(state).get(agent_id, 0)``."""
    if isinstance(state, galtro_core.CoordinationState):
        from galtro import _state_reader

        return dict(_state_reader.inbox_sizes(state))
    from galtro import _redis_reader

    return _redis_reader.inbox_sizes(_redis(state))


def _since_second(since: Optional[float]) -> Optional[int]:
    if since is None:
        return None
    if math.isnan(since):
        raise ValueError("since is not a number")
    return max(0, math.floor(since))


def history(state: State, since: Optional[float] = None, count: Optional[int] = None) -> List[Event]:
    """The events, oldest first: those of second ``since`` (a Unix second) and later,
    at most ``count`` of them (the oldest), all without either."""
    if count is not None and count < 0:
        raise ValueError("count must not be negative")
    first_second = _since_second(since)
    if isinstance(state, galtro_core.CoordinationState):
        from galtro import _state_reader

        return [
            Event(kind, time, dict(zip(EVENT_FIELDS[kind], texts)))
            for kind, time, texts in _state_reader.history(state, first_second, count)
        ]
    from galtro import _redis_reader

    return _redis_reader.history(_redis(state), _since_second(since), count)


def snapshot(state: State) -> Dict[str, Any]:
    """Claims, agents, inbox sizes and history as JSON-ready data: dicts, lists, str,
    int and bool. Each part is read on its own, so it is no atomic snapshot."""
    return {
        "claims": [dataclasses.asdict(claim) for claim in claims(state)],
        "agents": {agent.agent_id: agent.status for agent in agents(state)},
        "inbox_sizes": inbox_sizes(state),
        "history": [dataclasses.asdict(event) for event in history(state)],
    }
