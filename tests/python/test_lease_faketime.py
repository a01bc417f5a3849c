"""The 300-second lease, end to end, under a clock set from outside the process, for
each store that reads the clock of its own process: the in-process class and the SQLite
one (the Redis store reads the server's clock: test_redis_server_clock.py).

Both read the real-time clock of the system, so these tests run the state in a child
interpreter with libfaketime preloaded. The child reads its time from a file that the
test rewrites before each step: an absolute "YYYY-MM-DD hh:mm:ss" line (no leading
"@") freezes the faked clock at that second, and FAKETIME_NO_CACHE=1 makes every
clock reading look at the file again. Parent and child talk line by line over the
child's stdin and stdout: the parent sets the time, then sends one call as the repr of
(method, args); the child answers with the repr of the outcome and its time.time().

The same steps are run on the reference model with the same clock, so the expected
values below check the model as well.
"""

import ast
import calendar
import os
import select
import subprocess
import sys
import time

import pytest

import galtro_core
from coordination_model import CoordinationModel

LIBFAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
S = calendar.timegm((2026, 1, 1, 0, 0, 0))
REPLY_TIMEOUT = 30

# The child's state: the in-process class, or the SQLite one on the file argv[1]. The
# call "history" lists the claim events as (kind, agent, time).
CHILD = r"""
import ast, sys, time
import galtro, galtro_core
if len(sys.argv) > 1:
    state = galtro.SqliteCoordinationState(sys.argv[1])
else:
    state = galtro_core.CoordinationState()
for line in sys.stdin:
    method, args = ast.literal_eval(line)
    try:
        if method == "history":
            out = ("returned", [(e.kind, e.fields["agent_id"], e.time)
                                for e in galtro.history(state) if e.kind != "sent"])
        else:
            out = ("returned", getattr(state, method)(*args))
    except Exception as error:
        out = ("raised", type(error).__name__, error.args)
    print(repr((out, time.time())), flush=True)
"""

pytestmark = [pytest.mark.processes, pytest.mark.skipif(
    not (sys.platform.startswith("linux") and os.path.exists(LIBFAKETIME)),
    reason=f"libfaketime not installed ({LIBFAKETIME})",
)]


def faked_clock_env(time_file):
    """The environment of a child interpreter that imports this galtro and galtro_core,
    its real-time clock read from ``time_file`` at every reading (its monotonic clock
    runs on undisturbed)."""
    import galtro

    paths = [os.path.dirname(os.path.dirname(os.path.abspath(galtro.__file__))),
             os.path.dirname(os.path.abspath(galtro_core.__file__))]
    env = {k: v for k, v in os.environ.items() if not k.startswith("FAKETIME")}
    env.update(LD_PRELOAD=LIBFAKETIME, FAKETIME_TIMESTAMP_FILE=str(time_file),
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1", TZ="UTC",
               PYTHONPATH=os.pathsep.join(filter(None, [*paths, env.get("PYTHONPATH")])))
    return env


class Refused:
    """An expected RuntimeError with exactly this message."""

    def __init__(self, message):
        self.message = message


class FakeClockChild:
    """A child interpreter that runs ``code`` with ``args`` under the faked clock, which
    starts at S."""

    def __init__(self, tmp_path, *args, code=CHILD):
        self.time_file = tmp_path / "faketime"
        self.unchecked = True
        self.set(S)
        self.process = subprocess.Popen(
            [sys.executable, "-c", code, *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=faked_clock_env(self.time_file),
        )

    def set(self, seconds):
        self.now = seconds
        stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(seconds))
        self.time_file.write_text(stamp + "\n")

    def call(self, method, *args):
        self.process.stdin.write(repr((method, args)) + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], REPLY_TIMEOUT)
        line = self.process.stdout.readline() if ready else ""
        assert line, f"no answer from the child to {method}{args}"
        outcome, child_time = ast.literal_eval(line)
        if self.unchecked:  # the first answer, given at S
            self.unchecked = False
            if int(child_time) != S:
                pytest.skip(f"libfaketime did not take effect (child clock {child_time}, "
                            f"wanted {S})")
        return outcome, child_time

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=REPLY_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture(params=["native", pytest.param("sqlite", marks=pytest.mark.sqlite)])
def child(request, tmp_path):
    args = [str(tmp_path / "state.sqlite3")] if request.param == "sqlite" else []
    process = FakeClockChild(tmp_path, *args)
    try:
        process.call("status", "probe")
        yield process
    finally:
        process.close()


def run_steps(child, steps):
    model = CoordinationModel(clock=lambda: child.now)
    for offset, method, args, expected in steps:
        child.set(S + offset)
        outcome, child_time = child.call(method, *args)
        assert child_time == S + offset, "the faked clock did not follow the file"
        if isinstance(expected, Refused):
            want = ("raised", "RuntimeError", (expected.message,))
        else:
            want = ("returned", expected)
        where = f"at S+{offset}: {method}{args}"
        assert outcome == want, where
        try:
            model_outcome = ("returned", getattr(model, method)(*args))
        except RuntimeError as error:
            model_outcome = ("raised", "RuntimeError", error.args)
        assert model_outcome == want, "model " + where


