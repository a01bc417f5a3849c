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

import logging
from typing import TYPE_CHECKING, Any

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
from galtro._lease import LEASE_SECONDS, AsyncLease, Lease, ahold, hold
from galtro._paths import file_key
from galtro._protocol import AsyncCoordinationStateLike, CoordinationStateLike, Message
from galtro._refusals import ClaimConflict, LeaseLost, NoClaim, NotHolder, Refusal

if TYPE_CHECKING:
    from .redis_state import AsyncRedisCoordinationState, RedisCoordinationState, \
        UnsupportedServerError
    from .sqlite_state import SqliteCoordinationState, StateFileError

# A library logs to its own logger and leaves the output to the application.
logging.getLogger("galtro").addHandler(logging.NullHandler())

_REDIS_NAMES = frozenset(
    ["AsyncRedisCoordinationState", "RedisCoordinationState", "UnsupportedServerError"]
)
_SQLITE_NAMES = frozenset(["SqliteCoordinationState", "StateFileError"])

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
    if name in _REDIS_NAMES:
        from . import redis_state

        return getattr(redis_state, name)
    if name in _SQLITE_NAMES:
        from . import sqlite_state

        return getattr(sqlite_state, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
