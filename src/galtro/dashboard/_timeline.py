# pyright: strict
"""The history folded into holdings and messages: what the timeline draws and the
report sums up.

A holding is one agent's hold on one resource, from its ``claimed`` event to the
``released`` event that ends it, or to the ``claimed`` event of a takeover. A takeover
appends ``claimed`` for the new holder and then ``released`` for the previous one, with
no other event of that resource between them; the fold ends the previous holding at the
``claimed`` and takes the ``released`` that follows as its echo. When the history read
begins after a holding began (a trimmed history, or a window), the holding is known from
its end or from the claims view, and its start is ``None``: before the history read.
"""

from __future__ import annotations

import bisect
from dataclasses import dataclass, field
from typing import Dict, Iterable, List, Optional

from galtro._records import ClaimInfo, Event

__all__ = ["Holding", "Note", "AgentSummary", "Timeline"]


@dataclass
class Holding:
    """One agent's hold on one resource. ``start`` is ``None`` when it began before the
    history read; ``end`` is ``None`` while it lasts. ``taken_from`` names the agent
    whose holding this one took over, ``taken_by`` the agent that took this one over."""

    resource_key: str
    agent_id: str
    start: Optional[int]
    end: Optional[int] = None
    taken_from: Optional[str] = None
    taken_by: Optional[str] = None


@dataclass(frozen=True)
class Note:
    """A direct message (``to_agent`` the addressee) or a broadcast (``to_agent``
    ``"*"``), at the second of its history event, with the agents it reached."""

    time: int
    from_agent: str
    to_agent: str
    content: str
    reached: int


@dataclass
class AgentSummary:
    """What one agent did in a window."""

    agent_id: str
    claims: int = 0
    seconds_held: int = 0
    takeovers_made: int = 0
    takeovers_suffered: int = 0
    messages_sent: int = 0
    messages_received: int = 0


@dataclass
class _Resource:
    holdings: List[Holding] = field(default_factory=lambda: [])
    open: Optional[Holding] = None
    # The previous holder whose "released" event is still to come after a takeover.
    echo_of: Optional[str] = None
    last_time: int = 0


