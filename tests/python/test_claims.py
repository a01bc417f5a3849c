"""Claims on every store: each refusal's exact text from one table, the statuses that
claims and releases write, and paths compared byte for byte. Results, broadcast
recipients and refusals that change nothing are checked call by call against the
model (test_model.py)."""

import pytest

# Texts that must survive the trip into the store and back inside messages unchanged:
# empty, non-ASCII, and an embedded NUL (which a C-string conversion would cut).
ODD_AGENT = "agent\x00ü"
ODD_PATH = "dir/файл\x00名.py"


def call(state, method, *args, **kwargs):
    return getattr(state, method)(*args, **kwargs)


def refusal(state, method, *args):
    with pytest.raises(RuntimeError) as info:
        call(state, method, *args)
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize(
    "setup, failing, message",
    [
        # A live claim is refused to everyone, its holder included; the passed path or
        # task id is named, not the key.
        ([("claim_file", "A", "p")], ("claim_file", "B", "p"), "A already holds claim on p"),
        ([("claim_file", "A", "p")], ("claim_file", "A", "p"), "A already holds claim on p"),
        ([("claim_task", "A", "t")], ("claim_task", "B", "t"), "A already holds claim on task t"),
        ([("claim_task", "A", "")], ("claim_task", "A", ""), "A already holds claim on task "),
        ([], ("renew_claim", "A", "file:p"), "no claim on file:p to renew"),
        ([("claim_file", "A", "p")], ("renew_claim", "B", "file:p"), "B cannot renew a claim held by A"),
        # Release without a claim names the caller, not the key.
        ([], ("release", "B", "file:p"), "no claim found for B"),
        ([("claim_file", "A", "p")], ("release", "A", "p"), "no claim found for A"),
        ([("claim_task", "A", "t")], ("release", "A", "file:t"), "no claim found for A"),
        ([("claim_file", "A", "p")], ("release", "B", "file:p"), "B cannot release a claim held by A"),
        (
            [("claim_file", "A", "p"), ("release", "A", "file:p")],
            ("renew_claim", "A", "file:p"),
            "no claim on file:p to renew",
        ),
        (
            [("claim_file", ODD_AGENT, ODD_PATH)],
            ("claim_file", "", ODD_PATH),
            f"{ODD_AGENT} already holds claim on {ODD_PATH}",
        ),
        (
            [("claim_task", ODD_AGENT, ODD_PATH)],
            ("renew_claim", "", "task:" + ODD_PATH),
            f" cannot renew a claim held by {ODD_AGENT}",
        ),
        (
            [("claim_file", "", "p")],
            ("release", ODD_AGENT, "file:p"),
            f"{ODD_AGENT} cannot release a claim held by ",
        ),
        ([], ("release", ODD_AGENT, "file:"), f"no claim found for {ODD_AGENT}"),
        ([], ("renew_claim", "", ODD_PATH), f"no claim on {ODD_PATH} to renew"),
    ],
)
def test_refusal_messages(either_state, setup, failing, message):
    for step in setup:
        call(either_state, *step)
    assert refusal(either_state, *failing) == message
    # The state stays usable and the refusal is repeatable.
    assert refusal(either_state, *failing) == message


def test_status_follows_claims_and_releases(either_state):
    state = either_state
    assert state.status("A") == "idle"
    assert state.claim_file("A", "p1") == "A"
    assert state.status("A") == "busy"
    state.claim_task("A", "t1")
    state.release("A", "file:p1")
    # Idle after any release, although the task is still held.
    assert state.status("A") == "idle"
    assert refusal(state, "claim_task", "B", "t1") == "A already holds claim on task t1"
    # Renewal never writes a status.
    state.renew_claim("A", "task:t1")
    assert state.status("A") == "idle"
    state.claim_file("A", "p2")
    assert state.status("A") == "busy"
    state.release("A", "task:t1")
    state.release("A", "file:p2")
    assert state.status("A") == "idle"
    assert state.status("B") == "idle"


@pytest.mark.parametrize(
    "first, second",
    [("./src/a.py", "src/a.py"), ("src/a.py", "SRC/a.py"), ("a", "a "), ("", " "), ("é", "e\u0301")],
)
def test_paths_are_compared_byte_for_byte(either_state, first, second):
    assert either_state.claim_file("A", first) == "A"
    assert either_state.claim_file("B", second) == "B"
    either_state.release("A", "file:" + first)
    either_state.release("B", "file:" + second)
