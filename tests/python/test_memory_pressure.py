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


@pytest.mark.slow
def test_send_or_broadcast_that_runs_out_changes_nothing():
    # At every limit the call either completes or fails before anything changes: the
    # copies and the history's storage come before the first delivery.
    out = run_child("""
        text = "z" * (48 * MiB)
        agents = ["agent-0", "agent-1", "agent-2"]
        results = []
        for extra in range(16, 400, 24):
            for call in ("send", "broadcast"):
                probe = galtro_core.CoordinationState()
                for agent in agents:
                    probe.send_message("setup", agent, "before")
                with headroom(extra * MiB):
                    if call == "send":
                        failed = outcome(lambda: probe.send_message("agent-0", "new", text))
                    else:
                        failed = outcome(lambda: probe.broadcast("agent-0", text))
                # A broadcast reaches "new" only if the call gave it a status entry.
                probe.broadcast("probe", "x")
                got = {agent: ["T" if m[2] == text else m[2] for m in probe.drain_inbox(agent)]
                       for agent in agents + ["new"]}
                results.append([call, failed, got])
                del probe
        print(json.dumps(results))
    """)
    outcomes = {(call, failed) for call, failed, _ in out}
    assert outcomes == {("send", "MemoryError"), ("send", "returned"),
                        ("broadcast", "MemoryError"), ("broadcast", "returned")}
    for call, failed, got in out:
        sent = failed == "returned"
        if call == "send":
            assert got == {"agent-0": ["before", "x"], "agent-1": ["before", "x"],
                           "agent-2": ["before", "x"], "new": ["T", "x"] if sent else []}
        else:
            each = ["before", "T", "x"] if sent else ["before", "x"]
            assert got == {"agent-0": each, "agent-1": each, "agent-2": each, "new": []}


_FINALIZER_RUNS_IN_ALLOCATIONS = sys.version_info < (3, 12)


@pytest.mark.skipif(not _FINALIZER_RUNS_IN_ALLOCATIONS,
                    reason="from 3.12 on the collector no longer runs inside C allocations")
def test_drain_keeps_messages_when_a_finalizer_sends_while_its_list_fails():
    # The drained messages fill the inbox's ring; while the result is being built, a
    # finalizer sends one more to the same inbox, and then the result cannot be built.
    out = run_child("""
        import gc
        chunk = "y" * (20 * MiB)
        owner = "b" * 4000  # a long id: any copy of it would need memory
        for i in range(4):
            state.send_message("a", owner, chunk + str(i))
        seen = []
        hog = [None] * (1 << 20)

        class SendsWhenCollected:
            def __del__(self):
                seen.append(outcome(lambda: len(state.inbox(owner))))  # 0 while drained
                seen.append(outcome(lambda: state.send_message("late", owner, "late")))
                # Then nothing is left for the drain: giving back must not need memory.
                # (into slots made beforehand: a growing list would free its old ones)
                taken = 0
                for size in (MiB, 1 << 14, 1 << 10, 520, 1 << 4):
                    try:
                        while taken < len(hog):
                            hog[taken] = bytearray(size)
                            taken += 1
                    except MemoryError:
                        pass

        gc.disable()
        cycle = SendsWhenCollected()
        cycle.me = cycle
        del cycle
        gc.set_threshold(1, 1, 1)
        drain = state.drain_inbox  # made before the collector may run again
        with headroom(30 * MiB):
            gc.enable()
            try:
                drain(owner)
                failed = "returned"
            except MemoryError:
                failed = "MemoryError"
        hog.clear()
        gc.set_threshold(700, 10, 10)
        drained = state.drain_inbox(owner)
        print(json.dumps({"failed": failed, "seen": seen,
                          "kept": [m[2] == chunk + str(i) for i, m in enumerate(drained[:4])],
                          "rest": [m[2] for m in drained[4:]]}))
    """)
    assert out["failed"] == "MemoryError"
    assert out["seen"][0] == "returned", out  # the finalizer ran inside the drain
    assert out["kept"] == [True] * 4
    assert out["rest"] == (["late"] if out["seen"][1] == "returned" else [])


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
