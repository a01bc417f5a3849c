"""The benchmark's stand-ins answer like the real module.

    python -m pytest benchmarks/test_equivalence.py

The pure-Python state must give the real module's results and refusal messages for
one script of calls; the floor must give results of the same types and shapes and
the same argument errors. Tests that need galtro_core or the built floor are skipped
when it cannot be imported (run benchmarks/run.sh once to build both).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "build" / "bench" / "floor"))

import pure_python  # noqa: E402

SCRIPT = [
    ("status", ("a",)),
    ("claim_file", ("a", "src/lib.rs")),
    ("claim_file", ("b", "src/lib.rs")),
    ("claim_task", ("b", "src/lib.rs")),
    ("claim_task", ("a", "src/lib.rs")),
    ("status", ("a",)),
    ("renew_claim", ("b", "file:src/lib.rs")),
    ("renew_claim", ("a", "file:nothing")),
    ("renew_claim", ("a", "file:src/lib.rs")),
    ("release", ("b", "file:src/lib.rs")),
    ("release", ("a", "src/lib.rs")),
    ("release", ("a", "file:src/lib.rs")),
    ("status", ("a",)),
    ("send_message", ("a", "c", "héllo")),
    ("broadcast", ("d", "")),
    ("inbox", ("c",)),
    ("inbox", ("e",)),
    ("drain_inbox", ("d",)),
    ("drain_inbox", ("d",)),
    ("status", ("c",)),
    ("status", ("b",)),
]


def outcome(state, method: str, args: tuple):
    """The call's result with time stamps replaced by "t", or its exception."""
    try:
        result = getattr(state, method)(*args)
    except Exception as error:  # noqa: BLE001
        return type(error), str(error)

    def plain(value):
        if isinstance(value, int) and abs(value - time.time()) < 60:
            return "t"
        if isinstance(value, (tuple, list)):
            return type(value)(plain(item) for item in value)
        return value

    return plain(result)


def test_pure_python_matches_the_recorded_script():
    state = pure_python.CoordinationState()
    got = [outcome(state, method, args) for method, args in SCRIPT]
    assert got[:5] == ["idle", "a", (RuntimeError, "a already holds claim on src/lib.rs"), "b",
                       (RuntimeError, "b already holds claim on task src/lib.rs")]
    assert got[6:12] == [
        (RuntimeError, "b cannot renew a claim held by a"),
        (RuntimeError, "no claim on file:nothing to renew"),
        "a",
        (RuntimeError, "b cannot release a claim held by a"),
        (RuntimeError, "no claim found for a"),
        None,
    ]
    # the broadcast reaches every agent with a status (a, b, c and the sender d)
    assert got[13:] == [("a", "c", "héllo", "t"), ("d", "*", "", "t"),
                        [("a", "c", "héllo", "t"), ("d", "c", "", "t")], [],
                        [("d", "d", "", "t")], [], "idle", "busy"]


def test_pure_python_takes_over_an_expired_claim(monkeypatch):
    state = pure_python.CoordinationState()
    state.claim_file("a", "p")
    now = time.time()
    monkeypatch.setattr(pure_python, "time", lambda: now + 299)
    with pytest.raises(RuntimeError, match="^a already holds claim on p$"):
        state.claim_file("b", "p")
    monkeypatch.setattr(pure_python, "time", lambda: now + 301)
    assert state.claim_file("b", "p") == "b"
    assert (state.status("a"), state.status("b")) == ("busy", "busy")


def test_pure_python_gives_the_real_results():
    core = pytest.importorskip("galtro_core")
    pure, real = pure_python.CoordinationState(), core.CoordinationState()
    for method, args in SCRIPT:
        assert outcome(pure, method, args) == outcome(real, method, args), (method, args)


def shape(value):
    """Types and lengths of a result, all the way down."""
    if isinstance(value, (tuple, list)):
        return type(value), [shape(item) for item in value]
    return type(value)


def test_floor_answers_with_the_real_shapes_and_argument_errors():
    core = pytest.importorskip("galtro_core")
    floor_module = pytest.importorskip("galtro_floor")
    floor_module.set_pending(2, "agent-1", "x" * 32)
    floor_module.set_refusal(None)
    floor, real = floor_module.CoordinationState(), core.CoordinationState()
    real.send_message("agent-1", "me", "x" * 32)
    real.send_message("agent-1", "me", "x" * 32)
    calls = [
        ("claim_file", ("a", "p"), {}), ("claim_task", ("a",), {"task_id": "t"}),
        ("renew_claim", ("a", "file:p"), {}),
        ("release", (), {"agent_id": "a", "resource_key": "file:p"}),
        ("send_message", ("a", "b", "c"), {}), ("inbox", ("me",), {}),
        ("drain_inbox", (), {"agent_id": "me"}), ("broadcast", ("a", "c"), {}),
        ("status", ("a",), {}), ("status", (), {}), ("status", ("a", "b"), {}),
        ("status", ("a",), {"agent_id": "b"}), ("status", (), {"agent": "a"}),
        ("send_message", (1, "b", "c"), {}),
    ]
    for method, args, kwargs in calls:
        answers = []
        for state in (floor, real):
            try:
                answers.append(shape(getattr(state, method)(*args, **kwargs)))
            except TypeError as error:
                answers.append(str(error))
        assert answers[0] == answers[1], (method, args, kwargs)

    floor_module.set_refusal("z")
    with pytest.raises(RuntimeError, match="^z already holds claim on p$"):
        floor.claim_file("a", "p")
    floor_module.set_refusal(None)
