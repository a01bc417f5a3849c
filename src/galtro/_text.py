# pyright: strict
"""Short texts for a person or a model to read, shared by the front ends."""

from __future__ import annotations

__all__ = ["duration"]


def duration(seconds: float) -> str:
    """A span of whole seconds: ``"42s"``, ``"3m05s"`` (a negative span reads as 0s)."""
    minutes, rest = divmod(max(0, int(seconds)), 60)
    return f"{minutes}m{rest:02d}s" if minutes else f"{rest}s"
