# pyright: strict
"""The exceptions that mean a store could not be reached or used.

Only the clients a process has imported can have raised their exceptions, so a store's
are counted once its module is loaded, and these functions import nothing themselves:
a process that never opens a Redis store does not pay for importing redis-py.
"""

from __future__ import annotations

import sys
from typing import Tuple, Type, cast

__all__ = ["connection_errors", "store_failures"]

Errors = Tuple[Type[BaseException], ...]


def connection_errors() -> Errors:
    """The exceptions that mean the state could not be reached: the built-in
    ``ConnectionError`` and ``TimeoutError``, and redis-py's once it is imported."""
    found: Errors = (ConnectionError, TimeoutError)
    redis_errors = sys.modules.get("redis.exceptions")
    if redis_errors is not None:
        found += (redis_errors.ConnectionError, redis_errors.TimeoutError)
    return found


def store_failures() -> Errors:
    """The exceptions of a store that cannot be reached or used: ``connection_errors()``,
    redis-py's ``RedisError`` and ``galtro.UnsupportedServerError``, ``sqlite3.Error`` and
    ``galtro.StateFileError``, each once its module is imported."""
    found = connection_errors()
    redis_errors = sys.modules.get("redis.exceptions")
    if redis_errors is not None:
        found += (cast(Type[BaseException], redis_errors.RedisError),)
    redis_state = sys.modules.get("galtro.redis._state")
    if redis_state is not None:
        found += (cast(Type[BaseException], redis_state.UnsupportedServerError),)
    sqlite3 = sys.modules.get("sqlite3")
    if sqlite3 is not None:
        found += (cast(Type[BaseException], sqlite3.Error),)
    sqlite_state = sys.modules.get("galtro.sqlite._state")
    if sqlite_state is not None:
        found += (cast(Type[BaseException], sqlite_state.StateFileError),)
    return found
