"""Random call sequences on each state class, checked call by call against one model.

The same machine, model and settings run against galtro_core.CoordinationState,
galtro.SqliteCoordinationState, galtro.RedisCoordinationState and
galtro.AsyncRedisCoordinationState (driven through an event loop). The SQLite class
shares its file with a second namespace that a neighbour writes to on every step, and
its history, read back through the views, is compared with the model's. The Redis classes use a client that decodes replies as Latin-1, to show
that the client's settings change nothing, and their history stream is compared with
the model's at the end of each sequence.
"""

import asyncio
import os
import tempfile
import time
import uuid

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import galtro_core
from call_table import (AGENTS, ALL_PARAMS, CONTENTS, METHODS, NAMES, NOT_STR, ODD_KEYWORDS,
                        STYLES, SURROGATES, AwaitEach, StrSub, arrange, outcome, shape)
from coordination_model import CoordinationModel
from redis_server import close_async

# Settings: 200 sequences of up to 50 calls each, derandomized and without an example
# database so that every run (and CI) explores the same sequences; about 15 s a class.
# GALTRO_MODEL_EXAMPLES sets another number of sequences (fewer for quick runs).
# Leases never run out within a run; expiry is covered by test_lease_faketime.py and
# test_redis_server_clock.py.
MODEL_SETTINGS = settings(
    max_examples=int(os.environ.get("GALTRO_MODEL_EXAMPLES", "200")),
    stateful_step_count=50,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

agents = st.sampled_from(AGENTS)
names = st.sampled_from(NAMES)
resource_keys = st.one_of(
    names.map(lambda n: "file:" + n),
    names.map(lambda n: "task:" + n),
    names,  # a bare path or task id names no claim
    st.text(max_size=6),
)
contents = st.one_of(st.sampled_from(CONTENTS), st.text(max_size=20))
styles = st.sampled_from(STYLES)
odd_values = st.one_of(agents, st.sampled_from(NOT_STR[:4] + [StrSub("s")] + SURROGATES))
odd_keywords = st.sampled_from(ALL_PARAMS + ODD_KEYWORDS)


class CoordinationMachine(RuleBasedStateMachine):
    """Subclasses say which state to test: ``make_state()`` returns it, with the class
    name its binding errors carry."""

    def __init__(self):
        super().__init__()
        self.real, class_name = self.make_state()
        self.model = CoordinationModel(class_name=class_name)
        self.started = int(time.time())

    def check(self, method, args, kwargs):
        before = int(time.time())
        actual = outcome(getattr(self.real, method), args, kwargs)
        after = int(time.time())
        result = actual[1] if actual[0] == "returned" else None
        if method in ("send_message", "broadcast") and isinstance(result, tuple) and len(result) == 4:
            # The model cannot predict the clock: check the stamp lies within the call
            # and let the model use it, so inbox listings are compared exactly later.
            stamp = result[3]
            assert isinstance(stamp, int) and before <= stamp <= after, (result, before, after)
            self.model.clock = lambda: stamp
        else:
            self.model.clock = lambda: after
        expected = outcome(getattr(self.model, method), args, kwargs)
        assert actual == expected, (method, args, kwargs)
        if actual[0] == "returned":
            assert shape(actual[1]) == shape(expected[1]), (method, args, kwargs)

    @rule(agent=agents, name=names, style=styles)
    def claim_file(self, agent, name, style):
        self.check("claim_file", *arrange("claim_file", [agent, name], style))

    @rule(agent=agents, name=names, style=styles)
    def claim_task(self, agent, name, style):
        self.check("claim_task", *arrange("claim_task", [agent, name], style))

    @rule(agent=agents, key=resource_keys, style=styles)
    def renew_claim(self, agent, key, style):
        self.check("renew_claim", *arrange("renew_claim", [agent, key], style))

    @rule(agent=agents, key=resource_keys, style=styles)
    def release(self, agent, key, style):
        self.check("release", *arrange("release", [agent, key], style))

    @rule(sender=agents, addressee=agents, content=contents, style=styles)
    def send_message(self, sender, addressee, content, style):
        self.check("send_message", *arrange("send_message", [sender, addressee, content], style))

    @rule(sender=agents, content=contents, style=styles)
    def broadcast(self, sender, content, style):
        self.check("broadcast", *arrange("broadcast", [sender, content], style))

    @rule(agent=agents, style=styles)
    def inbox(self, agent, style):
        self.check("inbox", *arrange("inbox", [agent], style))

    @rule(agent=agents, style=styles)
    def drain_inbox(self, agent, style):
        self.check("drain_inbox", *arrange("drain_inbox", [agent], style))

    @rule(agent=agents, style=styles)
    def status(self, agent, style):
        self.check("status", *arrange("status", [agent], style))

    @rule(
        method=st.sampled_from(sorted(METHODS)),
        args=st.lists(odd_values, max_size=4),
        kwargs=st.dictionaries(odd_keywords, odd_values, max_size=3),
    )
    def malformed_call(self, method, args, kwargs):
        self.check(method, tuple(args), kwargs)

    @invariant()
    def statuses_agree(self):
        for agent in AGENTS:
            assert self.real.status(agent) == self.model.status(agent), agent


class NativeMachine(CoordinationMachine):
    def make_state(self):
        return galtro_core.CoordinationState(), "CoordinationState"


def model_events(model):
    """The model's history without its times."""
    return [event[:-1] for event in model.history]


def view_events(state):
    """A state's history through the views, as the model records it, and the times."""
    import galtro

    events = galtro.history(state)
    return [(e.kind, *e.fields.values()) for e in events], [e.time for e in events]


class SqliteMachine(CoordinationMachine):
    def make_state(self):
        import galtro

        self.folder = tempfile.TemporaryDirectory()
        path = os.path.join(self.folder.name, "state.sqlite3")
        self.neighbour = galtro.SqliteCoordinationState(path, "model-neighbour")
        return galtro.SqliteCoordinationState(path, "model"), "SqliteCoordinationState"

    def check(self, method, args, kwargs):
        self.neighbour.broadcast("n", "x")  # another namespace of the file, never seen
        super().check(method, args, kwargs)

    def teardown(self):
        events, times = view_events(self.real)
        assert events == model_events(self.model)
        assert times == sorted(times) and all(self.started <= t <= time.time() for t in times)
        self.folder.cleanup()


def redis_history(client, namespace):
    """The history stream of a namespace, as the model records it (without times), and
    the times."""
    from galtro.redis._scripts import namespace_prefix

    events, times = [], []
    for _, fields in client.xrange(namespace_prefix(namespace) + b"history"):
        fields = {k.decode(): v.decode("utf-8") for k, v in fields.items()}
        names = {"claimed": ("agent", "key"), "released": ("agent", "key"),
                 "message_sent": ("from", "to", "content"), "broadcast": ("from", "content")}
        events.append((fields["kind"], *(fields[n] for n in names[fields["kind"]])))
        times.append(int(fields["time"]))
    return events, times


class RedisMachine(CoordinationMachine):
    server = None  # set by the test

    def make_state(self):
        import galtro
        import redis

        self.client = redis.Redis(unix_socket_path=self.server.socket, decode_responses=True,
                                  encoding="latin-1")
        self.namespace = "model-" + uuid.uuid4().hex
        return galtro.RedisCoordinationState(self.client, self.namespace), \
            "RedisCoordinationState"

    def teardown(self):
        import redis

        with redis.Redis(unix_socket_path=self.server.socket) as raw:
            events, times = redis_history(raw, self.namespace)
        assert events == model_events(self.model)
        assert times == sorted(times) and all(self.started <= t <= time.time() for t in times)
        self.client.close()


class AsyncRedisMachine(RedisMachine):
    def make_state(self):
        import galtro
        import redis.asyncio

        self.loop = asyncio.new_event_loop()
        self.async_client = redis.asyncio.Redis(unix_socket_path=self.server.socket,
                                                decode_responses=True, encoding="latin-1")
        self.client = redis.Redis(unix_socket_path=self.server.socket)
        self.namespace = "model-" + uuid.uuid4().hex
        state = galtro.AsyncRedisCoordinationState(self.async_client, self.namespace)
        return AwaitEach(state, self.loop), "AsyncRedisCoordinationState"

    def teardown(self):
        super().teardown()
        self.loop.run_until_complete(close_async(self.async_client))
        self.loop.close()


NativeMachine.TestCase.settings = MODEL_SETTINGS
TestNativeModel = NativeMachine.TestCase

SqliteMachine.TestCase.settings = MODEL_SETTINGS
TestSqliteModel = SqliteMachine.TestCase
TestSqliteModel.pytestmark = [pytest.mark.sqlite]

RedisMachine.TestCase.settings = MODEL_SETTINGS
AsyncRedisMachine.TestCase.settings = MODEL_SETTINGS


@pytest.mark.parametrize("machine", [RedisMachine, AsyncRedisMachine])
def test_redis_model(redis_server, machine):
    machine.server = redis_server
    machine.TestCase("runTest").runTest()
