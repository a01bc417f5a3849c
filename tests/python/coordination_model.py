"""Pure-Python reference model of galtro_core.CoordinationState.

The model mirrors every observable behaviour of the native class: argument binding
and its TypeErrors, claims with their 300-second lease, statuses, inboxes, broadcast
recipients, the results handed back to Python and every refusal message. It is
deliberately naive (plain dicts and lists) so that it can be read at a glance and
used as the oracle of the property-based tests.

Time comes from ``clock``, a callable returning whole Unix seconds; by default the
real clock. Tests may replace ``model.clock`` at any time, for instance to pin the
time stamp of a message to the one the native module returned.
"""

from __future__ import annotations

import functools
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple

LEASE_SECONDS = 300  # time to live (300) plus grace (0)

IDLE = "idle"
BUSY = "busy"

Message = Tuple[str, str, str, int]


def wall_clock() -> int:
    return int(time.time())


# --- argument binding -----------------------------------------------------------------

_EMPTY = object()


def _display(obj: object) -> str:
    """How an object is shown inside a binding error message."""
    text = str(obj)
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def _names_list(names: List[str]) -> str:
    out = []
    for i, name in enumerate(names):
        if i:
            if len(names) > 2:
                out.append(",")
            out.append(" and " if i == len(names) - 1 else " ")
        out.append(f"'{name}'")
    return "".join(out)


def _to_text(param: str, value: object) -> str:
    if not isinstance(value, str):
        qualname = getattr(type(value), "__qualname__", None)
        if not isinstance(qualname, str):
            qualname = "<failed to extract type name>"
        raise TypeError(
            f"argument '{param}': '{qualname}' object cannot be converted to 'PyString'"
        )
    # Strict UTF-8: a lone surrogate raises UnicodeEncodeError, unwrapped. The round
    # trip also turns a str subclass into a plain str without calling its overrides.
    return str.encode(value, "utf-8").decode("utf-8")


def bind(name: str, params: Tuple[str, ...], args: tuple, kwargs: dict,
         class_name: str = "CoordinationState") -> List[str]:
    """Bind a call's arguments to ``params`` and convert each to text; errors name
    ``class_name``."""
    display = f"{class_name}.{name}()"
    n, p = len(args), len(params)
    slots = list(args[:p]) + [_EMPTY] * (p - min(n, p))
    if n > p:
        verb = "was" if n == 1 else "were"
        raise TypeError(f"{display} takes {p} positional arguments but {n} {verb} given")
    for key, value in kwargs.items():
        index = None
        if isinstance(key, str):
            try:
                raw = str.encode(key, "utf-8")
            except UnicodeEncodeError:
                raw = None
            if raw is not None:
                for i, param in enumerate(params):
                    if raw == param.encode("utf-8"):
                        index = i
                        break
        if index is None:
            raise TypeError(f"{display} got an unexpected keyword argument '{_display(key)}'")
        if slots[index] is not _EMPTY:
            raise TypeError(f"{display} got multiple values for argument '{params[index]}'")
        slots[index] = value
    if n < p:
        missing = [param for param, slot in zip(params, slots) if slot is _EMPTY]
        if missing:
            k = len(missing)
            noun = "argument" if k == 1 else "arguments"
            raise TypeError(
                f"{display} missing {k} required positional {noun}: {_names_list(missing)}"
            )
    return [_to_text(param, value) for param, value in zip(params, slots)]


def _method(*params: str):
    def decorate(fn):
        @functools.wraps(fn)
        def bound(self, /, *args, **kwargs):
            return fn(self, *bind(fn.__name__, params, args, kwargs, self.class_name))

        return bound

    return decorate


# --- the state ------------------------------------------------------------------------


@dataclass
class Claim:
    kind: str  # "file" or "task"
    name: str  # path or task id as passed
    holder: str
    claimed_at: int
    renewed_at: int

    def expired(self, now: int) -> bool:
        last = max(self.claimed_at, self.renewed_at)
        elapsed = now - last if now >= last else 0
        return elapsed >= LEASE_SECONDS


@dataclass
class StoredMessage:
    from_agent: str
    to_agent: Optional[str]  # None for a broadcast
    content: str
    timestamp: int


