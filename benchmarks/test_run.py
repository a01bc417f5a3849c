"""The harness itself: interleaving, the report, the memory child, the floor build.

    python -m pytest benchmarks/test_run.py
"""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402


class FakeModule:
    """A CoordinationState whose only method records which implementation ran."""

    def __init__(self, name: str, log: list) -> None:
        self.name, self.log = name, log

    def CoordinationState(self):  # noqa: N802 - stands in for the class
        module = self

        class State:
            def status(self, agent_id):
                module.log.append(module.name)
                return "idle"

        return State()


def test_batches_alternate_and_the_order_rotates():
    log: list[str] = []
    impls = [run.Impl(name, FakeModule(name, log)) for name in ("a", "b", "c")]
    workload = run.Workload("fake", "one status call", lambda impl: {
        "status": impl.new_state().status}, 'status("x")')
    loops, times = run.measure(workload, impls, repeats=3, target_ns=2e5, log=lambda _: None)

    assert set(times) == {"a", "b", "c"} and all(len(v) == 3 for v in times.values())
    timed = log[-3 * 3 * loops:]  # calibration ran first
    batches = [timed[i] for i in range(0, len(timed), loops)]
    assert batches == ["a", "b", "c", "b", "c", "a", "c", "a", "b"]
    assert all(timed[i:i + loops] == [timed[i]] * loops for i in range(0, len(timed), loops))


def test_table_gives_paired_ratios_and_marks_what_is_missing():
    workload = run.WORKLOADS[0]
    # Per-repeat ratios 0.67, 0.50, 0.25: their median is 0.50, where the ratio of the
    # medians would be 200 / 420 = 0.48.
    results = [(workload, 10, {"core": [200.0, 210.0, 190.0], "pure": [300.0, 420.0, 760.0]})]
    table = run.timing_table(results, run.STATISTICS["median"])
    row = table.splitlines()[-1]
    assert row == (f"| {workload.name} | 200 ns | n/a | 420 ns ~ | n/a | n/a | 0.50 |")


def test_memory_child_reports_bytes_per_item():
    output = subprocess.run(
        [sys.executable, str(HERE / "run.py"), "--memory-child", "pure", "claims", "20000"],
        check=True, capture_output=True, text=True).stdout
    report = json.loads(output)
    assert report["levels"] == [20000, 23784, 28284, 33636]
    assert 50 < report["bytes_per_item"] < 5000


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
def test_floor_builds_and_answers(tmp_path):
    subprocess.run([sys.executable, str(HERE / "floor" / "build.py"), "--out", str(tmp_path)],
                   check=True, capture_output=True)
    probe = ("import galtro_floor as f; s = f.CoordinationState(); f.set_pending(3); "
             "print(s.claim_file('a', path='p'), len(s.inbox('b')), s.release('a', 'k'))")
    answer = subprocess.run([sys.executable, "-c", probe], cwd=tmp_path, check=True,
                            capture_output=True, text=True).stdout
    assert answer.split() == ["a", "3", "None"]
