# pyright: strict
"""The claim operations with typed refusals, for one resource named by kind and name."""

from __future__ import annotations

import asyncio
import inspect
from typing import Awaitable, Callable, Optional, Tuple, TypeVar, Union

from galtro._protocol import AsyncCoordinationStateLike, CoordinationStateLike
from galtro._refusals import claim_refusal, release_refusal, renew_refusal

__all__ = ["resource_of", "claim", "renew", "release", "aclaim", "arenew", "arelease"]

T = TypeVar("T")
AnyState = Union[CoordinationStateLike, AsyncCoordinationStateLike]


def resource_of(file: Optional[str], task: Optional[str]) -> Tuple[str, str]:
    """(kind, name) of exactly one of ``file`` and ``task``; ``TypeError`` otherwise."""
    if (file is None) == (task is None):
        raise TypeError("pass exactly one of file= and task=")
    if file is not None:
        return "file", file
    assert task is not None
    return "task", task


def claim(state: CoordinationStateLike, agent_id: str, kind: str, name: str) -> str:
    """Claims the file or task; a refusal is ``ClaimConflict``."""
    try:
        if kind == "file":
            return state.claim_file(agent_id, name)
        return state.claim_task(agent_id, name)
    except RuntimeError as error:
        raise claim_refusal(error, kind, name) from None


def renew(state: CoordinationStateLike, agent_id: str, resource_key: str) -> str:
    """Renews the claim; a refusal is ``NoClaim`` or ``NotHolder``."""
    try:
        return state.renew_claim(agent_id, resource_key)
    except RuntimeError as error:
        raise renew_refusal(error, agent_id, resource_key) from None


def release(state: CoordinationStateLike, agent_id: str, resource_key: str) -> None:
    """Releases the claim; a refusal is ``NoClaim`` or ``NotHolder``."""
    try:
        state.release(agent_id, resource_key)
    except RuntimeError as error:
        raise release_refusal(error, agent_id, resource_key) from None


async def _result(state: AnyState, call: Callable[[], Union[T, Awaitable[T]]]) -> T:
    """The result of ``call``: awaited for an asynchronous state; run in a worker thread
    for a state whose calls block (its class sets ``_blocking``); taken as it is from an
    in-process call, which never blocks."""
    if getattr(state, "_blocking", False):
        value = await asyncio.to_thread(call)
    else:
        value = call()
    if inspect.isawaitable(value):
        return await value
    return value


async def aclaim(state: AnyState, agent_id: str, kind: str, name: str) -> str:
    """``claim`` for an asynchronous, a blocking or an in-process state."""
    try:
        if kind == "file":
            return await _result(state, lambda: state.claim_file(agent_id, name))
        return await _result(state, lambda: state.claim_task(agent_id, name))
    except RuntimeError as error:
        raise claim_refusal(error, kind, name) from None


async def arenew(state: AnyState, agent_id: str, resource_key: str) -> str:
    """``renew`` for an asynchronous, a blocking or an in-process state."""
    try:
        return await _result(state, lambda: state.renew_claim(agent_id, resource_key))
    except RuntimeError as error:
        raise renew_refusal(error, agent_id, resource_key) from None


async def arelease(state: AnyState, agent_id: str, resource_key: str) -> None:
    """``release`` for an asynchronous, a blocking or an in-process state."""
    try:
        await _result(state, lambda: state.release(agent_id, resource_key))
    except RuntimeError as error:
        raise release_refusal(error, agent_id, resource_key) from None
