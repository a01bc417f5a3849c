"""Claims on files and tasks through the Python class: results, refusals, statuses."""

import pytest

# Texts that must survive the trip into the core and back inside messages unchanged:
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


def receives_broadcasts(state, agent):
    """Whether `agent` has a status entry, seen through the only reader of that set."""
    state.drain_inbox(agent)
    state.broadcast("__probe__", "probe")
    return [m[0] for m in state.drain_inbox(agent)] == ["__probe__"]


class StrSub(str):
    pass


@pytest.mark.parametrize("agent", ["a", "", ODD_AGENT, "🤖", StrSub("sub")])
@pytest.mark.parametrize("method, prefix", [("claim_file", "file:"), ("claim_task", "task:")])
def test_results_are_plain_str_and_none(state, method, prefix, agent):
    name = ODD_PATH
    got = call(state, method, agent, name)
    assert type(got) is str and got == agent
    got = state.renew_claim(agent, prefix + name)
    assert type(got) is str and got == agent
    assert state.release(agent, prefix + name) is None
    # Released: the key is free for anyone.
    assert call(state, method, "other", name) == "other"


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
def test_refusal_messages(state, setup, failing, message):
    for step in setup:
        call(state, *step)
    assert refusal(state, *failing) == message
    # The state stays usable and the refusal is repeatable.
    assert refusal(state, *failing) == message


def test_status_follows_claims_and_releases(state):
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
    "failing",
    [
        ("claim_file", "C", "p"),
        ("claim_task", "C", "t"),
        ("renew_claim", "C", "file:p"),
        ("release", "C", "task:t"),
        ("renew_claim", "C", "file:none"),
        ("release", "C", "file:none"),
    ],
)
def test_refused_call_changes_nothing(state, failing):
    state.claim_file("A", "p")
    state.claim_task("A", "t")
    state.release("A", "task:t")  # A idle
    state.claim_task("B", "t")  # B busy
    refusal(state, *failing)
    assert (state.status("A"), state.status("B")) == ("idle", "busy")
    # The refused caller got no status entry, so it is no broadcast recipient.
    assert not receives_broadcasts(state, "C")
    # Both claims are still held by their holders.
    assert refusal(state, "release", "C", "file:p") == "C cannot release a claim held by A"
    assert refusal(state, "claim_task", "C", "t") == "B already holds claim on task t"
    assert state.renew_claim("A", "file:p") == "A"
    assert state.renew_claim("B", "task:t") == "B"


def test_refused_release_keeps_busy_and_idle_callers(state):
    state.claim_file("A", "p")
    state.claim_file("B", "q")
    state.send_message("x", "I", "")  # I: known and idle
    refusal(state, "release", "B", "file:p")
    refusal(state, "release", "I", "file:p")
    refusal(state, "claim_file", "I", "q")
    assert [state.status(a) for a in "ABI"] == ["busy", "busy", "idle"]


def test_claim_makes_agent_a_broadcast_recipient(state):
    state.claim_file("A", "p")
    assert receives_broadcasts(state, "A")
    state.renew_claim("A", "file:p")
    assert not receives_broadcasts(state, "R")
    refusal(state, "renew_claim", "R", "file:p")
    assert not receives_broadcasts(state, "R")


def test_files_and_tasks_with_one_name_are_independent(state):
    assert state.claim_file("A", "x") == "A"
    assert state.claim_task("B", "x") == "B"
    assert refusal(state, "release", "A", "task:x") == "A cannot release a claim held by B"
    state.release("A", "file:x")
    assert refusal(state, "claim_task", "A", "x") == "B already holds claim on task x"
    assert state.claim_file("C", "x") == "C"


@pytest.mark.parametrize(
    "first, second",
    [("./src/a.py", "src/a.py"), ("src/a.py", "SRC/a.py"), ("a", "a "), ("", " "), ("é", "e\u0301")],
)
def test_paths_are_compared_byte_for_byte(state, first, second):
    assert state.claim_file("A", first) == "A"
    assert state.claim_file("B", second) == "B"
    state.release("A", "file:" + first)
    state.release("B", "file:" + second)


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("claim_file", (), {"agent_id": "A", "path": "p"}),
        ("claim_file", (), {"path": "p", "agent_id": "A"}),
        ("claim_file", ("A",), {"path": "p"}),
        ("claim_task", (), {"task_id": "p", "agent_id": "A"}),
        ("claim_task", ("A",), {"task_id": "p"}),
    ],
)
def test_keyword_calls_claim(state, method, args, kwargs):
    assert call(state, method, *args, **kwargs) == "A"
    prefix = "file:" if method == "claim_file" else "task:"
    assert state.renew_claim(resource_key=prefix + "p", agent_id="A") == "A"
    assert state.release("A", resource_key=prefix + "p") is None
    assert state.status(agent_id="A") == "idle"
