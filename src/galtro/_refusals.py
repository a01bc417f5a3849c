# pyright: strict
"""Typed refusals, classified from the arguments of the refused call.

The nine methods raise a plain ``RuntimeError`` whose message is built from a fixed
template. The helpers of this package know the arguments they passed, so they match the
message against the templates filled with those arguments; the holder is what remains.
No split point in the text is ever guessed, so ids that contain the words of a template
are classified correctly. Where two templates fit one text, the one that the arguments
determine completely wins: that is always ``NoClaim``.
"""

from __future__ import annotations

from typing import Optional

__all__ = ["ClaimConflict", "NotHolder", "NoClaim", "LeaseLost", "Refusal"]


class Refusal(RuntimeError):
    """A refused claim operation. The message is the method's own, unchanged."""

    resource_key: str

    def __init__(self, message: str, resource_key: str) -> None:
        super().__init__(message)
        self.resource_key = resource_key

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (str(self), self.resource_key))


class _HolderRefusal(Refusal):
    """A refusal that names the agent holding the claim, ``holder``."""

    holder: str

    def __init__(self, message: str, resource_key: str, holder: str) -> None:
        super().__init__(message, resource_key)
        self.holder = holder

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (str(self), self.resource_key, self.holder))


class ClaimConflict(_HolderRefusal):
    """A live claim of ``holder`` (possibly the caller itself) is in the way."""


class NotHolder(_HolderRefusal):
    """The claim on ``resource_key`` is held by ``holder``, not by the caller."""


class NoClaim(Refusal):
    """There is no claim on ``resource_key``."""


class LeaseLost(Exception):
    """A lease kept by :func:`galtro.hold` was lost: taken over, released by someone
    else's action, or not renewed before it ran out. ``reason`` is the refusal or the
    connection failure that showed it."""

    resource_key: str
    reason: Optional[BaseException]

    def __init__(self, resource_key: str, reason: Optional[BaseException] = None) -> None:
        detail = f": {reason}" if reason is not None else ""
        super().__init__(f"lease on {resource_key} lost{detail}")
        self.resource_key = resource_key
        self.reason = reason

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.resource_key, self.reason))


def _holder_before(message: str, suffix: str) -> Optional[str]:
    """The text in front of ``suffix`` when ``message`` ends with it."""
    if message.endswith(suffix):
        return message[: len(message) - len(suffix)]
    return None


def _holder_after(message: str, prefix: str) -> Optional[str]:
    """The text after ``prefix`` when ``message`` starts with it."""
    if message.startswith(prefix):
        return message[len(prefix) :]
    return None


def claim_refusal(error: RuntimeError, kind: str, name: str) -> RuntimeError:
    """The typed form of a refused ``claim_file`` (kind ``"file"``) or ``claim_task``
    (kind ``"task"``) on ``name``; ``error`` itself if no template fits."""
    message = str(error)
    resource_key = f"{kind}:{name}"
    on = " already holds claim on task " if kind == "task" else " already holds claim on "
    holder = _holder_before(message, on + name)
    if holder is None:
        return error
    return ClaimConflict(message, resource_key, holder)


def _holder_refusal(
    error: RuntimeError, agent_id: str, resource_key: str, verb: str, no_claim: str
) -> RuntimeError:
    """The typed form of a refused renewal or release (``verb``), whose message is
    ``no_claim`` when there is no claim; ``error`` itself if no template fits."""
    message = str(error)
    if message == no_claim:
        return NoClaim(message, resource_key)
    holder = _holder_after(message, f"{agent_id} cannot {verb} a claim held by ")
    if holder is None:
        return error
    return NotHolder(message, resource_key, holder)


def renew_refusal(error: RuntimeError, agent_id: str, resource_key: str) -> RuntimeError:
    """The typed form of a refused ``renew_claim``; ``error`` itself if no template fits."""
    no_claim = f"no claim on {resource_key} to renew"
    return _holder_refusal(error, agent_id, resource_key, "renew", no_claim)


def release_refusal(error: RuntimeError, agent_id: str, resource_key: str) -> RuntimeError:
    """The typed form of a refused ``release``; ``error`` itself if no template fits."""
    no_claim = f"no claim found for {agent_id}"
    return _holder_refusal(error, agent_id, resource_key, "release", no_claim)
