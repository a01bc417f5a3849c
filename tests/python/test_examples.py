"""The programs in examples/ run against the installed module and show what they claim
to show."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DEMO = EXAMPLES / "agents_demo.py"
AGENTS = ("planner", "alice", "bob", "carol")


def run(path, *args):
    result = subprocess.run([sys.executable, str(path), *args], capture_output=True,
                            text=True, timeout=120, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    return result.stdout


def events(output):
    """(agent, text) for every log line, in order; the elapsed-time prefix dropped."""
    found = []
    for line in output.splitlines():
        match = re.match(r"\[[ +\d.]+s ?\] (\S+) +(.*)$", line)
        if match:
            found.append((match.group(1), match.group(2)))
    return found


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.py")), ids=lambda p: p.name)
def test_every_example_runs_cleanly(path):
    run(path)


@pytest.fixture(scope="module")
def threads_part():
    """The demo's log without its lease-lapse part."""
    return events(run(DEMO, "--no-lapse"))


def index(log, agent, text):
    """The position of the one event (agent, text) in log."""
    matches = [i for i, event in enumerate(log) if event == (agent, text)]
    assert len(matches) == 1, (agent, text, log)
    return matches[0]


class TestAgentsDemo:
    def test_conflict_request_and_hand_over_in_order(self, threads_part):
        log = threads_part
        steps = [
            ("alice", "claims src/parser.py -> 'alice'"),
            ("bob", "is refused: alice already holds claim on src/parser.py"),
            ("bob", "may not release it either: bob cannot release a claim held by alice"),
            ("bob", "asks alice to say when src/parser.py is free"),
            ("alice", "reads from bob: 'waiting for: src/parser.py'"),
            ("alice", "releases src/parser.py; status 'idle'"),
            ("alice", "tells bob that src/parser.py is free"),
            ("bob", "claims src/parser.py -> 'bob'"),
            ("bob", "releases src/parser.py; status 'idle'"),
        ]
        positions = [index(log, *step) for step in steps]
        assert positions == sorted(positions), log

    def test_claims_renewals_and_statuses(self, threads_part):
        log = threads_part
        assert ("planner", "claims task:release-1.4 -> 'planner'") == log[0]
        assert ("carol", "claims src/cli.py -> 'carol'") in log
        assert ("alice", "edits src/parser.py (3/4), renews file:src/parser.py") in log
        assert ("carol", "finished src/cli.py; status 'busy'") in log
        for agent, text in log:
            assert "fails" not in text, (agent, text)

    def test_planner_reads_every_report_then_releases(self, threads_part):
        log = threads_part
        reports = [text for agent, text in log
                   if agent == "planner" and text.startswith("reads from")]
        assert sorted(reports) == [
            "reads from alice: 'done: src/parser.py, docs/parser.md'",
            "reads from bob: 'done: src/parser.py, tests/test_parser.py'",
            "reads from carol: 'done: src/cli.py'",
        ]
        release = index(log, "planner", "releases task:release-1.4")
        assert index(log, "planner", "cannot renew what it released: "
                          "no claim on task:release-1.4 to renew") == release + 1
        endings = [(agent, text) for agent, text in log if text.startswith("ends with")]
        assert [agent for agent, _ in endings] == list(AGENTS)
        assert all("status 'idle'" in text for _, text in endings)
        assert ("planner", "ends with status 'idle', 0 unread messages") in endings

    def test_lease_lapse_and_takeover(self):
        output = run(DEMO)
        if "lease lapse: skipped" in output:
            pytest.skip("libfaketime is not installed")
        lapse = events(output.split("A lease running out", 1)[1])
        assert lapse == [
            ("dave", "claims src/legacy.py -> 'dave'"),
            ("dave", "stops responding and never renews its claim"),
            ("erin", "is refused: dave already holds claim on src/legacy.py"),
            ("erin", "claims src/legacy.py -> 'erin' (the lease ran out: takeover)"),
            ("dave", "still has status 'busy'; erin has 'busy'"),
            ("dave", "comes back and may not release: dave cannot release a claim held by erin"),
        ]
