# pyright: strict
"""The coordination state in one SQLite file, shared by every process of one machine.
Needs only the standard library.

The methods bind their arguments themselves, so that a wrong call raises exactly the
``TypeError`` of ``galtro_core.CoordinationState``; their signatures are in
``__init__.pyi``.
"""

from ._state import SqliteCoordinationState, StateFileError

__all__ = ["SqliteCoordinationState", "StateFileError"]
