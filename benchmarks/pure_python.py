"""A pure-Python CoordinationState: the reference point the native module is measured
against.

It has the nine methods of `galtro_core.CoordinationState`, with the same results,
the same refusal messages and the same effects on claims, statuses, inboxes and
history, written as lean as a careful Python programmer would write it: plain dicts,
one list per inbox (messages are only appended and taken all at once, so a list is
all the queue needs), one `threading.Lock` around every operation, the clock read
once per operation as `int(time())`, and tuples for every record.

Differences that no caller of the nine methods can observe:

- The clock is read once per operation and that second serves every time stamp the
  operation writes (the native module reads it afresh at each point of use; within
  one second the readings agree, and under the one lock nothing can come between).
- A claim is stored as `(holder, stamp)`: its two time stamps are one reading, and
  no operation reads its target, which the key names anyway.
- An inbox stores each pending message already in the shape `inbox` returns,
  `(from_agent, owner, content, timestamp)`; the addressee "*" of a broadcast is
  never shown in an inbox, so nothing is lost. `drain_inbox` hands over the list
  itself and leaves a new empty one.
- The history is one list of event tuples in append order, each with its time; the
  events of one second are the run of those with that time. Nothing reads it.

Argument binding is Python's own: missing or surplus arguments raise `TypeError`
with the interpreter's wording, and arguments are not checked to be `str` (a
Python implementation would not do so), so non-`str` arguments are accepted here
where the native module rejects them.
"""

from __future__ import annotations

import threading
from time import time

__all__ = ["CoordinationState"]

TTL_SECONDS = 300
GRACE_SECONDS = 0
LEASE_SECONDS = TTL_SECONDS + GRACE_SECONDS

IDLE = "idle"
BUSY = "busy"

# Kinds of history events; each event is a tuple whose first item is its kind:
#   (CLAIMED, agent_id, resource_key, time)
#   (RELEASED, agent_id, resource_key, time)
#   (MESSAGE_SENT, from_agent, to_agent, content, time)
#   (BROADCAST, from_agent, content, time)
CLAIMED = "claimed"
RELEASED = "released"
MESSAGE_SENT = "message_sent"
BROADCAST = "broadcast"


class CoordinationState:
    """Claims with a 300-second lease, per-agent inboxes, statuses and a history."""

    __slots__ = ("_lock", "_claims", "_statuses", "_inboxes", "_history")

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._claims: dict[str, tuple[str, int]] = {}  # key -> (holder, stamp)
        self._statuses: dict[str, str] = {}
        self._inboxes: dict[str, list] = {}
        self._history: list[tuple] = []

    # --- claims ---------------------------------------------------------------------

    def claim_file(self, agent_id: str, path: str) -> str:
        key = "file:" + path
        with self._lock:
            now = int(time())
            held = self._claims.get(key)
            if held is not None:
                if not now - held[1] >= LEASE_SECONDS:
                    raise RuntimeError(f"{held[0]} already holds claim on {path}")
                self._take_over(agent_id, key, held[0], now)
                return agent_id
            self._claims[key] = (agent_id, now)
            self._statuses[agent_id] = BUSY
            self._history.append((CLAIMED, agent_id, key, now))
            return agent_id

    def claim_task(self, agent_id: str, task_id: str) -> str:
        key = "task:" + task_id
        with self._lock:
            now = int(time())
            held = self._claims.get(key)
            if held is not None:
                if not now - held[1] >= LEASE_SECONDS:
                    raise RuntimeError(f"{held[0]} already holds claim on task {task_id}")
                self._take_over(agent_id, key, held[0], now)
                return agent_id
            self._claims[key] = (agent_id, now)
            self._statuses[agent_id] = BUSY
            self._history.append((CLAIMED, agent_id, key, now))
            return agent_id

    def _take_over(self, agent_id: str, key: str, previous: str, now: int) -> None:
        """The lease of `previous` on `key` ran out: the caller takes the key over."""
        self._claims[key] = (agent_id, now)
        self._statuses[agent_id] = BUSY
        history = self._history
        history.append((CLAIMED, agent_id, key, now))
        history.append((RELEASED, previous, key, now))

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        with self._lock:
            claims = self._claims
            held = claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim on {resource_key} to renew")
            if held[0] != agent_id:
                raise RuntimeError(f"{agent_id} cannot renew a claim held by {held[0]}")
            claims[resource_key] = (agent_id, int(time()))
            return agent_id

    def release(self, agent_id: str, resource_key: str) -> None:
        with self._lock:
            claims = self._claims
            held = claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim found for {agent_id}")
            if held[0] != agent_id:
                raise RuntimeError(f"{agent_id} cannot release a claim held by {held[0]}")
            del claims[resource_key]
            self._statuses[agent_id] = IDLE
            self._history.append((RELEASED, agent_id, resource_key, int(time())))

    # --- messaging ------------------------------------------------------------------

    def send_message(self, from_agent: str, to_agent: str, content: str) -> tuple:
        with self._lock:
            now = int(time())
            message = (from_agent, to_agent, content, now)
            inbox = self._inboxes.get(to_agent)
            if inbox is None:
                self._inboxes[to_agent] = [message]
            else:
                inbox.append(message)
            if to_agent not in self._statuses:
                self._statuses[to_agent] = IDLE
            self._history.append((MESSAGE_SENT, from_agent, to_agent, content, now))
            return message

    def broadcast(self, from_agent: str, content: str) -> tuple:
        with self._lock:
            now = int(time())
            statuses = self._statuses
            if from_agent not in statuses:
                statuses[from_agent] = IDLE
            inboxes = self._inboxes
            get = inboxes.get
            for agent in statuses:  # only inboxes change below
                message = (from_agent, agent, content, now)
                inbox = get(agent)
                if inbox is None:
                    inboxes[agent] = [message]
                else:
                    inbox.append(message)
            self._history.append((BROADCAST, from_agent, content, now))
            return (from_agent, "*", content, now)

    def inbox(self, agent_id: str) -> list:
        """Pending messages for `agent_id`, oldest first. Does not clear them —
        use `drain_inbox` for that."""
        with self._lock:
            inbox = self._inboxes.get(agent_id)
            if inbox is None:
                self._inboxes[agent_id] = []
                return []
            return inbox[:]

    def drain_inbox(self, agent_id: str) -> list:
        with self._lock:
            inboxes = self._inboxes
            messages = inboxes.get(agent_id)
            inboxes[agent_id] = []
            return [] if messages is None else messages

    # --- status ----------------------------------------------------------------------

    def status(self, agent_id: str) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        with self._lock:
            return self._statuses.get(agent_id, IDLE)
