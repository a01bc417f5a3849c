"""Large inputs: texts of tens of MiB, a hundred thousand agents, a million pending
messages in one inbox. Each must come back intact, complete and in order.

Sizes follow GALTRO_RELIABILITY_LEVEL: smoke (default, seconds), ci (the sizes above),
long (four to ten times more). Phase timings are printed.
"""

import os
import time

import pytest

from galtro_core import CoordinationState

LEVEL = os.environ.get("GALTRO_RELIABILITY_LEVEL", "smoke")
SIZES = {  # text length in characters, agents, pending messages
    "smoke": (1 << 20, 5_000, 20_000),
    "ci": (32 << 20, 100_000, 1_000_000),
    "long": (128 << 20, 1_000_000, 10_000_000),
}
TEXT_CHARS, AGENTS, MESSAGES = SIZES[LEVEL]


class Timer:
    def __init__(self, title):
        self.title, self.phases, self.last = title, [], time.perf_counter()

    def __call__(self, phase):
        now = time.perf_counter()
        self.phases.append(f"{phase} {now - self.last:.2f} s")
        self.last = now

    def report(self):
        print(f"{self.title}: " + ", ".join(self.phases))


def huge_text(chars, tag):
    """`chars` characters of every UTF-8 width and NULs, with distinct ends, so that a
    truncation, a shift or a mangled sequence anywhere shows."""
    pattern = "abc\x00\u00e9\u20ac\U0001f600 "
    body = pattern * (chars // len(pattern) + 1)
    return f"<{tag}>" + body[: chars - 2 * len(tag) - 5] + f"</{tag}>"


def refusal(call, *args):
    """The message of the RuntimeError that the call raises (pytest.raises would keep
    the frames, and with them several copies of a huge text, alive)."""
    try:
        call(*args)
    except RuntimeError as error:
        (message,) = error.args
        return message
    raise AssertionError("not refused")


@pytest.fixture(scope="module")
def content():
    return huge_text(TEXT_CHARS, "content")


def test_huge_texts_round_trip(content):
    timer = Timer(f"texts of {TEXT_CHARS >> 20} Mi characters")
    state = CoordinationState()
    assert state.send_message("a", "b", content)[2] == content
    listed = state.inbox("b")
    assert listed[0][2] == content
    drained = state.drain_inbox("b")
    assert drained == listed and drained[0][:2] == ("a", "b")
    del listed, drained
    timer("message, inbox, drain")

    state.send_message("x", "c", "")  # b and c known: the broadcast reaches both
    sent = state.broadcast("b", content)
    assert sent[:3] == ("b", "*", content)
    for agent in ("b", "c"):
        assert state.drain_inbox(agent)[-1][2] == content
    timer("broadcast")

    path = huge_text(TEXT_CHARS, "path")
    assert state.claim_file("holder", path) == "holder"
    assert refusal(state.claim_file, "other", path) == "holder already holds claim on " + path
    assert state.renew_claim("holder", "file:" + path) == "holder"
    assert state.release("holder", "file:" + path) is None
    timer("claim, refusal, renewal, release of a huge path")

    agent = huge_text(TEXT_CHARS, "agent")
    assert state.claim_task(agent, "t") == agent
    assert state.status(agent) == "busy"
    assert refusal(state.claim_task, "other", "t") == agent + " already holds claim on task t"
    timer("a huge agent id")
    timer.report()


def test_many_agents_all_reached_by_one_broadcast():
    timer = Timer(f"{AGENTS} agents")
    state = CoordinationState()
    agents = [f"agent-{i}" for i in range(AGENTS)]
    for i, agent in enumerate(agents):
        if i % 2:
            state.claim_task(agent, f"t{i}")
        else:
            state.send_message("setup", agent, "")
    timer("statuses")
    assert state.broadcast("sender", "to all")[:3] == ("sender", "*", "to all")
    timer("one broadcast")
    for i, agent in enumerate(agents):
        pending = state.drain_inbox(agent)
        assert [m[:3] for m in pending[-1:]] == [("sender", agent, "to all")], agent
        assert len(pending) == (1 if i % 2 else 2), agent
        assert state.status(agent) == ("busy" if i % 2 else "idle"), agent
    assert [m[:3] for m in state.drain_inbox("sender")] == [("sender", "sender", "to all")]
    assert state.drain_inbox("setup") == []  # a sender only gets no broadcast
    timer("every inbox drained and every status read")
    for i in range(1, AGENTS, 2):
        assert refusal(state.claim_task, "other", f"t{i}") == \
            f"agent-{i} already holds claim on task t{i}"
    timer("every claim refused to another agent")
    timer.report()


def test_million_pending_messages_drained_in_order():
    timer = Timer(f"{MESSAGES} pending messages")
    state = CoordinationState()
    for i in range(MESSAGES):
        state.send_message(f"s{i % 7}", "box", str(i))
    timer("sent")
    listed = state.inbox("box")
    timer("listed")
    drained = state.drain_inbox("box")
    timer("drained")
    assert len(drained) == MESSAGES
    assert drained == listed
    del listed
    assert all(m[2] == str(i) and m[0] == f"s{i % 7}" and m[1] == "box"
               for i, m in enumerate(drained))
    stamps = [m[3] for m in drained]
    assert stamps == sorted(stamps)
    assert state.drain_inbox("box") == [] and state.inbox("box") == []
    del drained, stamps
    timer("checked")
    # The emptied inbox keeps working as a queue.
    for i in range(3):
        state.send_message("s", "box", f"again {i}")
    assert [m[2] for m in state.drain_inbox("box")] == ["again 0", "again 1", "again 2"]
    timer.report()