class CoordinationModel:
    def __init__(self, clock: Callable[[], int] = wall_clock,
                 class_name: str = "CoordinationState") -> None:
        self.clock = clock
        self.class_name = class_name  # named in binding errors
        self.claims: Dict[str, Claim] = {}
        self.statuses: Dict[str, str] = {}
        self.inboxes: Dict[str, List[StoredMessage]] = {}
        # (kind, fields...) in append order; kinds "claimed", "released",
        # "message_sent", "broadcast". Not observable through the native class.
        self.history: List[tuple] = []

    # --- claims ---

    @_method("agent_id", "path")
    def claim_file(self, agent_id: str, path: str) -> str:
        return self._claim(agent_id, "file", path)

    @_method("agent_id", "task_id")
    def claim_task(self, agent_id: str, task_id: str) -> str:
        return self._claim(agent_id, "task", task_id)

    def _claim(self, agent_id: str, kind: str, name: str) -> str:
        key = f"{kind}:{name}"
        fresh = Claim(kind, name, agent_id, self.clock(), self.clock())
        stored = self.claims.get(key)
        if stored is not None:
            if not stored.expired(self.clock()):
                on = "on task" if kind == "task" else "on"
                raise RuntimeError(f"{stored.holder} already holds claim {on} {name}")
            self.claims[key] = fresh
            self.statuses[agent_id] = BUSY
            self.history.append(("claimed", agent_id, key, self.clock()))
            self.history.append(("released", stored.holder, key, self.clock()))
            return agent_id
        self.claims[key] = fresh
        self.statuses[agent_id] = BUSY
        self.history.append(("claimed", agent_id, key, self.clock()))
        return agent_id

    @_method("agent_id", "resource_key")
    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        stored = self.claims.get(resource_key)
        if stored is None:
            raise RuntimeError(f"no claim on {resource_key} to renew")
        if stored.holder != agent_id:
            raise RuntimeError(f"{agent_id} cannot renew a claim held by {stored.holder}")
        stored.claimed_at = self.clock()
        stored.renewed_at = self.clock()
        return agent_id

    @_method("agent_id", "resource_key")
    def release(self, agent_id: str, resource_key: str) -> None:
        stored = self.claims.get(resource_key)
        if stored is None:
            raise RuntimeError(f"no claim found for {agent_id}")
        if stored.holder != agent_id:
            raise RuntimeError(f"{agent_id} cannot release a claim held by {stored.holder}")
        del self.claims[resource_key]
        self.statuses[agent_id] = IDLE
        self.history.append(("released", agent_id, resource_key, self.clock()))
        return None

    # --- messaging ---

    @_method("from_agent", "to_agent", "content")
    def send_message(self, from_agent: str, to_agent: str, content: str) -> Message:
        message = StoredMessage(from_agent, to_agent, content, self.clock())
        self.inboxes.setdefault(to_agent, []).append(message)
        self.statuses.setdefault(to_agent, IDLE)
        self.history.append(("message_sent", from_agent, to_agent, content, self.clock()))
        return (from_agent, to_agent, content, message.timestamp)

    @_method("from_agent", "content")
    def broadcast(self, from_agent: str, content: str) -> Message:
        message = StoredMessage(from_agent, None, content, self.clock())
        self.statuses.setdefault(from_agent, IDLE)
        for recipient in list(self.statuses):  # snapshot, sender included
            self.inboxes.setdefault(recipient, []).append(message)
        self.history.append(("broadcast", from_agent, content, self.clock()))
        return (from_agent, "*", content, message.timestamp)

    @_method("agent_id")
    def inbox(self, agent_id: str) -> List[Message]:
        pending = self.inboxes.setdefault(agent_id, [])
        return [(m.from_agent, agent_id, m.content, m.timestamp) for m in pending]

    @_method("agent_id")
    def drain_inbox(self, agent_id: str) -> List[Message]:
        taken = self.inbox(agent_id)
        self.inboxes[agent_id].clear()
        return taken

    # --- status ---

    @_method("agent_id")
    def status(self, agent_id: str) -> str:
        return self.statuses.get(agent_id, IDLE)
