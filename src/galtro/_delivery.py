# pyright: strict
"""Reads that remove: messages are written out before they leave the inbox.

A front end that hands an agent its messages (``galtro drain``, the hooks, the MCP
tools) must not lose them when its output fails. ``take_messages`` reads the pending
messages, gives them to ``write`` (which writes and flushes them, and raises if it
cannot), and only then removes exactly those messages from the inbox. Messages that
arrived meanwhile stay pending. If ``write`` raises, nothing is removed.

Each store removes delivered messages in its own way: the in-process class through
``galtro._state_reader``, which compares the messages with those at the front of the
inbox under the inbox's lock, the other classes through their ``_remove_delivered``.
"""

from __future__ import annotations

from typing import Callable, List, Protocol, Sequence, runtime_checkable

from galtro._protocol import CoordinationStateLike, Message

__all__ = ["take_messages", "remove_delivered"]


@runtime_checkable
class _RemovesDelivered(Protocol):
    def _remove_delivered(self, agent_id: str, messages: Sequence[Message]) -> None:
        """Removes ``messages``, the oldest pending messages of ``agent_id`` as an
        ``inbox`` call returned them, from the front of that inbox. Messages that no
        longer stand there (another reader removed them) are not removed twice."""
        ...


def remove_delivered(state: CoordinationStateLike, agent_id: str,
                     messages: Sequence[Message]) -> None:
    """Removes ``messages``, read with ``state.inbox(agent_id)``, from that inbox."""
    if not messages:
        return
    from galtro import _state_reader

    if _state_reader.is_state(state):
        _state_reader.remove_delivered(state, agent_id, messages)
        return
    if isinstance(state, _RemovesDelivered):
        state._remove_delivered(agent_id, messages)  # pyright: ignore[reportPrivateUsage]
        return
    raise TypeError(f"{type(state).__qualname__!r} object cannot remove delivered messages")


def take_messages(state: CoordinationStateLike, agent_id: str,
                  write: Callable[[List[Message]], None]) -> List[Message]:
    """The pending messages of ``agent_id``, oldest first, after ``write`` has written
    them; they are removed from the inbox only once ``write`` has returned."""
    messages = state.inbox(agent_id)
    if messages:
        write(messages)
        remove_delivered(state, agent_id, messages)
    return messages
