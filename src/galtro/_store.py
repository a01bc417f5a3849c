# pyright: strict
"""Which store a front end uses, and opening it.

Every front end (the ``galtro`` command, its hooks, the MCP server and the dashboard)
chooses and opens its store here, so that one URL means the same store everywhere:

* ``resolve_url(url)``: the URL given, else ``$GALTRO_URL``, else the default store.
* ``open_state(url, namespace)``: the state behind a URL. Store clients are imported
  only when their URL is used.
* ``describe(url, namespace)``: one line naming the store and the namespace.
"""

from __future__ import annotations

import os
from typing import Optional

from galtro._protocol import CoordinationStateLike

__all__ = ["DEFAULT_NAMESPACE", "StoreError", "resolve_url", "resolve_namespace",
           "open_state", "describe"]

DEFAULT_NAMESPACE = "default"
_REDIS_SCHEMES = ("redis://", "rediss://", "unix://")


class StoreError(Exception):
    """The store cannot be opened; the message says what to try."""


def default_url() -> str:
    """The store used when neither ``--url`` nor ``$GALTRO_URL`` names one."""
    return "redis://localhost:6379/0"


def resolve_url(url: Optional[str] = None) -> str:
    """``url``, else ``$GALTRO_URL``, else ``default_url()``."""
    return url or os.environ.get("GALTRO_URL") or default_url()


def resolve_namespace(namespace: Optional[str] = None) -> str:
    """``namespace``, else ``$GALTRO_NAMESPACE``, else ``"default"``."""
    return namespace or os.environ.get("GALTRO_NAMESPACE") or DEFAULT_NAMESPACE


def open_state(url: str, namespace: str) -> CoordinationStateLike:
    """The state that ``url`` names, in ``namespace``. Raises ``StoreError`` when the
    URL names no known store or its client is not installed."""
    if url.startswith(_REDIS_SCHEMES):
        try:
            from galtro.redis_state import RedisCoordinationState
        except ImportError as error:
            if (error.name or "").split(".")[0] == "redis":
                raise StoreError("redis-py is not installed; install it with: "
                                 "pip install 'galtro_core[redis]'") from None
            raise
        return RedisCoordinationState.from_url(url, namespace=namespace)
    raise StoreError(f"unknown store URL {url!r}: use redis://, rediss:// or unix://")


def describe(url: str, namespace: str) -> str:
    """One line naming the store and the namespace, for ``galtro where`` and ``--help``."""
    return f"Redis at {url}, namespace {namespace}"
