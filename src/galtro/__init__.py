# pyright: strict
"""galtro: the coordination state of cooperating agents, in one process or across many.

``galtro_core.CoordinationState`` keeps the state inside one Python process.
``galtro.RedisCoordinationState`` keeps the same state on a Redis server, shared by
every process and machine that reaches it, with the same methods, results and errors;
``galtro.AsyncRedisCoordinationState`` is the same on redis-py's asyncio client. They
need redis-py (``pip install "galtro_core[redis]"``), which is imported only when one
of them is first used.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .redis_state import AsyncRedisCoordinationState, RedisCoordinationState, \
        UnsupportedServerError

__all__ = ["AsyncRedisCoordinationState", "RedisCoordinationState", "UnsupportedServerError"]

_REDIS_NAMES = frozenset(__all__)


def __getattr__(name: str) -> Any:
    if name in _REDIS_NAMES:
        from . import redis_state

        return getattr(redis_state, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
