"""Processes sharing one state, in a SQLite file and on a real redis-server: one winner
of a contested claim, and no message lost, duplicated or reordered between processes.
Each process opens the store by its URL, as the front ends do."""

import multiprocessing
from collections import Counter

import pytest

from galtro._store import open_state

RACERS = 8
SENDERS, MESSAGES_EACH = 4, 150
BROADCASTERS, BROADCASTS_EACH = 2, 40
DRAINERS = 2

spawn = multiprocessing.get_context("spawn")

pytestmark = pytest.mark.processes


def race_for_claim(url, namespace, agent, path, barrier, results):
    state = open_state(url, namespace)
    state.status(agent)  # connected before the start
    barrier.wait()
    try:
        results.put((agent, "won", state.claim_file(agent, path)))
    except RuntimeError as refusal:
        results.put((agent, "lost", str(refusal)))


def race(url, namespace, path):
    """Runs RACERS processes claiming ``path`` at once; returns the winner."""
    barrier, results = spawn.Barrier(RACERS), spawn.Queue()
    racers = [spawn.Process(target=race_for_claim,
                            args=(url, namespace, f"agent-{i}", path, barrier, results))
              for i in range(RACERS)]
    for racer in racers:
        racer.start()
    outcomes = [results.get(timeout=60) for _ in racers]
    for racer in racers:
        racer.join(timeout=60)
        assert racer.exitcode == 0
    winners = [agent for agent, result, _ in outcomes if result == "won"]
    assert len(winners) == 1, outcomes
    for agent, result, text in outcomes:
        if result == "lost":
            assert text == f"{winners[0]} already holds claim on {path}", outcomes
        else:
            assert text == agent
    return winners[0]


@pytest.mark.slow
def test_processes_race_for_a_free_claim(shared_store):
    url, state = shared_store
    winner = race(url, state.namespace, "contested.py")
    assert state.status(winner) == "busy"
    assert all(state.status(f"agent-{i}") == "idle"
               for i in range(RACERS) if f"agent-{i}" != winner)


def send(url, namespace, sender, start):
    state = open_state(url, namespace)
    start.wait()
    for n in range(MESSAGES_EACH):
        state.send_message(sender, "sink", f"{sender}:{n}")


def broadcast(url, namespace, sender, start):
    state = open_state(url, namespace)
    start.wait()
    for n in range(BROADCASTS_EACH):
        state.broadcast(sender, f"{sender}:{n}")


def drain(url, namespace, start, senders_done, results):
    state = open_state(url, namespace)
    start.wait()
    batches = []
    while not senders_done.is_set():
        batches.append([content for _, _, content, _ in state.drain_inbox("sink")])
    results.put(batches)


@pytest.mark.slow
def test_senders_broadcasters_and_drainers_in_processes(shared_store):
    url, state = shared_store
    namespace = state.namespace
    state.send_message("setup", "sink", "setup:0")  # sink is known to broadcasts
    start, senders_done, results = spawn.Barrier(SENDERS + BROADCASTERS + DRAINERS + 1), \
        spawn.Event(), spawn.Queue()
    producers = [spawn.Process(target=send, args=(url, namespace, f"s{i}", start))
                 for i in range(SENDERS)]
    producers += [spawn.Process(target=broadcast, args=(url, namespace, f"b{i}", start))
                  for i in range(BROADCASTERS)]
    drainers = [spawn.Process(target=drain, args=(url, namespace, start, senders_done, results))
                for _ in range(DRAINERS)]
    for process in producers + drainers:
        process.start()
    start.wait(timeout=60)
    for process in producers:
        process.join(timeout=120)
        assert process.exitcode == 0
    senders_done.set()
    per_drainer = [results.get(timeout=60) for _ in drainers]
    for process in drainers:
        process.join(timeout=60)
        assert process.exitcode == 0
    per_drainer.append([[content for _, _, content, _ in state.drain_inbox("sink")]])

    received = [content for batches in per_drainer for batch in batches for content in batch]
    expected = ["setup:0"] + [f"s{i}:{n}" for i in range(SENDERS) for n in range(MESSAGES_EACH)]
    expected += [f"b{i}:{n}" for i in range(BROADCASTERS) for n in range(BROADCASTS_EACH)]
    duplicates = [content for content, count in Counter(received).items() if count > 1]
    assert not duplicates and sorted(received) == sorted(expected)
    # Each drainer takes batches one after another: every sender's numbers rise in them.
    for batches in per_drainer:
        last = {}
        for content in (c for batch in batches for c in batch):
            sender, n = content.split(":")
            assert int(n) > last.get(sender, -1), (content, last)
            last[sender] = int(n)
    # A broadcaster receives every later broadcast of its own.
    for i in range(BROADCASTERS):
        own = [c for _, _, c, _ in state.inbox(f"b{i}") if c.startswith(f"b{i}:")]
        assert own == [f"b{i}:{n}" for n in range(BROADCASTS_EACH)]
