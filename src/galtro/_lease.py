# pyright: strict
"""``hold`` and ``ahold``: a claim kept alive while a block runs.

The lease of a claim is 300 seconds. While the block runs, the claim is renewed every
third of that (``renew_every``) from a daemon thread (``hold``) or an asyncio task
(``ahold``).

The client counts the lease conservatively. The store counts it from the whole second
in which it stored the claim or the renewal, which may be up to 1 second before the
call was even sent; so the client's deadline is ``LEASE_SECONDS - MARGIN_SECONDS``
(298 s) after the moment the last successful claim or renewal call was *sent* (1 s for
the store's whole-second flooring, 1 s of safety for clock rates and scheduling). From
that deadline on ``lost`` is true and ``check()`` raises, whatever the renewer is doing,
and before any other agent can take the claim over.

A renewal refused with "... cannot renew a claim held by ..." (taken over) or "no claim
on ... to renew" (gone) marks the lease lost at once. Any other failure (a connection
error, a timeout, a server over its memory limit or busy with a long script) is retried
until the deadline. A renewer that stops for any other reason marks the lease lost.
A block that ends while the lease is held releases the claim; a release that fails for
a passing reason is retried until the deadline, after which the claim lapses anyway.
"""

from __future__ import annotations

import asyncio
import logging
import math
import random
import threading
import time
from types import TracebackType
from typing import Callable, Optional, Type

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
from galtro._protocol import LEASE_SECONDS, CoordinationStateLike
from galtro._refusals import ClaimConflict, LeaseLost, NoClaim, NotHolder

__all__ = ["LEASE_SECONDS", "MARGIN_SECONDS", "Lease", "AsyncLease", "hold", "ahold"]

# A library logs to its own logger and leaves the output to the application. The
# handler is added where the package logs, so that a process that never holds a lease
# does not import logging.
logger = logging.getLogger("galtro")
logger.addHandler(logging.NullHandler())

#: How much sooner than the store the client gives a lease up: the store's whole-second
#: flooring of the time it stored the claim (1 s), and 1 s of safety.
MARGIN_SECONDS = 2.0

# Polling while waiting for a claim: the first pause, the longest, and the spread
# around each pause (a factor drawn from this range), so that waiters do not step in
# lockstep.
_FIRST_POLL = 0.05
_LONGEST_POLL = 1.0
_JITTER = (0.5, 1.5)
# Pause between retries of a renewal or a release that failed for a passing reason.
_RETRY_PAUSE = 1.0

def _poll_pauses() -> Callable[[], float]:
    """A source of pauses between claim attempts: growing, jittered."""
    pause = _FIRST_POLL

    def next_pause() -> float:
        nonlocal pause
        chosen = pause * random.uniform(*_JITTER)
        pause = min(pause * 2, _LONGEST_POLL)
        return chosen

    return next_pause


def _usable_lease() -> float:
    """How long after a claim or renewal was sent the client counts the lease held."""
    return LEASE_SECONDS - MARGIN_SECONDS


def _check_renew_every(renew_every: object) -> float:
    """``renew_every`` as a float (a third of the lease by default); ``ValueError``
    unless it is positive, finite and shorter than the lease the client counts."""
    if renew_every is None:
        return LEASE_SECONDS / 3
    if isinstance(renew_every, bool) or not isinstance(renew_every, (int, float)):
        raise TypeError(
            f"renew_every must be a number of seconds, not {type(renew_every).__name__}")
    usable = _usable_lease()
    if not 0 < renew_every < usable:  # NaN and infinity fail here too
        raise ValueError(
            f"renew_every must be positive, finite and less than {usable:g} seconds "
            f"(the lease less {MARGIN_SECONDS:g} seconds of margin), not {renew_every!r}")
    return float(renew_every)


