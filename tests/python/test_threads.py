"""Python threads sharing one CoordinationState, every method, then every invariant.

Each thread is one agent and draws its calls from its own seeded generator; the
switch interval is lowered so that the threads interleave between nearly every call.
A thread keeps its own account of what it holds, what it sent and what it took out of
its inbox, and checks every answer against that account as it goes. When all have
finished:

* every key is held by at most one agent, and exactly by the one whose account says
  so: a fresh agent's claim is refused naming that holder, or succeeds on a free key;
* each agent's status is the one its own last claim or release left;
* every message sent was received exactly once, by its addressee or, for a broadcast,
  by every agent; per sender in the order sent, with time stamps that never go back.

Sizes follow GALTRO_RELIABILITY_LEVEL (smoke by default, ci, long); GALTRO_SEED fixes
the seeds, which are printed.
"""

import collections
import os
import random
import re
import sys
import threading

import pytest

from galtro_core import CoordinationState

LEVEL = os.environ.get("GALTRO_RELIABILITY_LEVEL", "smoke")
THREADS = {"smoke": 4, "ci": 6, "long": 8}[LEVEL]
OPERATIONS = {"smoke": 2_000, "ci": 60_000, "long": 600_000}[LEVEL]  # per thread
KEYS = [f"k{i}" for i in range(6)]  # few, so that the threads collide on them
FILE_KEYS = ["file:" + k for k in KEYS]
TASK_KEYS = ["task:" + k for k in KEYS]


def base_seed():
    seed = int(os.environ.get("GALTRO_SEED", random.randrange(1 << 32)))
    print(f"thread test seed {seed} (threads use seed + index); GALTRO_SEED={seed} repeats it")
    return seed


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


class Agent:
    """One thread's agent and its own account of what it did."""

    def __init__(self, state, index, agents, seed):
        self.state, self.me, self.agents = state, f"agent-{index}", agents
        self.rng = random.Random(seed)
        self.held = set()
        self.status = "idle"
        self.sent = 0  # messages numbered per sender: "agent-3#17"
        self.direct = []  # (addressee, content)
        self.broadcasts = []  # content
        self.received = []  # tuples taken out by drain_inbox
        self.peeked = []  # the last inbox() listing, a prefix of the next drain
        self.counts = collections.Counter()
        self.failure = None

    def run(self, operations):
        try:
            for _ in range(operations):
                getattr(self, self.rng.choice(ACTIONS))()
        except BaseException as error:  # reported by the main thread
            self.failure = error

    # --- claims: each answer must agree with the account -------------------------------

    def refused(self, call, *args):
        self.counts[call.__name__] += 1
        try:
            call(*args)
        except RuntimeError as error:
            self.counts[call.__name__ + " refused"] += 1
            return str(error)
        return None

    def claim(self):
        kind = self.rng.choice(["file", "task"])
        name = self.rng.choice(KEYS)
        key = f"{kind}:{name}"
        method = self.state.claim_file if kind == "file" else self.state.claim_task
        message = self.refused(method, self.me, name)
        if message is None:
            assert key not in self.held, f"{self.me} claimed {key} a second time"
            self.held.add(key)
            self.status = "busy"
            return
        on = "on task " if kind == "task" else "on "
        match = re.fullmatch(r"(.*) already holds claim " + on + re.escape(name), message)
        assert match, message
        assert (match.group(1) == self.me) == (key in self.held), (self.me, key, message)

    def release(self):
        key = self.rng.choice(FILE_KEYS + TASK_KEYS)
        message = self.refused(self.state.release, self.me, key)
        if message is None:
            assert key in self.held, f"{self.me} released {key} that it did not hold"
            self.held.remove(key)
            self.status = "idle"
            return
        assert key not in self.held, (self.me, key, message)
        holder = re.fullmatch(re.escape(self.me) + r" cannot release a claim held by (.*)", message)
        assert message == f"no claim found for {self.me}" or (holder and holder[1] != self.me), message

    def renew(self):
        key = self.rng.choice(FILE_KEYS + TASK_KEYS)
        message = self.refused(self.state.renew_claim, self.me, key)
        if message is None:
            assert key in self.held, f"{self.me} renewed {key} that it did not hold"
            return
        assert key not in self.held, (self.me, key, message)
        holder = re.fullmatch(re.escape(self.me) + r" cannot renew a claim held by (.*)", message)
        assert message == f"no claim on {key} to renew" or (holder and holder[1] != self.me), message

    def check_status(self):
        self.counts["status"] += 1
        assert self.state.status(self.me) == self.status, self.me

    # --- messages --------------------------------------------------------------------

    def content(self):
        self.sent += 1
        return f"{self.me}#{self.sent}"

    def send(self):
        to, content = self.rng.choice(self.agents), self.content()
        self.counts["send_message"] += 1
        assert self.state.send_message(self.me, to, content)[:3] == (self.me, to, content)
        self.direct.append((to, content))

    def broadcast(self):
        content = self.content()
        self.counts["broadcast"] += 1
        assert self.state.broadcast(self.me, content)[:3] == (self.me, "*", content)
        self.broadcasts.append(content)

    def peek(self):
        self.counts["inbox"] += 1
        self.peeked = self.state.inbox(self.me)

    def drain(self):
        self.counts["drain_inbox"] += 1
        taken = self.state.drain_inbox(self.me)
        assert taken[:len(self.peeked)] == self.peeked, "a listed message went missing"
        self.peeked = []
        self.received += taken


