# pyright: strict
"""``hold`` and ``ahold``: a claim kept alive while a block runs.

The lease of a claim is 300 seconds. While the block runs, the claim is renewed every
third of that (``renew_every``) from a daemon thread (``hold``) or an asyncio task
(``ahold``). A renewal refused with "... cannot renew a claim held by ..." (taken over)
or "no claim on ... to renew" (gone) marks the lease lost at once. A renewal that fails
with a connection error or a timeout is retried until the lease would have run out,
counted from the last renewal that succeeded; then the lease is lost too.
"""

from __future__ import annotations

import asyncio
import logging
import random
import threading
import time
from types import TracebackType
from typing import Callable, Optional, Tuple, Type

from galtro._operations import (
    AnyState,
    aclaim,
    arelease,
    arenew,
    claim,
    release,
    renew,
    resource_of,
)
from galtro._protocol import CoordinationStateLike
from galtro._refusals import ClaimConflict, LeaseLost, NoClaim, NotHolder

__all__ = ["LEASE_SECONDS", "Lease", "AsyncLease", "hold", "ahold", "connection_errors"]

logger = logging.getLogger("galtro")

#: The lease of a claim, in seconds, on both classes.
LEASE_SECONDS = 300.0

# Polling while waiting for a claim: the first pause, the longest, and the spread
# around each pause (a factor drawn from this range), so that waiters do not step in
# lockstep.
_FIRST_POLL = 0.05
_LONGEST_POLL = 1.0
_JITTER = (0.5, 1.5)
# Pause between retries of a renewal that failed on the connection.
_RETRY_PAUSE = 1.0

_connection_errors: Optional[Tuple[Type[BaseException], ...]] = None


def connection_errors() -> Tuple[Type[BaseException], ...]:
    """The exceptions that mean the state could not be reached: the built-in
    ``ConnectionError`` and ``TimeoutError``, and redis-py's when it is installed."""
    global _connection_errors
    if _connection_errors is None:
        found: Tuple[Type[BaseException], ...] = (ConnectionError, TimeoutError)
        try:
            import redis.exceptions
        except ImportError:
            pass
        else:
            found += (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError)
        _connection_errors = found
    return _connection_errors


def _poll_pauses() -> Callable[[], float]:
    """A source of pauses between claim attempts: growing, jittered."""
    pause = _FIRST_POLL

    def next_pause() -> float:
        nonlocal pause
        chosen = pause * random.uniform(*_JITTER)
        pause = min(pause * 2, _LONGEST_POLL)
        return chosen

    return next_pause


class _LeaseState:
    """What a lease knows, shared by its renewer and its owner. ``lost`` and ``reason``
    are written once, by whoever sees the loss first, under ``lock``."""

    def __init__(self, agent_id: str, kind: str, name: str, renew_every: Optional[float]) -> None:
        if renew_every is None:
            renew_every = LEASE_SECONDS / 3
        if not renew_every > 0:
            raise ValueError("renew_every must be positive")
        self.agent_id = agent_id
        self.kind = kind
        self.name = name
        self.resource_key = f"{kind}:{name}"
        self.renew_every = float(renew_every)
        self.lock = threading.Lock()
        self.lost = False
        self.reason: Optional[BaseException] = None
        # time.monotonic() of the claim or the last renewal that succeeded.
        self.renewed = 0.0

    def mark_lost(self, reason: Optional[BaseException]) -> None:
        with self.lock:
            if not self.lost:
                self.lost = True
                self.reason = reason
                logger.warning("lease on %s lost: %s", self.resource_key, reason)

    def lapses_at(self) -> float:
        return self.renewed + LEASE_SECONDS


