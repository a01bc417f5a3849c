# pyright: strict
"""What the page and the report show, read through the views and laid out for drawing.

``Monitor`` follows one state: each ``read`` takes the claims, agents and inbox sizes
afresh and folds only the history events that are new since the last read. ``report``
reads the whole history once. Both read through ``galtro._inspect`` only, so neither
changes, renews or creates anything.
"""

from __future__ import annotations

import contextlib
import gc
import threading
import time
import zlib
from dataclasses import dataclass
from typing import Dict, Generator, List, Optional, Sequence

from galtro import _inspect
from galtro._protocol import LEASE_SECONDS
from galtro._records import ClaimInfo
from galtro.dashboard import DEFAULT_WINDOW
from galtro.dashboard._timeline import AgentSummary, Holding, Note, Timeline

__all__ = ["LONGEST_WINDOW", "Monitor", "Page", "Report", "report"]

#: The longest window the page shows: the history it follows starts this long before
#: its first read. A claim held since before then shows from the window's start.
LONGEST_WINDOW = 24 * 3600
#: At most this many rows of each table, messages, timeline rows and marks are drawn.
MAX_CLAIMS = 100
MAX_AGENTS = 100
MAX_MESSAGES = 30
MAX_ROWS = 40
MAX_BARS = 2000
MAX_MARKS = 500

# The timeline's geometry, in SVG user units.
_LABEL_WIDTH = 220
_PLOT_WIDTH = 760
_ROW_HEIGHT = 18
_TOP = 34  # the axis and the messages' row above the first resource
_BAR_MIN_WIDTH = 2.0
# How often, in seconds, the page drops what ended before its longest window.
_FORGET_EVERY = 60


def clock(seconds: Optional[float]) -> str:
    """A Unix second as UTC date and time; for a start the history read lacks, "before
    the history read"."""
    if seconds is None:
        return "before the history read"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))


def duration(seconds: float) -> str:
    """Whole seconds as "1h02m03s", "2m03s" or "3s"."""
    minutes, rest = divmod(max(0, int(seconds)), 60)
    hours, minutes = divmod(minutes, 60)
    if hours:
        return f"{hours}h{minutes:02d}m{rest:02d}s"
    return f"{minutes}m{rest:02d}s" if minutes else f"{rest}s"


