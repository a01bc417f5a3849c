"""Calls that cannot get their memory, in a child interpreter with a lowered address
space limit (RLIMIT_AS): the call fails with MemoryError, and the instance then answers
as before, with nothing it held lost. A limit a little above what the child maps
already leaves room for the small allocations of a call and none for the large one.

test_binding.py covers a single oversized argument; these cover the allocations that
grow with the state: copying a long inbox, one copy of a broadcast per recipient, and
the doubling of an inbox's storage.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import galtro_core

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="RLIMIT_AS and /proc/self/status are Linux's")

PRELUDE = """
import contextlib, json, resource, sys
sys.path.insert(0, sys.argv[1])
import galtro_core

def mapped():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))

@contextlib.contextmanager
def headroom(extra):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped() + extra, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

def outcome(call):
    try:
        call()
        return "returned"
    except BaseException as error:
        return type(error).__name__

def holder(state, kind, name):
    try:
        (state.claim_file if kind == "file" else state.claim_task)("observer", name)
    except RuntimeError as error:
        return str(error)
    return "free"

MiB = 1 << 20
state = galtro_core.CoordinationState()
"""


def run_child(body):
    code = PRELUDE + textwrap.dedent(body)
    module_dir = os.path.dirname(galtro_core.__file__)
    done = subprocess.run([sys.executable, "-c", code, module_dir], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_inbox_listing_too_large_to_copy():
    out = run_child("""
        state.claim_file("holder", "p")
        chunk = "y" * (4 * MiB)
        for i in range(64):  # 256 MiB pending; the listing would copy all of it
            state.send_message("a", "b", chunk + str(i))
        with headroom(64 * MiB):
            failed = outcome(lambda: state.inbox("b"))
            during = [state.status("holder"), state.status("b"), holder(state, "file", "p"),
                      state.send_message("c", "d", "small")[:3], state.inbox("d")[0][:3]]
        drained = state.drain_inbox("b")
        print(json.dumps({"failed": failed, "during": during,
                          "drained": [m[2] == chunk + str(i) and m[:2] == ("a", "b")
                                      for i, m in enumerate(drained)]}))
    """)
    assert out["failed"] == "MemoryError"
    assert out["during"] == ["busy", "idle", "holder already holds claim on p",
                             ["c", "d", "small"], ["c", "d", "small"]]
    assert out["drained"] == [True] * 64


def test_broadcast_that_runs_out_part_way():
    out = run_child("""
        agents = [f"agent-{i}" for i in range(200)]
        for agent in agents:
            state.send_message("setup", agent, "before " + agent)
        state.claim_task("agent-0", "t")
        text = "z" * (4 * MiB)  # 800 MiB of copies for 200 recipients
        with headroom(256 * MiB):
            failed = outcome(lambda: state.broadcast("agent-1", text))
        inboxes = [state.drain_inbox(agent) for agent in agents]
        after = state.broadcast("agent-2", "after")
        print(json.dumps({
            "failed": failed,
            "first": [inbox[0][:3] == ("setup", agent, "before " + agent)
                      for agent, inbox in zip(agents, inboxes)],
            "rest": sorted({tuple(m[2] == text and m[0] == "agent-1" for m in inbox[1:])
                            for inbox in inboxes}),
            "reached": sum(len(inbox) - 1 for inbox in inboxes),
            "claim": holder(state, "task", "t"),
            "statuses": sorted({state.status(agent) for agent in agents[1:]}),
            "after": [len(state.drain_inbox(agent)) for agent in agents] == [1] * 200
                     and state.drain_inbox("observer") == [],
            "returned": after[:3],
        }))
    """)
    assert out["failed"] == "MemoryError"
    assert out["first"] == [True] * 200  # what was pending stays, in front
    assert out["rest"] in ([[]], [[], [True]], [[True]])  # at most one copy each
    assert 0 < out["reached"] < 200
    assert out["claim"] == "agent-0 already holds claim on task t"
    assert out["statuses"] == ["idle"]
    assert out["after"] is True
    assert out["returned"] == ["agent-2", "*", "after"]


def test_inbox_that_cannot_grow_keeps_its_messages():
    out = run_child("""
        count = 1 << 18  # a full ring of 10 MiB; the next message doubles it
        for i in range(count):
            state.send_message("a", "b", str(i))
        with headroom(12 * MiB):
            failed = outcome(lambda: state.send_message("a", "b", "one too many"))
            others = state.send_message("a", "c", "elsewhere")[:3]
        state.send_message("a", "b", "after")
        drained = state.drain_inbox("b")
        print(json.dumps({"failed": failed, "others": others,
                          "in order": [m[2] for m in drained] == [str(i) for i in range(count)]
                                      + ["after"]}))
    """)
    assert out["failed"] == "MemoryError"
    assert out["others"] == ["a", "c", "elsewhere"]
    assert out["in order"] is True


def test_drain_that_cannot_build_its_list_keeps_the_messages():
    out = run_child("""
        chunk = "y" * (4 * MiB)
        for i in range(64):
            state.send_message("a", "b", chunk + str(i))
        with headroom(64 * MiB):
            failed = outcome(lambda: state.drain_inbox("b"))
        print(json.dumps({"failed": failed, "kept": len(state.drain_inbox("b"))}))
    """)
    assert out["failed"] in ("returned", "MemoryError")
    assert out["kept"] == (0 if out["failed"] == "returned" else 64)
