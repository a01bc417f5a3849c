# pyright: strict
"""The records that the views of a state return."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Dict, List, Optional, Protocol

__all__ = ["EVENT_FIELDS", "ClaimInfo", "AgentInfo", "Event", "HistoryPage", "StateReader"]

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


@dataclass(frozen=True)
class HistoryPage:
    """Events that follow a history cursor: ``events`` oldest first, ``cursor`` the
    position after the last of them (opaque; pass it to ``history_after`` again), and
    ``missed`` the number of events that retention removed before they could be read."""

    events: List[Event]
    cursor: str
    missed: int


class StateReader(Protocol):
    """A read-only view of one state, in-process or on Redis. Nothing it does changes,
    renews or creates anything."""

    def claims(self) -> List[ClaimInfo]: ...
    def agents(self) -> List[AgentInfo]: ...
    def inbox_sizes(self) -> Dict[str, int]: ...
    def history(self, since: Optional[int], count: Optional[int]) -> List[Event]: ...
    def history_start(self, since: Optional[int]) -> str:
        """A cursor before the first event of second ``since`` or later; with ``None``,
        before the first event of the store's own current second."""
        ...
    def history_after(self, cursor: str, count: Optional[int]) -> HistoryPage:
        """The events after ``cursor``, at most ``count`` of them (all without it)."""
        ...