def colour(agent_id: str, numbers: Dict[str, int]) -> str:
    """The colour of an agent: hues far apart for the agents in the order of their first
    events (``numbers``), which stays as the history grows; a hue from the id of an
    agent the history read does not name."""
    number = numbers.get(agent_id)
    if number is None:
        hue = zlib.crc32(agent_id.encode("utf-8")) % 360
    else:
        hue = int(number * 137.508 + 210) % 360  # the golden angle
    lightness = 42 + 10 * ((number or 0) // 3 % 2)
    return f"hsl({hue}, 65%, {lightness}%)"


# --- What is drawn ---------------------------------------------------------------------


@dataclass(frozen=True)
class ClaimRow:
    claim: ClaimInfo
    left: int  # seconds of lease left, 0 once expired
    percent: float  # of the lease left, 0 to 100


@dataclass(frozen=True)
class AgentRow:
    agent_id: str
    status: str
    last_activity: Optional[int]
    claims_held: int
    expired_held: int
    unread: int
    colour: str


@dataclass(frozen=True)
class Bar:
    holding: Holding
    x: float
    width: float
    y: float
    colour: str
    title: str
    lapsed_x: Optional[float]  # where an open holding's lease ran out, if it did


@dataclass(frozen=True)
class Mark:
    note: Note
    x: float
    colour: str
    title: str


@dataclass(frozen=True)
class Chart:
    """The timeline of seconds ``since`` to ``until`` laid out as SVG: one row per
    resource, a bar per holding, a mark per message."""

    since: int
    until: int
    width: int
    height: int
    label_width: int
    rows: List[tuple[str, float]]  # resource key and the y of its row
    bars: List[Bar]
    marks: List[Mark]
    ticks: List[tuple[float, str, str]]  # x, label, text-anchor
    rows_total: int
    bars_total: int  # of the rows shown
    marks_total: int


@dataclass(frozen=True)
class Page:
    """One read of the state for the page."""

    now: int
    claims: List[ClaimRow]
    claims_total: int
    agents: List[AgentRow]
    agents_total: int
    messages: List[Note]
    messages_total: int
    chart: Chart


@dataclass(frozen=True)
class Report:
    """The timeline and the per-agent summary of seconds ``since`` to ``until``."""

    since: int
    until: int
    generated: int
    events: int
    chart: Chart
    summaries: List[AgentSummary]


def _chart(timeline: Timeline, since: int, until: int, claims: Sequence[ClaimInfo]) -> Chart:
    span = max(1, until - since)
    scale = _PLOT_WIDTH / span

    def x_of(second: float) -> float:
        return _LABEL_WIDTH + (min(max(second, since), until) - since) * scale

    expiry = {claim.resource_key: claim for claim in claims if claim.expired}
    shown, rows_total = timeline.rows(since, until, timeline.unseen(claims), MAX_ROWS)
    rows: List[tuple[str, float]] = []
    bars: List[Bar] = []
    bars_total = 0
    for index, (key, holdings) in enumerate(shown.items()):
        bars_total += len(holdings)
        y = _TOP + index * _ROW_HEIGHT
        rows.append((key, y))
        for holding in holdings[-MAX_BARS // MAX_ROWS:]:
            start = since if holding.start is None else holding.start
            end = until if holding.end is None else holding.end
            left = x_of(start)
            width = max(_BAR_MIN_WIDTH, x_of(end) - left)
            lapsed: Optional[float] = None
            claim = expiry.get(key)
            if holding.end is None and claim is not None and claim.holder == holding.agent_id:
                lapsed = x_of(claim.expires_at)
            bars.append(Bar(holding, left, width, y + 2,
                            colour(holding.agent_id, timeline.agent_numbers),
                            _bar_title(holding), lapsed))
    notes = [note for note in timeline.notes if since <= note.time <= until]
    marks = [Mark(note, x_of(note.time), colour(note.from_agent, timeline.agent_numbers),
                  _note_title(note))
             for note in notes[-MAX_MARKS:]]
    shown_part = slice(11, 19) if span < 86400 else slice(0, 16)  # the time, or the date too
    ticks = [(x_of(since + span * step / 4), clock(since + span * step / 4)[shown_part],
              ("start", "middle", "middle", "middle", "end")[step]) for step in range(5)]
    height = _TOP + max(1, len(rows)) * _ROW_HEIGHT + 6
    return Chart(since, until, _LABEL_WIDTH + _PLOT_WIDTH + 10, height, _LABEL_WIDTH, rows,
                 bars, marks, ticks, rows_total, bars_total, len(notes))


def _bar_title(holding: Holding) -> str:
    text = f"{holding.agent_id} holds {holding.resource_key} from {clock(holding.start)}"
    if holding.taken_from is not None:
        text += f" (took it over from {holding.taken_from})"
    if holding.end is None:
        return text + ", still held"
    text += f" to {clock(holding.end)}"
    if holding.taken_by is not None:
        return text + f" (taken over by {holding.taken_by})"
    return text + " (released)"


def _note_title(note: Note) -> str:
    to = "every known agent" if note.to_agent == "*" else note.to_agent
    return f"{clock(note.time)} {note.from_agent} to {to}: {note.content}"


# --- Reading a state -------------------------------------------------------------------


@contextlib.contextmanager
def _collector_paused(pause: bool) -> Generator[None, None, None]:
    """Pauses the cyclic garbage collector while a whole history is read and folded:
    its hundreds of thousands of new objects all live on, and the collector's passes
    over them, which would find nothing to free, would take as long as the work itself.
    Reference counting still frees whatever is dropped. A collector that was off stays
    off."""
    if not pause or not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


class Monitor:
    """Follows one state for the page: the history is read once and then only its new
    events, so a read costs what changed since the last one. Safe to call from several
    threads; reads are serialised."""

    def __init__(self, state: _inspect.State) -> None:
        self._reader = _inspect.reader_for(state)  # TypeError for anything but a state
        self._state = state
        self._timeline = Timeline()
        self._lock = threading.Lock()
        # Where the history was read to: the reader's cursor, once the first read
        # has started it.
        self._cursor: Optional[str] = None
        self._forgotten_at = 0.0

    def _follow(self) -> None:
        if self._cursor is None:
            self._cursor = self._reader.history_start(int(time.time()) - LONGEST_WINDOW)
        page = self._reader.history_after(self._cursor, None)
        self._cursor = page.cursor
        self._timeline.add(page.events)
        now = time.time()
        if now - self._forgotten_at >= _FORGET_EVERY:
            self._timeline.forget(int(now) - LONGEST_WINDOW)
            self._forgotten_at = now

    def read(self, window: int = DEFAULT_WINDOW) -> Page:
        """The page now, with the timeline of the last ``window`` seconds (at most
        ``LONGEST_WINDOW``)."""
        window = min(window, LONGEST_WINDOW)
        with self._lock, _collector_paused(self._cursor is None):
            claims = _inspect.claims(self._state)
            agents = _inspect.agents(self._state)
            sizes = _inspect.inbox_sizes(self._state)
            self._follow()
            now = int(time.time())
            timeline = self._timeline
            chart = _chart(timeline, now - window, now, claims)
            notes = timeline.notes[-MAX_MESSAGES:]
            notes_total = len(timeline.notes)
            activity = dict(timeline.last_activity)
            numbers = dict(timeline.agent_numbers)
        return Page(now, _claim_rows(claims, now), len(claims),
                    _agent_rows(agents, claims, sizes, activity, numbers), len(agents),
                    notes[::-1], notes_total, chart)


def _claim_rows(claims: List[ClaimInfo], now: int) -> List[ClaimRow]:
    newest = sorted(claims, key=lambda claim: (-claim.renewed_at, claim.resource_key))
    rows: List[ClaimRow] = []
    for claim in newest[:MAX_CLAIMS]:
        left = 0 if claim.expired else max(0, claim.expires_at - now)
        rows.append(ClaimRow(claim, left, 100.0 * min(left, LEASE_SECONDS) / LEASE_SECONDS))
    return rows


def _agent_rows(agents: List[_inspect.AgentInfo], claims: List[ClaimInfo],
                sizes: Dict[str, int], activity: Dict[str, int],
                numbers: Dict[str, int]) -> List[AgentRow]:
    held: Dict[str, int] = {}
    expired: Dict[str, int] = {}
    for claim in claims:
        held[claim.holder] = held.get(claim.holder, 0) + 1
        if claim.expired:
            expired[claim.holder] = expired.get(claim.holder, 0) + 1
        # A renewal leaves no event: the claim's own time counts as activity.
        if claim.renewed_at > activity.get(claim.holder, 0):
            activity[claim.holder] = claim.renewed_at
    rows = [AgentRow(agent.agent_id, agent.status, activity.get(agent.agent_id),
                     held.get(agent.agent_id, 0), expired.get(agent.agent_id, 0),
                     sizes.get(agent.agent_id, 0), colour(agent.agent_id, numbers))
            for agent in agents]
    rows.sort(key=lambda row: (-(row.last_activity or 0), row.agent_id))
    return rows[:MAX_AGENTS]


def report(state: _inspect.State, since: Optional[float] = None,
           until: Optional[float] = None) -> Report:
    """The timeline and per-agent summary of seconds ``since`` to ``until`` (by default
    from the first event to now). The whole history is read, so that holdings that
    began before ``since`` and broadcasts' recipients are known."""
    with _collector_paused(True):
        claims = _inspect.claims(state)
        events = _inspect.history(state)
        timeline = Timeline()
        timeline.add(events)
        now = int(time.time())
        first = events[0].time if events else now
        start = first if since is None else int(since)
        end = now if until is None else int(until)
        if end < start:
            raise ValueError("until is before since")
        # The claims read now say nothing about a window that ended before now.
        current = claims if end >= now else []
        return Report(start, end, now, len(events), _chart(timeline, start, end, current),
                      timeline.summaries(start, end, timeline.unseen(current)))
