# pyright: strict
"""``file_key``: the one name of a file for ``claim_file``."""

from __future__ import annotations

import os
import posixpath
from typing import TYPE_CHECKING, Optional, Union

__all__ = ["file_key", "project_root"]

if TYPE_CHECKING:  # annotations only, which are not evaluated at run time
    StrPath = Union[str, os.PathLike[str]]


def _posix(path: StrPath) -> str:
    text = os.fspath(path)
    return text.replace(os.sep, "/") if os.sep != "/" else text


def file_key(root: StrPath, path: StrPath) -> str:
    """The path to pass to ``claim_file`` for ``path``: relative to the repository root
    ``root``, with POSIX separators, ``.`` and ``..`` resolved lexically (symbolic links
    are not followed and the file system is not read), so that ``./a.py``, ``a.py`` and
    ``src/../a.py`` are one claim, ``"a.py"``. A relative ``path`` is taken relative to
    ``root``. Raises ``ValueError`` for a path outside the root or the root itself.
    """
    root_text = _posix(root)
    path_text = _posix(path)
    if not root_text:
        raise ValueError("the root is empty")
    full = posixpath.join(root_text, path_text)
    if posixpath.isabs(root_text) != posixpath.isabs(full):
        # One absolute, one relative: only the working directory relates them.
        root_text, full = os.path.abspath(root_text), os.path.abspath(full)
        root_text, full = _posix(root_text), _posix(full)
    relative = posixpath.relpath(posixpath.normpath(full), posixpath.normpath(root_text))
    if relative == "." or relative == ".." or relative.startswith("../"):
        raise ValueError(f"{os.fspath(path)!r} is not a file under {os.fspath(root)!r}")
    return relative


def project_root(start: Optional[str] = None) -> str:
    """The nearest directory at or above ``start`` (default: the working directory) that
    holds ``.git`` (a directory, or a file in a worktree), else ``start`` itself: the
    root that file paths are named against. Found by looking, without running git."""
    start = os.path.abspath(start or os.getcwd())
    directory = start
    while not os.path.exists(os.path.join(directory, ".git")):
        parent = os.path.dirname(directory)
        if parent == directory:
            return start
        directory = parent
    return directory