@pytest.mark.parametrize(
    "claim, key, held",
    [
        ("claim_file", "file:src/lib.rs", "A already holds claim on src/lib.rs"),
        ("claim_task", "task:src/lib.rs", "A already holds claim on task src/lib.rs"),
    ],
    ids=["file", "task"],
)
def test_lease_boundary_and_takeover(child, claim, key, held):
    held_by_b = held.replace("A ", "B ", 1)
    run_steps(child, [
        (0, claim, ("A", "src/lib.rs"), "A"),
        (0, "status", ("A",), "busy"),
        (299, claim, ("B", "src/lib.rs"), Refused(held)),
        (299, "status", ("B",), "idle"),
        (299, "release", ("B", key), Refused("B cannot release a claim held by A")),
        (300, claim, ("B", "src/lib.rs"), "B"),
        # The previous holder keeps its status; the new claim is live for a full lease.
        (300, "status", ("B",), "busy"),
        (300, "status", ("A",), "busy"),
        (300, "renew_claim", ("A", key), Refused("A cannot renew a claim held by B")),
        (300, "release", ("A", key), Refused("A cannot release a claim held by B")),
        (599, claim, ("A", "src/lib.rs"), Refused(held_by_b)),
        (600, claim, ("A", "src/lib.rs"), "A"),
        (600, "release", ("A", key), None),
        (600, "status", ("A",), "idle"),
        (600, "status", ("B",), "busy"),
    ])
    # Each takeover is recorded at its second: the new claim, then the old one released.
    assert child.call("history")[0] == ("returned", [
        ("claimed", "A", S), ("claimed", "B", S + 300), ("released", "A", S + 300),
        ("claimed", "A", S + 600), ("released", "B", S + 600), ("released", "A", S + 600)])


# The in-process class has these cases from its core, on an injected clock
# (tests/cpp/claims_test.cpp); the SQLite store counts its leases itself.
SQLITE_CASES = {
    "holder reclaims its own expired claim": [
        (0, "claim_file", ("A", "p"), "A"),
        (299, "claim_file", ("A", "p"), Refused("A already holds claim on p")),
        (300, "claim_file", ("A", "p"), "A"),
        (599, "claim_file", ("B", "p"), Refused("A already holds claim on p")),
    ],
    "renewal restarts the lease": [
        (0, "claim_task", ("A", "t"), "A"),
        (200, "renew_claim", ("A", "task:t"), "A"),
        (499, "claim_task", ("B", "t"), Refused("A already holds claim on task t")),
        (500, "claim_task", ("B", "t"), "B"),
        # An expired claim that nobody replaced is renewed by its holder.
        (5000, "renew_claim", ("B", "task:t"), "B"),
        (5299, "claim_task", ("A", "t"), Refused("B already holds claim on task t")),
        (5300, "claim_task", ("A", "t"), "A"),
    ],
    "an expired claim is still held for release and renewal": [
        (0, "claim_file", ("A", "p"), "A"),
        (10_000, "release", ("B", "file:p"), Refused("B cannot release a claim held by A")),
        (10_000, "renew_claim", ("B", "file:p"), Refused("B cannot renew a claim held by A")),
        (10_000, "status", ("A",), "busy"),
        (10_000, "release", ("A", "file:p"), None),
        (10_000, "status", ("A",), "idle"),
        (10_000, "renew_claim", ("A", "file:p"), Refused("no claim on file:p to renew")),
    ],
    "a clock stepping back keeps the claim live": [
        (0, "claim_file", ("A", "p"), "A"),
        (-1000, "claim_file", ("B", "p"), Refused("A already holds claim on p")),
        (-1, "claim_file", ("B", "p"), Refused("A already holds claim on p")),
        (299, "claim_file", ("B", "p"), Refused("A already holds claim on p")),
        (300, "claim_file", ("B", "p"), "B"),
    ],
}


@pytest.mark.parametrize("child", [pytest.param("sqlite", marks=pytest.mark.sqlite)],
                         indirect=True)
@pytest.mark.parametrize("steps", SQLITE_CASES.values(), ids=SQLITE_CASES.keys())
def test_lease_cases_the_sqlite_store_counts_itself(child, steps):
    run_steps(child, steps)


def test_message_time_stamps_come_from_the_clock(child):
    run_steps(child, [
        (42, "send_message", ("A", "B", "hi"), ("A", "B", "hi", S + 42)),
        (43, "broadcast", ("B", "all"), ("B", "*", "all", S + 43)),
        (50, "inbox", ("B",), [("A", "B", "hi", S + 42), ("B", "B", "all", S + 43)]),
        (60, "drain_inbox", ("B",), [("A", "B", "hi", S + 42), ("B", "B", "all", S + 43)]),
    ])
