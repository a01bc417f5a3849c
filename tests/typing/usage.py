"""Typed use of every method of CoordinationState.

Type-checked with mypy --strict and pyright (strict) against the installed stubs, and
also run, so that the types asserted here are the ones the module returns.
"""

import sys
from typing import List, Literal, Tuple

from galtro_core import CoordinationState

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

Message = Tuple[str, str, str, int]
Status = Literal["idle", "busy", "completed", "error"]


def holders(state: CoordinationState) -> List[str]:
    """Claims by position and by keyword; each returns the claiming agent's id."""
    return [
        assert_type(state.claim_file("alice", "src/lib.rs"), str),
        assert_type(state.claim_task(agent_id="bob", task_id="review"), str),
        assert_type(state.renew_claim("alice", resource_key="file:src/lib.rs"), str),
    ]


def release_all(state: CoordinationState) -> None:
    assert_type(state.release("alice", "file:src/lib.rs"), None)
    state.release(agent_id="bob", resource_key="task:review")


def exchange(state: CoordinationState) -> List[Message]:
    sent = assert_type(
        state.send_message(from_agent="alice", to_agent="bob", content="hi"),
        Tuple[str, str, str, int],
    )
    everyone = assert_type(state.broadcast("bob", "done"), Tuple[str, str, str, int])
    sender, addressee, content, timestamp = sent
    assert_type(timestamp, int)
    assert (sender, addressee, content) == ("alice", "bob", "hi")
    assert everyone[1] == "*"
    pending = assert_type(state.inbox("bob"), List[Tuple[str, str, str, int]])
    assert len(pending) == 2
    return assert_type(state.drain_inbox(agent_id="bob"), List[Tuple[str, str, str, int]])


def describe(status: Status) -> str:
    if status == "busy":
        return "working"
    if status == "idle":
        return "free"
    return status


def main() -> None:
    state = CoordinationState()
    assert holders(state) == ["alice", "bob", "alice"]
    current: Status = assert_type(
        state.status("alice"), Literal["idle", "busy", "completed", "error"]
    )
    assert describe(current) == "working"
    release_all(state)
    drained = exchange(state)
    assert [content for _, _, content, _ in drained] == ["hi", "done"]
    assert all(isinstance(stamp, int) for *_, stamp in drained)
    assert describe(state.status("bob")) == "free"


if __name__ == "__main__":
    main()
