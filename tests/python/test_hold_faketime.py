"""hold() keeps a claim past the 300-second lease, under a clock moved from outside the
process: the child interpreter runs with libfaketime as in test_lease_faketime.py, its
real-time clock read from a file the test rewrites, while its monotonic clock (which
paces the renewal thread) runs on undisturbed."""

import ast
import calendar
import os
import select
import subprocess
import sys
import time

import pytest

import galtro_core
from test_lease_faketime import LIBFAKETIME, REPLY_TIMEOUT, faked_clock_env

S = calendar.timegm((2026, 1, 1, 0, 0, 0))

CHILD = r"""
import ast, sys
import galtro, galtro_core
state = galtro_core.CoordinationState()
renewed = galtro.hold(state, "A", file="kept", renew_every=0.05).__enter__()
unrenewed = galtro.hold(state, "A", file="lapsing", renew=False).__enter__()
for line in sys.stdin:
    command = line.strip()
    if command == "probe":
        out = []
        for path in ("kept", "lapsing"):
            try:
                out.append(state.claim_file("B", path))
            except RuntimeError as error:
                out.append(str(error))
        out.append([(c.resource_key, c.holder, c.renewed_at) for c in galtro.claims(state)])
        out.append(renewed.lost)
    print(repr(out), flush=True)
"""

pytestmark = [pytest.mark.processes, pytest.mark.skipif(
    not (sys.platform.startswith("linux") and os.path.exists(LIBFAKETIME)),
    reason=f"libfaketime not installed ({LIBFAKETIME})",
)]


def test_renewal_keeps_the_claim_past_the_lease(tmp_path):
    time_file = tmp_path / "faketime"

    def set_clock(seconds):
        time_file.write_text(time.strftime("%Y-%m-%d %H:%M:%S\n", time.gmtime(seconds)))

    set_clock(S)
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=faked_clock_env(time_file))

    def probe():
        child.stdin.write("probe\n")
        child.stdin.flush()
        ready, _, _ = select.select([child.stdout], [], [], REPLY_TIMEOUT)
        line = child.stdout.readline() if ready else ""
        assert line, "no answer from the child"
        return ast.literal_eval(line)

    try:
        first = probe()
        if first[2][0][2] != S:
            pytest.skip(f"libfaketime did not take effect: {first}")
        assert first == ["A already holds claim on kept", "A already holds claim on lapsing",
                         [("file:kept", "A", S), ("file:lapsing", "A", S)], False]
        # Far past the first lease: the renewing thread has renewed at the new time, the
        # claim without renewal has lapsed and is taken over.
        for offset in (250, 1000, 100_000):
            set_clock(S + offset)
            time.sleep(0.5)
            kept, lapsing, claims, lost = probe()
            assert kept == "A already holds claim on kept"
            assert claims[0] == ("file:kept", "A", S + offset)
            assert not lost
        assert lapsing == "B"
    finally:
        child.stdin.close()
        child.wait(timeout=REPLY_TIMEOUT)
