# pyright: strict
"""galtro: the coordination state of cooperating agents, in one process or across many.

``galtro_core.CoordinationState`` keeps the state inside one Python process.
``galtro.SqliteCoordinationState`` keeps the same state in one SQLite file, shared by
every process of one machine (the standard library's ``sqlite3``, imported when it is
first used). ``galtro.RedisCoordinationState`` keeps it on a Redis server, shared by
every process and machine that reaches it, with the same methods, results and errors;
``galtro.AsyncRedisCoordinationState`` is the same on redis-py's asyncio client. They
need redis-py (``pip install "galtro_core[redis]"``), which is imported only when one
of them is first used.

The helpers take either class: typed refusals, ``hold`` and ``ahold`` (a claim kept
alive while a block runs), ``Agent``, ``file_key``, the inspection functions
(``claims``, ``agents``, ``inbox_sizes``, ``history``, ``snapshot``) and the ``galtro``
command.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict

from galtro._paths import file_key
from galtro._protocol import LEASE_SECONDS, AsyncCoordinationStateLike, CoordinationStateLike, \
    Message
from galtro._refusals import ClaimConflict, LeaseLost, NoClaim, NotHolder, Refusal

if TYPE_CHECKING:
    from galtro._agent import Agent
    from galtro._inspect import (
        AgentInfo,
        ClaimInfo,
        Event,
        agents,
        claims,
        history,
        inbox_sizes,
        snapshot,
    )
    from galtro._lease import AsyncLease, Lease, ahold, hold

    from .redis import AsyncRedisCoordinationState, RedisCoordinationState, \
        UnsupportedServerError
    from .sqlite import SqliteCoordinationState, StateFileError

# Names imported on first use, by the module that defines them: the views need the
# native module, the leases asyncio, the Redis classes redis-py, the SQLite
# class sqlite3. A short-lived process
# (the hook of a coding agent) that needs none of them does not pay for them.
_LAZY: Dict[str, str] = {
    "Agent": "galtro._agent",
    **dict.fromkeys(["AgentInfo", "ClaimInfo", "Event", "agents", "claims", "history",
                     "inbox_sizes", "snapshot"], "galtro._inspect"),
    **dict.fromkeys(["AsyncLease", "Lease", "ahold", "hold"], "galtro._lease"),
    **dict.fromkeys(["AsyncRedisCoordinationState", "RedisCoordinationState",
                     "UnsupportedServerError"], "galtro.redis"),
    **dict.fromkeys(["SqliteCoordinationState", "StateFileError"], "galtro.sqlite"),
}

__all__: list[str] = [
    "Agent",
    "AgentInfo",
    "AsyncCoordinationStateLike",
    "AsyncLease",
    "AsyncRedisCoordinationState",
    "ClaimConflict",
    "ClaimInfo",
    "CoordinationStateLike",
    "Event",
    "LEASE_SECONDS",
    "Lease",
    "LeaseLost",
    "Message",
    "NoClaim",
    "NotHolder",
    "RedisCoordinationState",
    "Refusal",
    "SqliteCoordinationState",
    "StateFileError",
    "UnsupportedServerError",
    "agents",
    "ahold",
    "claims",
    "file_key",
    "history",
    "hold",
    "inbox_sizes",
    "snapshot",
]


def __getattr__(name: str) -> Any:
    module_name = _LAZY.get(name)
    if module_name is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module_name), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
