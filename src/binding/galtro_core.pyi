"""Shared, in-memory coordination state for cooperating software agents."""

from typing import Literal, final

__all__ = ["CoordinationState"]

# The class is implemented in C++: it cannot be subclassed (``final``), and its
# instances have no ``__dict__`` and cannot be weakly referenced.
#
# A message is a ``tuple[str, str, str, int]``: (sender, addressee, content, Unix
# seconds). It is spelt out in every signature, rather than named by an alias, because
# the module has no such name at run time.

@final
class CoordinationState:
    """Claims with 300-second leases, per-agent inboxes, statuses and a history.

    Every method takes plain ``str`` arguments, by position or by keyword. A refused
    claim operation raises ``RuntimeError`` and changes nothing.
    """

    def __init__(self) -> None: ...
    def claim_file(self, agent_id: str, path: str) -> str:
        """Claim the file ``path`` (key ``"file:" + path``) for ``agent_id``.

        Returns ``agent_id``; the agent's status becomes ``"busy"``. A claim whose lease
        has run out is taken over. Raises ``RuntimeError("{holder} already holds claim
        on {path}")`` while the claim is live, also when the holder is the caller.
        """

    def claim_task(self, agent_id: str, task_id: str) -> str:
        """Claim the task ``task_id`` (key ``"task:" + task_id``) for ``agent_id``.

        As ``claim_file``; the refusal reads ``"{holder} already holds claim on task
        {task_id}"``.
        """

    def release(self, agent_id: str, resource_key: str) -> None:
        """Release the claim under ``resource_key``, e.g. ``"file:src/lib.rs"``.

        Only the holder may release it; its status becomes ``"idle"``. Raises
        ``RuntimeError``: ``"no claim found for {agent_id}"`` or ``"{agent_id} cannot
        release a claim held by {holder}"``.
        """

    def renew_claim(self, agent_id: str, resource_key: str) -> str:
        """Start a fresh 300-second lease on the holder's claim; returns ``agent_id``.

        Raises ``RuntimeError``: ``"no claim on {resource_key} to renew"`` or
        ``"{agent_id} cannot renew a claim held by {holder}"``.
        """

    def send_message(
        self, from_agent: str, to_agent: str, content: str
    ) -> tuple[str, str, str, int]:
        """Append a message to the inbox of ``to_agent``.

        Returns ``(from_agent, to_agent, content, timestamp)``.
        """

    def broadcast(self, from_agent: str, content: str) -> tuple[str, str, str, int]:
        """Deliver a message to every agent with a status, the sender included.

        Returns ``(from_agent, "*", content, timestamp)``.
        """

    def inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]:
        """Pending messages for ``agent_id``, oldest first, without removing them.

        Each is ``(sender, agent_id, content, timestamp)``.
        """

    def drain_inbox(self, agent_id: str) -> list[tuple[str, str, str, int]]:
        """Remove and return the pending messages for ``agent_id``, oldest first."""

    def status(self, agent_id: str) -> Literal["idle", "busy", "completed", "error"]:
        """The agent's status; ``"idle"`` for an agent never seen."""