class _LeaseBase:
    """The read side of a lease, common to ``Lease`` and ``AsyncLease``."""

    _state: _LeaseState

    @property
    def agent_id(self) -> str:
        return self._state.agent_id

    @property
    def resource_key(self) -> str:
        """The claimed key, ``"file:{path}"`` or ``"task:{id}"``."""
        return self._state.resource_key

    @property
    def lost(self) -> bool:
        """Whether the lease was lost (taken over, gone, or not renewed in time)."""
        with self._state.lock:
            return self._state.lost

    @property
    def reason(self) -> Optional[BaseException]:
        """The refusal or connection failure that lost the lease, if it is lost."""
        with self._state.lock:
            return self._state.reason

    def check(self) -> None:
        """Raises ``LeaseLost`` if the lease was lost; returns otherwise."""
        with self._state.lock:
            if self._state.lost:
                raise LeaseLost(self._state.resource_key, self._state.reason)

    def _pause_after(
        self, conflict: ClaimConflict, remaining: float, next_pause: Callable[[], float]
    ) -> float:
        """The pause before the next claim attempt, ``remaining`` seconds before the wait
        is over; raises ``conflict`` when the wait is over or the agent holds the claim
        itself (an enclosing block's claim, which waiting would not free)."""
        if conflict.holder == self._state.agent_id or remaining <= 0:
            raise conflict
        return min(remaining, next_pause())

    def _release_failed(self, error: Exception, exc_type: Optional[Type[BaseException]]) -> None:
        """The release on leaving the block raised ``error``: a refusal means the lease
        was lost; another failure is raised, or logged if the block is raising already."""
        if isinstance(error, (NoClaim, NotHolder)):
            self._state.mark_lost(error)
        elif exc_type is None:
            raise error
        else:
            logger.exception("releasing %s failed", self._state.resource_key)

    def _exit_lost(self, exc_type: Optional[Type[BaseException]]) -> None:
        """Leaving a block whose lease was lost: LeaseLost unless it is raising anyway."""
        if exc_type is None:
            self.check()


def _renewal_outcome(lease: _LeaseState, error: BaseException) -> Optional[float]:
    """What a failed renewal means: the pause before a retry, or None when the lease
    is lost (it is then marked so)."""
    if isinstance(error, (NoClaim, NotHolder)):
        lease.mark_lost(error)
        return None
    if isinstance(error, connection_errors()):
        now = time.monotonic()
        if now >= lease.lapses_at():
            lease.mark_lost(error)
            return None
        logger.info("renewal of %s failed, retrying: %s", lease.resource_key, error)
        return min(_RETRY_PAUSE, lease.renew_every, lease.lapses_at() - now)
    lease.mark_lost(error)
    return None


class Lease(_LeaseBase):
    """A claim held for the length of a ``with`` block; made by :func:`hold`."""

    def __init__(
        self,
        state: CoordinationStateLike,
        agent_id: str,
        *,
        file: Optional[str] = None,
        task: Optional[str] = None,
        wait: float = 0.0,
        renew: bool = True,
        renew_every: Optional[float] = None,
    ) -> None:
        kind, name = resource_of(file, task)
        self._state = _LeaseState(agent_id, kind, name, renew_every)
        self._target = state
        self._wait = wait
        self._renew = renew
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> Lease:
        lease = self._state
        deadline = time.monotonic() + self._wait
        next_pause = _poll_pauses()
        while True:
            try:
                claim(self._target, lease.agent_id, lease.kind, lease.name)
                break
            except ClaimConflict as conflict:
                time.sleep(self._pause_after(conflict, deadline - time.monotonic(), next_pause))
        lease.renewed = time.monotonic()
        if self._renew:
            self._thread = threading.Thread(
                target=self._keep_renewing, name=f"galtro-renew {lease.resource_key}", daemon=True
            )
            self._thread.start()
        return self

    def _keep_renewing(self) -> None:
        lease = self._state
        pause = lease.renew_every
        while not self._stop.wait(pause):
            try:
                renew(self._target, lease.agent_id, lease.resource_key)
            except Exception as error:
                retry = _renewal_outcome(lease, error)
                if retry is None:
                    return
                pause = retry
            else:
                lease.renewed = time.monotonic()
                pause = lease.renew_every

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if not self.lost:
            try:
                release(self._target, self._state.agent_id, self._state.resource_key)
            except Exception as error:
                self._release_failed(error, exc_type)
        if self.lost:
            self._exit_lost(exc_type)


