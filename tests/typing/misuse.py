"""Mistakes that the stubs must make a type checker report.

Every line marked with a trailing "# error" must draw at least one error from mypy
--strict and from pyright (strict), and no other line may draw one. A stub that loses
a parameter name, widens a result to Any or forgets that the class is final lets one
of these lines through. Never run.
"""

from galtro_core import CoordinationState


class Extended(CoordinationState):  # error
    pass


def mistakes(state: CoordinationState) -> None:
    CoordinationState(1)  # error
    state.claim_file("alice")  # error
    state.claim_file(agent="alice", path="a.py")  # error
    state.claim_task("alice", 7)  # error
    state.release("alice", "file:a.py").upper()  # error
    state.renew_claim(b"alice", "file:a.py")  # error
    state.send_message("alice", "bob")  # error
    state.broadcast("alice", "hi")[3].upper()  # error
    state.inbox("bob")[0][0] + 1  # error
    state.drain_inbox(agent="bob")  # error
    if state.status("alice") == "bussy":  # error
        pass
    state.claim_file("alice", "a.py").decode()  # error