class Timeline:
    """The history folded event by event (``add``), oldest first. Everything it keeps is
    built from the events it was given and the claims of ``settle``."""

    def __init__(self) -> None:
        self._resources: Dict[str, _Resource] = {}
        self.notes: List[Note] = []
        #: Agents a broadcast reaches (every agent with a status entry so far), each
        #: with the number of broadcasts before it became one.
        self._known: Dict[str, int] = {}
        #: The second of every broadcast, oldest first.
        self._broadcasts: List[int] = []
        #: The second of each agent's latest event of its own.
        self.last_activity: Dict[str, int] = {}
        #: Every agent named by an event, numbered in the order of their first events.
        self.agent_numbers: Dict[str, int] = {}
        self.events = 0

    # --- Folding --------------------------------------------------------------------

    def add(self, events: Iterable[Event]) -> None:
        """Folds ``events``, which follow every event added before."""
        for event in events:
            self.events += 1
            fields = event.fields
            if event.kind == "claimed":
                self._claimed(fields["agent_id"], fields["resource_key"], event.time)
            elif event.kind == "released":
                self._released(fields["agent_id"], fields["resource_key"], event.time)
            elif event.kind == "message_sent":
                self._message(event.time, fields["from_agent"], fields["to_agent"],
                              fields["content"])
            elif event.kind == "broadcast":
                self._message(event.time, fields["from_agent"], "*", fields["content"])

    def _resource(self, key: str, time: int) -> _Resource:
        resource = self._resources.get(key)
        if resource is None:
            resource = self._resources[key] = _Resource()
        resource.last_time = time
        return resource

    def _active(self, agent: str, time: int) -> None:
        self.agent_numbers.setdefault(agent, len(self.agent_numbers))
        if time >= self.last_activity.get(agent, 0):
            self.last_activity[agent] = time

    def _claimed(self, agent: str, key: str, time: int) -> None:
        self._known.setdefault(agent, len(self._broadcasts))
        self._active(agent, time)
        resource = self._resource(key, time)
        holding = Holding(key, agent, time)
        previous = resource.open
        if previous is not None:  # a takeover of an expired claim
            previous.end = time
            previous.taken_by = agent
            holding.taken_from = previous.agent_id
            resource.echo_of = previous.agent_id
        else:
            resource.echo_of = None
        resource.holdings.append(holding)
        resource.open = holding

    def _released(self, agent: str, key: str, time: int) -> None:
        self._active(agent, time)
        resource = self._resource(key, time)
        if resource.echo_of is not None and resource.echo_of == agent:
            resource.echo_of = None  # the takeover's own "released"
            return
        resource.echo_of = None
        current = resource.open
        if current is not None and current.agent_id == agent:
            current.end = time
            resource.open = None
        elif current is not None:
            # Only a holder releases: the current holding took this agent's over at its
            # "claimed", and the holding taken over began before the history read.
            current.taken_from = agent
            taken = Holding(key, agent, None, current.start, taken_by=current.agent_id)
            resource.holdings.insert(len(resource.holdings) - 1, taken)
        else:  # a holding that began before the history read
            resource.holdings.append(Holding(key, agent, None, time))

    def _message(self, time: int, sender: str, to_agent: str, content: str) -> None:
        self._active(sender, time)
        if to_agent == "*":
            self._known.setdefault(sender, len(self._broadcasts))
            self._broadcasts.append(time)
            reached = len(self._known)
        else:
            self._known.setdefault(to_agent, len(self._broadcasts))
            self.agent_numbers.setdefault(to_agent, len(self.agent_numbers))
            reached = 1
        self.notes.append(Note(time, sender, to_agent, content, reached))

    def unseen(self, claims: Iterable[ClaimInfo]) -> List[Holding]:
        """The holdings of current claims that the history read does not show (they
        began before it), as open holdings with no start. Nothing is kept: a claim read
        a moment before its event is folded shows once as unseen, then as folded."""
        found: List[Holding] = []
        for claim in claims:
            resource = self._resources.get(claim.resource_key)
            if resource is None or resource.open is None:
                found.append(Holding(claim.resource_key, claim.holder, None))
        return found

    # --- Reading --------------------------------------------------------------------

    def rows(self, since: int, until: int,
             unseen: Iterable[Holding] = ()) -> Dict[str, List[Holding]]:
        """The holdings that overlap seconds ``since`` to ``until`` by resource key, the
        resource with the latest event first; the ``unseen`` ones come last."""
        found: Dict[str, List[Holding]] = {}
        order = sorted(self._resources.items(), key=lambda item: -item[1].last_time)
        for key, resource in order:
            overlapping = [h for h in resource.holdings if _overlaps(h, since, until)]
            if overlapping:
                found[key] = overlapping
        for holding in unseen:
            found.setdefault(holding.resource_key, []).append(holding)
        return found

    def summaries(self, since: int, until: int,
                  unseen: Iterable[Holding] = ()) -> List[AgentSummary]:
        """What each agent did from second ``since`` to second ``until``, by agent id;
        the ``unseen`` holdings count as held throughout."""
        by_agent: Dict[str, AgentSummary] = {}

        def of(agent: str) -> AgentSummary:
            summary = by_agent.get(agent)
            if summary is None:
                summary = by_agent[agent] = AgentSummary(agent)
            return summary

        everything = [h for resource in self._resources.values() for h in resource.holdings]
        for holding in [*everything, *unseen]:
            start = holding.start
            if start is not None and since <= start <= until:
                of(holding.agent_id).claims += 1
                if holding.taken_from is not None and holding.taken_from != holding.agent_id:
                    of(holding.agent_id).takeovers_made += 1
                    of(holding.taken_from).takeovers_suffered += 1
            if _overlaps(holding, since, until):
                first = since if start is None else max(start, since)
                last = until if holding.end is None else min(holding.end, until)
                of(holding.agent_id).seconds_held += max(0, last - first)
        for note in self.notes:
            if since <= note.time <= until:
                of(note.from_agent).messages_sent += 1
                if note.to_agent != "*":
                    of(note.to_agent).messages_received += 1
        # The seconds of the broadcasts are in order; an agent receives every one from
        # the first after it became known.
        first = bisect.bisect_left(self._broadcasts, since)
        after = bisect.bisect_right(self._broadcasts, until)
        for agent, known_from in self._known.items():
            received = after - max(first, known_from)
            if received > 0:
                of(agent).messages_received += received
        return sorted(by_agent.values(), key=lambda summary: summary.agent_id.encode("utf-8"))


def _overlaps(holding: Holding, since: int, until: int) -> bool:
    starts_in_time = holding.start is None or holding.start <= until
    return starts_in_time and (holding.end is None or holding.end >= since)