class AsyncLease(_LeaseBase):
    """A claim held for the length of an ``async with`` block; made by :func:`ahold`."""

    def __init__(
        self,
        state: AnyState,
        agent_id: str,
        *,
        file: Optional[str] = None,
        task: Optional[str] = None,
        wait: float = 0.0,
        renew: bool = True,
        renew_every: Optional[float] = None,
    ) -> None:
        kind, name = resource_of(file, task)
        self._state = _LeaseState(agent_id, kind, name, renew_every)
        self._target = state
        self._wait = wait
        self._renew = renew
        self._task: Optional[asyncio.Task[None]] = None

    async def __aenter__(self) -> AsyncLease:
        lease = self._state
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self._wait
        next_pause = _poll_pauses()
        while True:
            try:
                await aclaim(self._target, lease.agent_id, lease.kind, lease.name)
                break
            except ClaimConflict as conflict:
                await asyncio.sleep(self._pause_after(conflict, deadline - loop.time(), next_pause))
        lease.renewed = time.monotonic()
        if self._renew:
            self._task = loop.create_task(self._keep_renewing())
        return self

    async def _keep_renewing(self) -> None:
        lease = self._state
        pause = lease.renew_every
        while True:
            await asyncio.sleep(pause)
            try:
                await arenew(self._target, lease.agent_id, lease.resource_key)
            except Exception as error:
                retry = _renewal_outcome(lease, error)
                if retry is None:
                    return
                pause = retry
            else:
                lease.renewed = time.monotonic()
                pause = lease.renew_every

    async def __aexit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        if self._task is not None:
            self._task.cancel()
            try:
                await self._task
            except asyncio.CancelledError:
                pass
        if not self.lost:
            try:
                await arelease(self._target, self._state.agent_id, self._state.resource_key)
            except Exception as error:
                self._release_failed(error, exc_type)
        if self.lost:
            self._exit_lost(exc_type)


def hold(
    state: CoordinationStateLike,
    agent_id: str,
    *,
    file: Optional[str] = None,
    task: Optional[str] = None,
    wait: float = 0.0,
    renew: bool = True,
    renew_every: Optional[float] = None,
) -> Lease:
    """Holds a claim on ``file`` or ``task`` (exactly one) for a ``with`` block.

    Claims it on entry; while another agent holds it, retries for up to ``wait``
    seconds (polling with jitter), then raises ``ClaimConflict`` naming the holder. If
    ``agent_id`` already holds it, the refusal names ``agent_id`` itself and is raised at
    once, without waiting: the claim belongs to an enclosing block, which would lose it
    when this one released it. While the block runs the claim is renewed every
    ``renew_every`` seconds (a third of the lease by default) from a daemon thread,
    unless ``renew`` is false. On exit, normal or by an exception, the claim is released,
    unless the lease was lost; then leaving the block raises ``LeaseLost``, unless the
    block is raising already. ``lease.check()`` raises ``LeaseLost`` at any point once
    the loss is known, and ``lease.lost`` tells.
    """
    return Lease(
        state, agent_id, file=file, task=task, wait=wait, renew=renew, renew_every=renew_every
    )


def ahold(
    state: AnyState,
    agent_id: str,
    *,
    file: Optional[str] = None,
    task: Optional[str] = None,
    wait: float = 0.0,
    renew: bool = True,
    renew_every: Optional[float] = None,
) -> AsyncLease:
    """``hold`` for ``async with``: waits with ``asyncio.sleep`` and renews from an
    asyncio task. Takes ``galtro.AsyncRedisCoordinationState``, an in-process
    ``galtro_core.CoordinationState``, whose calls never block, or
    ``galtro.SqliteCoordinationState``, whose calls run in a worker thread."""
    return AsyncLease(
        state, agent_id, file=file, task=task, wait=wait, renew=renew, renew_every=renew_every
    )