ACTIONS = ["claim", "claim", "release", "renew", "check_status", "send", "send", "broadcast",
           "peek", "drain"]


def test_threads_keep_every_invariant(fast_switching):
    seed = base_seed()
    state = CoordinationState()
    names = [f"agent-{i}" for i in range(THREADS)]
    for name in names:  # every agent known before the first broadcast
        state.send_message("setup", name, "hello")
        assert state.drain_inbox(name)[0][2] == "hello"
    agents = [Agent(state, i, names, seed + i) for i in range(THREADS)]
    threads = [threading.Thread(target=a.run, args=(OPERATIONS,)) for a in agents]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for agent in agents:
        if agent.failure is not None:
            raise AssertionError(f"{agent.me} (seed {seed}): {agent.failure!r}") from agent.failure

    # Each key held by at most one agent, the one whose account says so.
    for key in FILE_KEYS + TASK_KEYS:
        holders = [a.me for a in agents if key in a.held]
        assert len(holders) <= 1, (key, holders, seed)
        kind, name = key.split(":", 1)
        claim = state.claim_file if kind == "file" else state.claim_task
        if holders:
            on = "on task" if kind == "task" else "on"
            with pytest.raises(RuntimeError, match=f"^{holders[0]} already holds claim {on} {name}$"):
                claim("observer", name)
        else:
            assert claim("observer", name) == "observer"
            state.release("observer", key)

    for agent in agents:
        assert state.status(agent.me) == agent.status, (agent.me, seed)

    # Every message received exactly once, per sender in order, stamps never going back.
    for agent in agents:
        agent.received += state.drain_inbox(agent.me)
        assert all(m[1] == agent.me for m in agent.received)
        stamps = [m[3] for m in agent.received]
        assert stamps == sorted(stamps), (agent.me, seed)
        got = collections.Counter((m[0], m[2]) for m in agent.received)
        wanted = collections.Counter(
            [(a.me, c) for a in agents for to, c in a.direct if to == agent.me]
            + [(a.me, c) for a in agents for c in a.broadcasts])
        assert got == wanted, (agent.me, seed, (got - wanted), (wanted - got))
        for sender in agents:
            numbers = [int(m[2].split("#")[1]) for m in agent.received if m[0] == sender.me]
            assert numbers == sorted(numbers), (agent.me, sender.me, seed)

    totals = sum((a.counts for a in agents), collections.Counter())
    print(f"{THREADS} threads x {OPERATIONS} operations: "
          + ", ".join(f"{k} {v}" for k, v in sorted(totals.items())))
    assert sum(v for k, v in totals.items() if "refused" not in k) == THREADS * OPERATIONS


def test_threads_each_with_its_own_instance_share_nothing(fast_switching):
    """Instances used from several threads at once stay apart."""
    seed = base_seed()
    operations = OPERATIONS // 4
    results = {}

    def work(index):
        rng = random.Random(seed + index)
        state = CoordinationState()
        for i in range(operations):
            if rng.random() < 0.5:
                state.claim_file("same-agent", f"p{i}")
            else:
                state.send_message("same-agent", "same-agent", str(i))
        results[index] = (state.status("same-agent"), len(state.drain_inbox("same-agent")),
                          sum(1 for i in range(operations) if _held(state, f"p{i}")))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index in range(THREADS):
        status, messages, claims = results[index]
        assert messages + claims == operations, (index, seed)


def _held(state, path):
    try:
        state.claim_file("other", path)
    except RuntimeError:
        return True
    state.release("other", "file:" + path)
    return False
