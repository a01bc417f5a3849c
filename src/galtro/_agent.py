# pyright: strict
"""``Agent``: one agent's handle on a state, so that its id is not repeated."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Optional

from galtro import _operations
from galtro._protocol import CoordinationStateLike, Message
from galtro._refusals import NoClaim, NotHolder

if TYPE_CHECKING:
    from galtro._lease import Lease

__all__ = ["Agent"]


class Agent:
    """The claim, message and status methods of ``state`` for the agent ``agent_id``.

    Refusals are typed (``ClaimConflict``, ``NotHolder``, ``NoClaim``). The handle keeps
    the keys its claims succeeded on until they are released through it or found lost
    (a renewal or release refused); ``held()`` lists them. ``release_all()`` releases
    them all and may be registered with ``atexit``. The handle is safe to share between
    threads.
    """

    def __init__(self, state: CoordinationStateLike, agent_id: str) -> None:
        self._target = state
        self._agent_id = agent_id
        self._held: dict[str, None] = {}  # an ordered set: claim order
        self._lock = threading.Lock()

    @property
    def agent_id(self) -> str:
        return self._agent_id

    @property
    def state(self) -> CoordinationStateLike:
        return self._target

    def __repr__(self) -> str:
        return f"Agent({self._target!r}, {self._agent_id!r})"

    def _keep(self, resource_key: str) -> None:
        with self._lock:
            self._held[resource_key] = None

    def _forget(self, resource_key: str) -> None:
        with self._lock:
            self._held.pop(resource_key, None)

    # --- Claims -----------------------------------------------------------------
    def claim_file(self, path: str) -> str:
        """Claims the file ``path``; returns the resource key ``"file:{path}"``.
        Raises ``ClaimConflict`` while another live claim is on it."""
        return self._claim("file", path)

    def claim_task(self, task_id: str) -> str:
        """Claims the task ``task_id``; returns the resource key ``"task:{task_id}"``.
        Raises ``ClaimConflict`` while another live claim is on it."""
        return self._claim("task", task_id)

    def _claim(self, kind: str, name: str) -> str:
        _operations.claim(self._target, self._agent_id, kind, name)
        key = f"{kind}:{name}"
        self._keep(key)
        return key

    def renew_claim(self, resource_key: str) -> None:
        """Renews the claim on ``resource_key``. Raises ``NoClaim`` or ``NotHolder``
        (and forgets the key)."""
        try:
            _operations.renew(self._target, self._agent_id, resource_key)
        except (NoClaim, NotHolder):
            self._forget(resource_key)
            raise

    def release(self, resource_key: str) -> None:
        """Releases the claim on ``resource_key``. Raises ``NoClaim`` or ``NotHolder``;
        the key is forgotten either way."""
        try:
            _operations.release(self._target, self._agent_id, resource_key)
        except (NoClaim, NotHolder):
            self._forget(resource_key)
            raise
        self._forget(resource_key)

    def held(self) -> list[str]:
        """The keys this handle claimed and has not released or found lost, oldest
        claim first. Expiry is not checked: an expired claim is listed until then."""
        with self._lock:
            return list(self._held)

    def release_all(self) -> list[str]:
        """Releases every held key; returns those released. A claim found lost (taken
        over or gone) is forgotten without error; any other failure is raised after
        the remaining keys were tried, the first one raised."""
        released: list[str] = []
        first_failure: Optional[Exception] = None
        for key in self.held():
            try:
                self.release(key)
            except (NoClaim, NotHolder):
                pass
            except Exception as failure:  # tried again by the next release_all
                if first_failure is None:
                    first_failure = failure
            else:
                released.append(key)
        if first_failure is not None:
            raise first_failure
        return released

    def hold(
        self,
        *,
        file: Optional[str] = None,
        task: Optional[str] = None,
        wait: float = 0.0,
        renew: bool = True,
        renew_every: Optional[float] = None,
    ) -> Lease:
        """``galtro.hold`` for this agent (the lease is not listed by ``held()``)."""
        from galtro._lease import Lease  # here: it needs asyncio, which claims do not

        return Lease(
            self._target,
            self._agent_id,
            file=file,
            task=task,
            wait=wait,
            renew=renew,
            renew_every=renew_every,
        )

    # --- Messages and status ----------------------------------------------------
    def send_message(self, to_agent: str, content: str) -> Message:
        return self._target.send_message(self._agent_id, to_agent, content)

    def broadcast(self, content: str) -> Message:
        return self._target.broadcast(self._agent_id, content)

    def inbox(self) -> list[Message]:
        return self._target.inbox(self._agent_id)

    def drain_inbox(self) -> list[Message]:
        return self._target.drain_inbox(self._agent_id)

    def status(self) -> str:
        return self._target.status(self._agent_id)
