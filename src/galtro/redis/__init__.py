# pyright: strict
"""The coordination state on a Redis server, shared by every process and machine that
reaches it. Needs redis-py 5 or later (``pip install "galtro_core[redis]"``).

The methods bind their arguments themselves, so that a wrong call raises exactly the
``TypeError`` of ``galtro_core.CoordinationState``; their signatures are in
``__init__.pyi``.
"""

from ._state import AsyncClient, AsyncRedisCoordinationState, RedisCoordinationState, \
    SyncClient, UnsupportedServerError

__all__ = ["AsyncClient", "AsyncRedisCoordinationState", "RedisCoordinationState", "SyncClient",
           "UnsupportedServerError"]
