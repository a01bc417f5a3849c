"""Messages on every store: contents of every kind come back byte for byte, direct and
broadcast, with the second of the call. Recipients, statuses, order and draining are
checked call by call against the model (test_model.py)."""

import time

import pytest

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


@pytest.mark.parametrize("content", CONTENTS)
def test_direct_and_broadcast_roundtrip(either_state, content):
    state = either_state
    first = state.send_message("x", "B", "first")
    before = int(time.time())
    sent = state.send_message("A", "B", content)
    shouted = state.broadcast("S", content)
    after = int(time.time())
    assert sent[:3] == ("A", "B", content) and shouted[:3] == ("S", "*", content)
    for message in (sent, shouted):
        assert type(message) is tuple and [type(item) for item in message] == [str, str, str, int]
        assert before <= message[3] <= after
    assert state.inbox("A") == []
    # Every copy carries the same time stamp; in an inbox the addressee is its owner.
    assert state.drain_inbox("B") == [first, sent, ("S", "B", content, shouted[3])]
    assert state.drain_inbox("S") == [("S", "S", content, shouted[3])]
