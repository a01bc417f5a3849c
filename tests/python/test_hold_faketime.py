"""hold() keeps a claim past the 300-second lease, under a clock moved from outside the
process: the child interpreter runs with libfaketime as in test_lease_faketime.py, its
real-time clock read from a file the test rewrites, while its monotonic clock (which
paces the renewal thread) runs on undisturbed."""

import os
import sys
import time

import pytest

from test_lease_faketime import LIBFAKETIME, S, FakeClockChild

CHILD = r"""
import sys, time
import galtro, galtro_core
state = galtro_core.CoordinationState()
renewed = galtro.hold(state, "A", file="kept", renew_every=0.05).__enter__()
unrenewed = galtro.hold(state, "A", file="lapsing", renew=False).__enter__()
for line in sys.stdin:
    out = []
    for path in ("kept", "lapsing"):
        try:
            out.append(state.claim_file("B", path))
        except RuntimeError as error:
            out.append(str(error))
    out.append([(c.resource_key, c.holder, c.renewed_at) for c in galtro.claims(state)])
    out.append(renewed.lost)
    print(repr((out, time.time())), flush=True)
"""

pytestmark = [pytest.mark.processes, pytest.mark.skipif(
    not (sys.platform.startswith("linux") and os.path.exists(LIBFAKETIME)),
    reason=f"libfaketime not installed ({LIBFAKETIME})",
)]


def test_renewal_keeps_the_claim_past_the_lease(tmp_path):
    child = FakeClockChild(tmp_path, code=CHILD)
    try:
        first, _ = child.call("probe")
        assert first == ["A already holds claim on kept", "A already holds claim on lapsing",
                         [("file:kept", "A", S), ("file:lapsing", "A", S)], False]
        # Far past the first lease: the renewing thread has renewed at the new time, the
        # claim without renewal has lapsed and is taken over.
        for offset in (250, 1000, 100_000):
            child.set(S + offset)
            time.sleep(0.5)
            (kept, lapsing, claims, lost), _ = child.call("probe")
            assert kept == "A already holds claim on kept"
            assert claims[0] == ("file:kept", "A", S + offset)
            assert not lost
        assert lapsing == "B"
    finally:
        child.close()
