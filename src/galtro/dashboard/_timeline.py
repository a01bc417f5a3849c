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
import heapq
from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from galtro._records import ClaimInfo, Event

__all__ = ["Holding", "Note", "AgentSummary", "Timeline"]


class Holding:
    """One agent's hold on one resource. ``start`` is ``None`` when it began before the
    history read; ``end`` is ``None`` while it lasts. ``taken_from`` names the agent
    whose holding this one took over, ``taken_by`` the agent that took this one over."""

    # A plain class with slots: a long history makes many of them.
    __slots__ = ("resource_key", "agent_id", "start", "end", "taken_from", "taken_by")

    def __init__(self, resource_key: str, agent_id: str, start: Optional[int],
                 end: Optional[int] = None, taken_from: Optional[str] = None,
                 taken_by: Optional[str] = None) -> None:
        self.resource_key = resource_key
        self.agent_id = agent_id
        self.start = start
        self.end = end
        self.taken_from = taken_from
        self.taken_by = taken_by

    def __repr__(self) -> str:
        return (f"Holding({self.resource_key!r}, {self.agent_id!r}, {self.start!r}, "
                f"{self.end!r}, taken_from={self.taken_from!r}, taken_by={self.taken_by!r})")


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


class _Resource:
    __slots__ = ("holdings", "open", "echo_of", "last_time")

    def __init__(self) -> None:
        self.holdings: List[Holding] = []
        self.open: Optional[Holding] = None
        # The previous holder whose "released" event is still to come after a takeover.
        self.echo_of: Optional[str] = None
        self.last_time = 0


class Timeline:
    """The history folded event by event (``add``), oldest first."""

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

    def add(self, events: Sequence[Event]) -> None:
        """Folds ``events``, which follow every event added before. (One loop with its
        names local: a first read folds the whole history.)"""
        resources = self._resources
        last_activity = self.last_activity
        numbers = self.agent_numbers
        known = self._known
        broadcasts = self._broadcasts
        notes = self.notes
        self.events += len(events)
        for event in events:
            kind, time, fields = event.kind, event.time, event.fields
            if kind == "claimed" or kind == "released":
                agent, key = fields["agent_id"], fields["resource_key"]
            else:
                agent, key = fields["from_agent"], ""
            if agent not in numbers:
                numbers[agent] = len(numbers)
            last_activity[agent] = time  # the events come in the order of their seconds
            if key:
                resource = resources.get(key)
                if resource is None:
                    resource = resources[key] = _Resource()
                resource.last_time = time
                if kind == "claimed":
                    _claimed(resource, agent, key, time)
                    if agent not in known:
                        known[agent] = len(broadcasts)
                else:
                    _released(resource, agent, key, time)
            elif kind == "message_sent":
                to_agent = fields["to_agent"]
                if to_agent not in known:
                    known[to_agent] = len(broadcasts)
                if to_agent not in numbers:
                    numbers[to_agent] = len(numbers)
                notes.append(Note(time, agent, to_agent, fields["content"], 1))
            elif kind == "broadcast":
                if agent not in known:  # the sender receives its own broadcast
                    known[agent] = len(broadcasts)
                broadcasts.append(time)
                notes.append(Note(time, agent, "*", fields["content"], len(known)))

    def forget(self, before: int) -> None:
        """Drops what ended before second ``before``: holdings, messages and broadcasts,
        and resources left with neither holdings nor a holder. What is kept is read as
        before for windows that begin at ``before`` or later."""
        for key in list(self._resources):
            resource = self._resources[key]
            resource.holdings = [h for h in resource.holdings if h.end is None or h.end >= before]
            if not resource.holdings and resource.echo_of is None:
                del self._resources[key]
        del self.notes[:bisect.bisect_left([note.time for note in self.notes], before)]
        dropped = bisect.bisect_left(self._broadcasts, before)
        del self._broadcasts[:dropped]
        for agent, known_from in self._known.items():
            self._known[agent] = max(0, known_from - dropped)

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

    def rows(self, since: int, until: int, unseen: Iterable[Holding] = (),
             limit: Optional[int] = None) -> Tuple[Dict[str, List[Holding]], int]:
        """The holdings that overlap seconds ``since`` to ``until`` by resource key, the
        resource with the latest event first and the ``unseen`` holdings last; at most
        ``limit`` resources. Also the number of resources that have any."""
        # A resource whose latest event is in the window, or that is held, overlaps it;
        # one whose latest event is after the window may or may not.
        candidates = [(resource.last_time, key) for key, resource in self._resources.items()
                      if resource.last_time >= since or resource.open is not None]
        in_window = [candidate for candidate in candidates if candidate[0] <= until]
        beyond = [candidate for candidate in candidates if candidate[0] > until]
        total = len(in_window)
        newest = (sorted(in_window, reverse=True) if limit is None
                  else heapq.nlargest(limit, in_window))
        found: Dict[str, List[Holding]] = {}
        for last_time, key in [*sorted(beyond, reverse=True), *newest]:
            holdings = [h for h in self._resources[key].holdings if _overlaps(h, since, until)]
            if holdings and last_time > until:
                total += 1
            if holdings and (limit is None or len(found) < limit):
                found[key] = holdings
        for holding in unseen:
            if holding.resource_key not in found:
                total += 1
                if limit is not None and len(found) >= limit:
                    continue
            found.setdefault(holding.resource_key, []).append(holding)
        return found, total

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

        # A resource with no event since the window began and no holder has nothing in it.
        in_window = [holding for resource in self._resources.values()
                     if resource.last_time >= since or resource.open is not None
                     for holding in resource.holdings]
        for holding in [*in_window, *unseen]:
            start, end = holding.start, holding.end
            if (start is not None and start > until) or (end is not None and end < since):
                continue
            summary = of(holding.agent_id)
            if start is not None and since <= start:
                summary.claims += 1
                taken_from = holding.taken_from
                if taken_from is not None and taken_from != holding.agent_id:
                    summary.takeovers_made += 1
                    of(taken_from).takeovers_suffered += 1
            first = since if start is None or start < since else start
            summary.seconds_held += (until if end is None or end > until else end) - first
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


def _claimed(resource: _Resource, agent: str, key: str, time: int) -> None:
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


def _released(resource: _Resource, agent: str, key: str, time: int) -> None:
    echo_of, resource.echo_of = resource.echo_of, None
    if echo_of is not None and echo_of == agent:
        return  # the takeover's own "released"
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


def _overlaps(holding: Holding, since: int, until: int) -> bool:
    starts_in_time = holding.start is None or holding.start <= until
    return starts_in_time and (holding.end is None or holding.end >= since)
