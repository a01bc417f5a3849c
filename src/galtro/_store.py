# pyright: strict
"""Which store a front end uses, and opening it.

Every front end (the ``galtro`` command, its hooks, the MCP server and the dashboard)
chooses and opens its store here, so that one URL means the same store everywhere:

* ``resolve_url(url)``: the URL given, else ``$GALTRO_URL``, else the default store:
  the SQLite file ``galtro.sqlite3`` in the git common directory of the repository
  around the working directory (so every worktree of a repository shares it, and
  nothing appears in a working tree), or ``$XDG_STATE_HOME/galtro/state.sqlite3``
  outside a repository.
* ``open_state(url, namespace)``: the state behind a URL: ``sqlite:`` a SQLite file;
  ``redis://``, ``rediss://`` and ``unix://`` a Redis server. Store clients are imported
  only when their URL is used.
* ``describe(url, namespace)``: one line naming the store and the namespace.
"""

from __future__ import annotations

import os
from typing import Optional

from galtro._protocol import CoordinationStateLike

__all__ = ["DEFAULT_NAMESPACE", "StoreError", "default_url", "git_common_dir", "sqlite_path",
           "resolve_url", "resolve_namespace", "open_state", "describe", "REDIS_SCHEMES"]

DEFAULT_NAMESPACE = "default"
REDIS_SCHEMES = ("redis://", "rediss://", "unix://")
_SQLITE_SCHEME = "sqlite:"
DEFAULT_FILE = "galtro.sqlite3"


class StoreError(Exception):
    """The store cannot be opened; the message says what to try."""


def sqlite_path(url: str) -> str:
    """The file of a ``sqlite:`` URL: ``sqlite:///absolute/path`` or
    ``sqlite:relative/path`` (to the working directory). ``ValueError`` otherwise."""
    if not url.startswith(_SQLITE_SCHEME):
        raise ValueError(f"not a sqlite: URL: {url!r}")
    rest = url[len(_SQLITE_SCHEME):]
    if rest.startswith("//"):
        rest = rest[2:]
        if not rest.startswith("/"):
            raise ValueError(f"a sqlite: URL names a local file, not a host: {url!r} "
                             "(use sqlite:///absolute/path or sqlite:relative/path)")
    if not rest:
        raise ValueError(f"the sqlite: URL names no file: {url!r}")
    return rest


def _read_line(path: str) -> Optional[str]:
    try:
        with open(path, encoding="utf-8") as file:
            return file.readline().strip() or None
    except (OSError, UnicodeDecodeError):
        return None


def _common_dir_of(git_dir: str) -> str:
    """The common directory of a git directory: the one its ``commondir`` file names
    (a linked worktree's), else itself."""
    common = _read_line(os.path.join(git_dir, "commondir"))
    return os.path.normpath(os.path.join(git_dir, common)) if common else git_dir


def git_common_dir(start: Optional[str] = None) -> Optional[str]:
    """The git common directory of the repository around ``start`` (default: the
    working directory), found as git finds it but without running it: ``$GIT_DIR`` if
    set, else the nearest ``.git`` upwards, a folder or a file naming the worktree's
    git directory. ``None`` outside a repository."""
    environment_dir = os.environ.get("GIT_DIR")
    if environment_dir:
        return _common_dir_of(os.path.abspath(environment_dir))
    folder = os.path.abspath(start if start is not None else os.getcwd())
    while True:
        dot_git = os.path.join(folder, ".git")
        if os.path.isdir(dot_git):
            return _common_dir_of(dot_git)
        if os.path.isfile(dot_git):
            line = _read_line(dot_git)
            if line and line.startswith("gitdir:"):
                git_dir = os.path.join(folder, line[len("gitdir:"):].strip())
                return _common_dir_of(os.path.normpath(git_dir))
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def default_url() -> str:
    """The store used when neither ``--url`` nor ``$GALTRO_URL`` names one:
    ``galtro.sqlite3`` in the git common directory, else
    ``$XDG_STATE_HOME/galtro/state.sqlite3`` (default ``~/.local/state``)."""
    common = git_common_dir()
    if common is not None:
        return _SQLITE_SCHEME + "//" + os.path.join(common, DEFAULT_FILE)
    state_home = os.environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state_home):  # a relative one is to be ignored
        state_home = os.path.join(os.path.expanduser("~"), ".local", "state")
    return _SQLITE_SCHEME + "//" + os.path.join(state_home, "galtro", "state.sqlite3")


def resolve_url(url: Optional[str] = None) -> str:
    """``url``, else ``$GALTRO_URL``, else ``default_url()``."""
    return url or os.environ.get("GALTRO_URL") or default_url()


def resolve_namespace(namespace: Optional[str] = None) -> str:
    """``namespace``, else ``$GALTRO_NAMESPACE``, else ``"default"``."""
    return namespace or os.environ.get("GALTRO_NAMESPACE") or DEFAULT_NAMESPACE


def open_state(url: str, namespace: str) -> CoordinationStateLike:
    """The state that ``url`` names, in ``namespace``. Raises ``StoreError`` when the
    URL names no known store, its client is not installed, or its file cannot hold
    the state."""
    if url.startswith(_SQLITE_SCHEME):
        from galtro.sqlite import SqliteCoordinationState, StateFileError

        try:
            return SqliteCoordinationState.from_url(url, namespace=namespace)
        except (StateFileError, ValueError) as error:
            raise StoreError(str(error)) from None
    if url.startswith(REDIS_SCHEMES):
        try:
            from galtro.redis import RedisCoordinationState
        except ImportError as error:
            if (error.name or "").split(".")[0] == "redis":
                raise StoreError("redis-py is not installed; install it with: "
                                 "pip install 'galtro_core[redis]'") from None
            raise
        return RedisCoordinationState.from_url(url, namespace=namespace)
    raise StoreError(_unknown(url))


def describe(url: str, namespace: str) -> str:
    """One line naming the store and the namespace, for ``galtro where`` and ``--help``."""
    if url.startswith(_SQLITE_SCHEME):
        try:
            return f"SQLite file {os.path.abspath(sqlite_path(url))}, namespace {namespace}"
        except ValueError as error:
            return str(error)
    if url.startswith(REDIS_SCHEMES):
        return f"Redis at {url}, namespace {namespace}"
    return _unknown(url)


def _unknown(url: str) -> str:
    return f"unknown store URL {url!r}: use sqlite:, redis://, rediss:// or unix://"
