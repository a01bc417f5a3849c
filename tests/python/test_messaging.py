"""Direct messages, broadcasts and inboxes through the Python class."""

import time

import pytest

import galtro_core

CONTENTS = [
    "",
    "\x00",
    "a\x00b\x00",
    "🤖🚀 done",
    "中文内容，日本語テキスト",
    "e\u0301 vs \u00e9",
    "line\r\nbreak\ttab",
    "x" * 100_000,
]


def timed(fn, *args, **kwargs):
    before = int(time.time())
    result = fn(*args, **kwargs)
    after = int(time.time())
    return result, before, after


def assert_message(message, sender, addressee, content, before, after):
    assert type(message) is tuple and len(message) == 4
    assert [type(item) for item in message] == [str, str, str, int]
    assert message[:3] == (sender, addressee, content)
    assert before <= message[3] <= after


def senders(messages):
    return [m[0] for m in messages]


@pytest.mark.parametrize("content", CONTENTS)
def test_direct_message_roundtrip(state, content):
    sent, before, after = timed(state.send_message, "A", "B", content)
    assert_message(sent, "A", "B", content, before, after)
    listed = state.inbox("B")
    assert listed == [sent]
    assert_message(listed[0], "A", "B", content, before, after)
    assert listed[0][2].encode("utf-8") == content.encode("utf-8")
    assert state.inbox("A") == []


@pytest.mark.parametrize("content", CONTENTS)
def test_broadcast_roundtrip(state, content):
    state.send_message("x", "B", "first")
    sent, before, after = timed(state.broadcast, "S", content)
    assert_message(sent, "S", "*", content, before, after)
    # Every copy carries the same time stamp; in an inbox the addressee is its owner.
    assert state.drain_inbox("S") == [("S", "S", content, sent[3])]
    assert state.drain_inbox("B")[1:] == [("S", "B", content, sent[3])]


@pytest.mark.parametrize(
    "sender, addressee",
    [("", ""), ("", "B"), ("A", ""), ("agent\x00one", "агент"), ("🤖", "代理")],
)
def test_odd_agent_ids_come_back_unchanged(state, sender, addressee):
    assert state.send_message(sender, addressee, "c")[:3] == (sender, addressee, "c")
    assert state.broadcast(sender, "b")[:3] == (sender, "*", "b")
    got = state.drain_inbox(addressee)
    # Also when sender and addressee are one agent: one status entry, one copy.
    assert [m[:3] for m in got] == [(sender, addressee, "c"), (sender, addressee, "b")]
    assert state.drain_inbox(addressee) == []


def test_first_broadcast_reaches_only_the_sender(state):
    sent = state.broadcast("S", "hello")
    assert state.inbox("S") == [("S", "S", "hello", sent[3])]
    assert state.status("S") == "idle"


def test_recipients_are_agents_with_a_status(state):
    state.send_message("A", "B", "direct")
    state.claim_file("K", "p")
    for passive in ("R", "D"):  # only read inboxes, renewed or asked a status
        state.inbox(passive)
        state.drain_inbox(passive)
        state.status(passive)
        with pytest.raises(RuntimeError):
            state.renew_claim(passive, "file:p")
    state.broadcast("C", "all")
    assert [senders(state.inbox(a)) for a in "ABCKRD"] == [[], ["A", "C"], ["C"], ["C"], [], []]
    assert [state.status(a) for a in "ABCK"] == ["idle", "idle", "idle", "busy"]


def test_broadcast_goes_to_recipients_known_at_the_time(state):
    state.broadcast("S", "early")
    state.send_message("S", "late", "direct")
    state.broadcast("S", "second")
    assert [m[2] for m in state.inbox("late")] == ["direct", "second"]
    assert [m[2] for m in state.inbox("S")] == ["early", "second"]


def test_message_to_oneself_is_delivered_once(state):
    sent = state.send_message("A", "A", "note")
    assert state.inbox("A") == [("A", "A", "note", sent[3])]
    state.broadcast("A", "all")
    assert [m[2] for m in state.inbox("A")] == ["note", "all"]


def test_messages_never_change_an_existing_status(state):
    state.claim_task("busy", "t")
    state.send_message("x", "busy", "m")
    state.broadcast("busy", "b")
    state.broadcast("y", "b")
    assert state.status("busy") == "busy"
    # Sending gives the sender no status entry; sending to it does.
    assert state.status("x") == "idle"
    state.broadcast("z", "probe")
    assert senders(state.inbox("x")) == []
    assert senders(state.inbox("busy")) == ["x", "busy", "y", "z"]


def test_inbox_order_and_drain(state):
    expected = []
    for i, sender in enumerate(["A", "B", "A", "C", "B"]):
        if i == 3:
            sent = state.broadcast(sender, f"m{i}")
        else:
            sent = state.send_message(sender, "R", f"m{i}")
        expected.append((sender, "R", f"m{i}", sent[3]))
    first = state.inbox("R")
    assert first == expected
    assert state.inbox("R") == first
    assert state.drain_inbox("R") == first
    assert state.inbox("R") == []
    assert state.drain_inbox("R") == []
    # The drained inbox keeps working.
    sent = state.send_message("A", "R", "after")
    assert state.drain_inbox("R") == [("A", "R", "after", sent[3])]


def test_empty_inboxes_are_empty_lists(state):
    assert state.inbox("never") == []
    assert state.drain_inbox("never2") == []
    assert type(state.inbox("never")) is list


def test_two_states_share_nothing():
    first, second = galtro_core.CoordinationState(), galtro_core.CoordinationState()
    first.send_message("A", "B", "one")
    first.broadcast("A", "two")
    first.claim_file("A", "p")
    assert second.inbox("B") == [] and second.inbox("A") == []
    assert second.status("A") == "idle" and second.status("B") == "idle"
    assert second.claim_file("Z", "p") == "Z"
    second.broadcast("S", "x")
    assert senders(second.inbox("S")) == ["S"]
    assert [m[2] for m in first.inbox("B")] == ["one", "two"]
    assert [m[2] for m in first.inbox("A")] == ["two"]


def test_keyword_calls(state):
    sent = state.send_message(content="c", to_agent="B", from_agent="A")
    assert sent[:3] == ("A", "B", "c")
    assert state.broadcast("A", content="b")[:3] == ("A", "*", "b")
    assert [m[2] for m in state.inbox(agent_id="B")] == ["c", "b"]
    assert [m[2] for m in state.drain_inbox(agent_id="B")] == ["c", "b"]
