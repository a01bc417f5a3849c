"""A pure-Python CoordinationState: the reference point the native module is measured
against.

It has the nine methods of `galtro_core.CoordinationState`, with the same results,
the same refusal messages and the same effects on claims, statuses, inboxes and
history, written the way one would write it in Python: dicts (a `defaultdict` where
a missing entry is created on first use), one `collections.deque` per inbox, one
`threading.Lock` around every operation, the clock as `int(time.time())` and the
history as a dict from second to a list of event tuples.

Differences that no caller of the nine methods can observe:

- The clock is read once per operation and that second serves every time stamp the
  operation writes (the native module reads it afresh at each point of use; within
  one second the readings agree, and under the one lock nothing can come between).
- An inbox stores each pending message already in the shape `inbox` returns,
  `(from_agent, owner, content, timestamp)`; the addressee "*" of a broadcast is
  never shown in an inbox, so nothing is lost.

Argument binding is Python's own: missing or surplus arguments raise `TypeError`
with the interpreter's wording, and arguments are not checked to be `str` (a
Python implementation would not do so), so non-`str` arguments are accepted here
where the native module rejects them.
"""

from __future__ import annotations

import threading
from collections import defaultdict, deque
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

FILE = "file"
TASK = "task"


class Claim:
    """One agent's hold on one file or task, with the two time stamps of its lease."""

    __slots__ = ("kind", "target", "holder", "claimed_at", "renewed_at")

    def __init__(self, kind: str, target: str, holder: str, now: int) -> None:
        self.kind = kind
        self.target = target
        self.holder = holder
        self.claimed_at = now
        self.renewed_at = now


class CoordinationState:
    """Claims with a 300-second lease, per-agent inboxes, statuses and a history."""

    __slots__ = ("_lock", "_claims", "_statuses", "_inboxes", "_history")

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._claims: dict[str, Claim] = {}
        self._statuses: dict[str, str] = {}
        self._inboxes: defaultdict[str, deque] = defaultdict(deque)
        self._history: defaultdict[int, list] = defaultdict(list)

    # --- claims ---------------------------------------------------------------------

    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(agent_id, "file:" + path, FILE, path, "{} already holds claim on {}")

    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(
            agent_id, "task:" + task_id, TASK, task_id, "{} already holds claim on task {}"
        )

    def _claim(self, agent_id: str, key: str, kind: str, target: str, refusal: str) -> str:
        with self._lock:
            now = int(time())
            claims = self._claims
            held = claims.get(key)
            if held is None:
                claims[key] = Claim(kind, target, agent_id, now)
                self._statuses[agent_id] = BUSY
                self._history[now].append((CLAIMED, agent_id, key, now))
                return agent_id
            last = max(held.claimed_at, held.renewed_at)
            if now > last and now - last >= LEASE_SECONDS:
                # The lease ran out: the caller takes the key over from its holder.
                claims[key] = Claim(kind, target, agent_id, now)
                self._statuses[agent_id] = BUSY
                events = self._history[now]
                events.append((CLAIMED, agent_id, key, now))
                events.append((RELEASED, held.holder, key, now))
                return agent_id
            raise RuntimeError(refusal.format(held.holder, target))

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        with self._lock:
            held = self._claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim on {resource_key} to renew")
            if held.holder != agent_id:
                raise RuntimeError(f"{agent_id} cannot renew a claim held by {held.holder}")
            held.claimed_at = held.renewed_at = int(time())
            return agent_id

    def release(self, agent_id: str, resource_key: str) -> None:
        with self._lock:
            claims = self._claims
            held = claims.get(resource_key)
            if held is None:
                raise RuntimeError(f"no claim found for {agent_id}")
            if held.holder != agent_id:
                raise RuntimeError(f"{agent_id} cannot release a claim held by {held.holder}")
            del claims[resource_key]
            self._statuses[agent_id] = IDLE
            now = int(time())
            self._history[now].append((RELEASED, agent_id, resource_key, now))

    # --- messaging ------------------------------------------------------------------

    def send_message(self, from_agent: str, to_agent: str, content: str) -> tuple:
        with self._lock:
            now = int(time())
            message = (from_agent, to_agent, content, now)
            self._inboxes[to_agent].append(message)
            self._statuses.setdefault(to_agent, IDLE)
            self._history[now].append((MESSAGE_SENT, from_agent, to_agent, content, now))
            return message

    def broadcast(self, from_agent: str, content: str) -> tuple:
        with self._lock:
            now = int(time())
            statuses = self._statuses
            statuses.setdefault(from_agent, IDLE)
            inboxes = self._inboxes
            for agent in list(statuses):
                inboxes[agent].append((from_agent, agent, content, now))
            self._history[now].append((BROADCAST, from_agent, content, now))
            return (from_agent, "*", content, now)

    def inbox(self, agent_id: str) -> list:
        """Pending messages for `agent_id`, oldest first. Does not clear them —
        use `drain_inbox` for that."""
        with self._lock:
            return list(self._inboxes[agent_id])

    def drain_inbox(self, agent_id: str) -> list:
        with self._lock:
            inbox = self._inboxes[agent_id]
            messages = list(inbox)
            inbox.clear()
            return messages

    # --- status ----------------------------------------------------------------------

    def status(self, agent_id: str) -> str:
        """One of `"idle"`, `"busy"`, `"completed"`, `"error"`."""
        with self._lock:
            return self._statuses.get(agent_id, IDLE)