class _LeaseState:
    """What a lease knows, shared by its renewer and its owner, under ``lock``.
    ``lost`` and ``reason`` are written once, by whoever sees the loss first: a refusal,
    or the deadline passing while the lease is active."""

    def __init__(self, agent_id: str, kind: str, name: str, renew_every: object) -> None:
        self.renew_every = _check_renew_every(renew_every)
        self.agent_id = agent_id
        self.kind = kind
        self.name = name
        self.resource_key = f"{kind}:{name}"
        self.lock = threading.Lock()
        self.lost = False
        self.reason: Optional[BaseException] = None
        # Whether the deadline counts: from the claim until the block has ended.
        self.active = False
        # time.monotonic() after which the client no longer counts the lease held.
        self.deadline = math.inf
        # The last failure of a renewal, the reason if the deadline passes.
        self.last_error: Optional[BaseException] = None

    def held_from(self, sent: float) -> None:
        """A claim or renewal sent at monotonic ``sent`` succeeded."""
        with self.lock:
            if not self.lost:
                self.deadline = sent + _usable_lease()
                self.active = True
                self.last_error = None

    def mark_lost(self, reason: Optional[BaseException]) -> None:
        with self.lock:
            self._lose(reason)

    def _lose(self, reason: Optional[BaseException]) -> None:
        if not self.lost:
            self.lost = True
            self.reason = reason
            logger.warning("lease on %s lost: %s", self.resource_key, reason)

    def is_lost(self) -> bool:
        """Whether the lease is lost; marks it so once the deadline has passed. Holds
        ``lock`` itself."""
        with self.lock:
            if not self.lost and self.active and time.monotonic() >= self.deadline:
                self._lose(self.last_error or TimeoutError(
                    f"lease on {self.resource_key} not renewed within "
                    f"{_usable_lease():g} seconds"))
            return self.lost

    def lost_by_refusal(self) -> bool:
        with self.lock:
            return isinstance(self.reason, (NoClaim, NotHolder))

    def retry_pause(self, error: BaseException, doing: str) -> Optional[float]:
        """What a failed renewal or release means: None once it cannot be retried (a
        refusal, which marks the lease lost, or the deadline passed), else the pause
        before the next try."""
        if isinstance(error, (NoClaim, NotHolder)):
            self.mark_lost(error)
            return None
        with self.lock:
            self.last_error = error
        if self.is_lost():
            return None
        remaining = self.deadline - time.monotonic()
        logger.info("%s of %s failed, retrying: %s", doing, self.resource_key, error)
        return max(0.0, min(_RETRY_PAUSE, self.renew_every, remaining))

    def finish(self) -> None:
        """The block has ended: the deadline no longer counts."""
        with self.lock:
            self.active = False


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
        return self._state.is_lost()

    @property
    def reason(self) -> Optional[BaseException]:
        """What lost the lease, if it is lost: the refusal, or the last failure of a
        renewal (a ``TimeoutError`` if none failed) when the deadline passed."""
        with self._state.lock:
            return self._state.reason

    def check(self) -> None:
        """Raises ``LeaseLost`` if the lease was lost; returns otherwise."""
        if self._state.is_lost():
            raise LeaseLost(self._state.resource_key, self.reason)

    def _pause_after(
        self, conflict: ClaimConflict, remaining: float, next_pause: Callable[[], float]
    ) -> float:
        """The pause before the next claim attempt, ``remaining`` seconds before the wait
        is over; raises ``conflict`` when the wait is over or the agent holds the claim
        itself (an enclosing block's claim, which waiting would not free)."""
        if conflict.holder == self._state.agent_id or remaining <= 0:
            raise conflict
        return min(remaining, next_pause())

    def _release_failed(self, error: Exception) -> Optional[float]:
        """The release on leaving the block raised ``error``: the pause before it is
        tried again, or None when it is not (a refusal, which means the lease was lost,
        or the deadline passed, which loses it; the failure is then logged, and leaving
        the block raises ``LeaseLost`` unless it is raising already)."""
        pause = self._state.retry_pause(error, "release")
        if pause is None and not isinstance(error, (NoClaim, NotHolder)):
            logger.error("releasing %s failed: %s", self._state.resource_key, error)
        return pause

    def _must_release(self) -> bool:
        """Whether leaving the block releases the claim: unless a refusal showed that
        the claim is no longer this agent's. A lease lost by its deadline is released
        all the same, in case it is still held."""
        return not self._state.lost_by_refusal()

    def _exit_lost(self, exc_type: Optional[Type[BaseException]]) -> None:
        """Leaving a block whose lease was lost: LeaseLost unless it is raising anyway."""
        if exc_type is None:
            self.check()


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
            sent = time.monotonic()
            try:
                claim(self._target, lease.agent_id, lease.kind, lease.name)
                break
            except ClaimConflict as conflict:
                time.sleep(self._pause_after(conflict, deadline - time.monotonic(), next_pause))
        lease.held_from(sent)
        if self._renew:
            self._thread = threading.Thread(
                target=self._keep_renewing, name=f"galtro-renew {lease.resource_key}", daemon=True
            )
            self._thread.start()
        return self

    def _keep_renewing(self) -> None:
        lease = self._state
        try:
            pause: Optional[float] = lease.renew_every
            while pause is not None and not self._stop.wait(pause):
                sent = time.monotonic()
                if lease.is_lost():
                    return
                try:
                    renew(self._target, lease.agent_id, lease.resource_key)
                except Exception as error:
                    pause = lease.retry_pause(error, "renewal")
                else:
                    lease.held_from(sent)
                    pause = lease.renew_every
        except BaseException as error:  # never silently: the lease is not kept any more
            lease.mark_lost(error)
            raise

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        while self._must_release():
            try:
                release(self._target, self._state.agent_id, self._state.resource_key)
                break
            except Exception as error:
                pause = self._release_failed(error)
                if pause is None:
                    break
                time.sleep(pause)
        self._state.finish()
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
            sent = time.monotonic()
            try:
                await aclaim(self._target, lease.agent_id, lease.kind, lease.name)
                break
            except ClaimConflict as conflict:
                await asyncio.sleep(self._pause_after(conflict, deadline - loop.time(), next_pause))
        lease.held_from(sent)
        if self._renew:
            self._task = loop.create_task(self._keep_renewing())
        return self

    async def _keep_renewing(self) -> None:
        lease = self._state
        try:
            pause: Optional[float] = lease.renew_every
            while pause is not None:
                await asyncio.sleep(pause)
                sent = time.monotonic()
                if lease.is_lost():
                    return
                try:
                    await arenew(self._target, lease.agent_id, lease.resource_key)
                except Exception as error:
                    pause = lease.retry_pause(error, "renewal")
                else:
                    lease.held_from(sent)
                    pause = lease.renew_every
        except asyncio.CancelledError:
            raise  # the block has ended
        except BaseException as error:  # never silently: the lease is not kept any more
            lease.mark_lost(error)
            raise

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
        while self._must_release():
            try:
                await arelease(self._target, self._state.agent_id, self._state.resource_key)
                break
            except Exception as error:
                pause = self._release_failed(error)
                if pause is None:
                    break
                await asyncio.sleep(pause)
        self._state.finish()
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
    ``renew_every`` seconds (a third of the lease by default; it must be positive,
    finite and under 298 s, else ``ValueError``) from a daemon thread, unless ``renew``
    is false. The lease is lost when a renewal finds the claim taken over or gone, or
    298 s after the last successful claim or renewal was sent (2 s before the store can
    let it lapse); other failures of a renewal are retried until then. On exit, normal or
    by an exception, the claim is released unless a refusal showed it is no longer the
    agent's, retrying passing failures until that deadline; if the lease was lost,
    leaving the block raises ``LeaseLost``, unless the block is raising already.
    ``lease.check()`` raises ``LeaseLost`` at any point once the loss is known, and
    ``lease.lost`` tells.
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


