"""The helpers of galtro on both classes (in-process, and Redis where the server and
redis-py are there): typed refusals (classified from the arguments, whatever the ids
contain), hold and ahold (waiting, release on every exit, a lost lease), Agent,
file_key, and the read-only views. Renewal past the 300-second lease:
test_hold_faketime.py (in-process) and test_helpers_redis.py (the server's clock)."""

import asyncio
import json
import textwrap
import threading
import time

import pytest

import galtro
import galtro_core
from galtro import ClaimConflict, LeaseLost, NoClaim, NotHolder
from test_module import run_child


# --- Typed refusals -----------------------------------------------------------------

# Ids and names that contain the words of the templates: no split point can be guessed.
TRICKY = ["A", "", "B already holds claim on", " already holds claim on task x",
          "no claim on", "cannot renew a claim held by", "ü ü"]


@pytest.mark.parametrize("holder", TRICKY)
@pytest.mark.parametrize("name", TRICKY)
def test_refusals_are_typed_from_the_arguments(either_state, holder, name):
    state = either_state
    holder_agent, other = galtro.Agent(state, holder), galtro.Agent(state, holder + "+")
    for kind, claim in (("file", "claim_file"), ("task", "claim_task")):
        key = getattr(holder_agent, claim)(name)
        assert key == f"{kind}:{name}"
        with pytest.raises(ClaimConflict) as conflict:
            getattr(other, claim)(name)
        assert (conflict.value.holder, conflict.value.resource_key) == (holder, key)
        with pytest.raises(RuntimeError) as plain:
            getattr(state, claim)(other.agent_id, name)
        assert str(conflict.value) == str(plain.value)
        for method in ("renew_claim", "release"):
            with pytest.raises(NotHolder) as not_holder:
                getattr(other, method)(key)
            assert (not_holder.value.holder, not_holder.value.resource_key) == (holder, key)
    for method, message in (("renew_claim", "no claim on {} to renew"),
                            ("release", "no claim found for {}")):
        gone = "file:" + name + "/gone"
        with pytest.raises(NoClaim) as no_claim:
            getattr(holder_agent, method)(gone)
        assert isinstance(no_claim.value, RuntimeError)
        assert no_claim.value.resource_key == gone
        assert str(no_claim.value) == message.format(gone if method == "renew_claim" else holder)


def test_no_claim_wins_where_two_templates_fit(either_state):
    # Renewing key K as agent "no claim on x" with K = "x cannot renew a claim held by
    # y": "no claim on {K} to renew" is also "{agent} cannot renew a claim held by
    # {holder}" with holder "y to renew". The template that the arguments fill
    # completely, NoClaim's, is the one taken.
    agent = galtro.Agent(either_state, "no claim on x")
    key = "x cannot renew a claim held by y"
    with pytest.raises(NoClaim) as error:
        agent.renew_claim(key)
    assert str(error.value) == f"no claim on {key} to renew"
    assert error.value.resource_key == key


# --- hold ---------------------------------------------------------------------------


def test_hold_releases_on_every_exit_and_refuses_a_second_hold_at_once(either_state):
    state = either_state
    with galtro.hold(state, "A", file="a.py") as lease:
        assert lease.resource_key == "file:a.py" and not lease.lost
        assert state.status("A") == "busy"
        started = time.monotonic()
        with pytest.raises(ClaimConflict) as own:
            with galtro.hold(state, "A", file="a.py", wait=5):
                pass
        assert own.value.holder == "A" and time.monotonic() - started < 1
        lease.check()
    assert galtro.claims(state) == []

    with pytest.raises(KeyError):
        with galtro.hold(state, "A", task="t", renew=False):
            raise KeyError("work failed")
    assert galtro.claims(state) == []
    with pytest.raises(TypeError):
        galtro.hold(state, "A", file="a", task="t")
    with pytest.raises(TypeError):
        galtro.hold(state, "A")


def test_hold_waits_with_jitter_then_names_the_holder(either_state):
    state = either_state
    state.claim_file("B", "a.py")
    started = time.monotonic()
    with pytest.raises(ClaimConflict) as conflict:
        with galtro.hold(state, "A", file="a.py", wait=0.3):
            pass
    assert conflict.value.holder == "B"
    assert 0.3 <= time.monotonic() - started < 1.5

    timer = threading.Timer(0.3, state.release, ("B", "file:a.py"))
    timer.start()
    with galtro.hold(state, "A", file="a.py", wait=10) as lease:
        assert [c.holder for c in galtro.claims(state)] == ["A"]
    timer.join()
    assert not lease.lost


def test_renewal_and_a_lost_lease(either_state):
    state = either_state
    with galtro.hold(state, "A", task="t", renew_every=0.02) as lease:
        time.sleep(0.2)
        assert not lease.lost
        history_before = galtro.history(state)
    # Renewal writes no history: only the claim and the release.
    assert [e.kind for e in history_before] == ["claimed"]

    with pytest.raises(LeaseLost) as lost:
        with galtro.hold(state, "A", task="t", renew_every=0.02) as lease:
            state.release("A", "task:t")  # gone: "no claim on task:t to renew"
            state.claim_task("B", "t")  # and now held by another
            deadline = time.monotonic() + 5
            while not lease.lost and time.monotonic() < deadline:
                time.sleep(0.01)
            assert lease.lost
            with pytest.raises(LeaseLost):
                lease.check()
    assert isinstance(lost.value.reason, (NoClaim, NotHolder))
    # A lost lease is not released: B keeps its claim.
    assert [c.holder for c in galtro.claims(state)] == ["B"]

    # Leaving by an exception keeps that exception, lost lease or not.
    with pytest.raises(ZeroDivisionError):
        with galtro.hold(state, "A", file="f", renew=False):
            state.release("A", "file:f")
            state.claim_file("B", "f")
            1 / 0
    assert [c.holder for c in galtro.claims(state)] == ["B", "B"]


def test_renew_every_must_be_shorter_than_the_lease_the_client_counts():
    state = galtro_core.CoordinationState()
    for value in (0, -1, float("inf"), float("nan"), 298, 300, 10**6):
        with pytest.raises(ValueError, match="renew_every must be positive, finite and less "
                                             "than 298 seconds"):
            galtro.hold(state, "A", task="t", renew_every=value)
        with pytest.raises(ValueError):
            galtro.ahold(state, "A", task="t", renew_every=value)
    for value in ("1", True):
        with pytest.raises(TypeError, match="renew_every must be a number of seconds"):
            galtro.hold(state, "A", task="t", renew_every=value)
    assert galtro.hold(state, "A", task="t", renew_every=297.5) is not None


def test_ahold_on_the_in_process_class():
    state = galtro_core.CoordinationState()

    async def main():
        state.claim_file("B", "a.py")
        loop = asyncio.get_running_loop()
        loop.call_later(0.2, state.release, "B", "file:a.py")
        async with galtro.ahold(state, "A", file="a.py", wait=5, renew_every=0.02) as lease:
            await asyncio.sleep(0.1)
            assert [c.holder for c in galtro.claims(state)] == ["A"]
            state.release("A", "file:a.py")
            await asyncio.sleep(0.1)
            assert lease.lost

    with pytest.raises(LeaseLost):
        asyncio.run(main())
    assert galtro.claims(state) == []


# --- Agent ----------------------------------------------------------------------------


def test_agent_tracks_what_it_holds(either_state):
    state = either_state
    a = galtro.Agent(state, "A")
    assert [a.claim_file("x"), a.claim_task("t"), a.claim_file("y")] == ["file:x", "task:t", "file:y"]
    assert a.held() == ["file:x", "task:t", "file:y"]
    a.release("task:t")
    state.release("A", "file:y")  # behind the handle's back
    state.claim_file("B", "y")
    assert a.release_all() == ["file:x"]
    assert a.held() == [] and [c.holder for c in galtro.claims(state)] == ["B"]
    assert a.send_message("B", "hi")[:3] == ("A", "B", "hi")
    assert a.broadcast("all")[1] == "*"
    assert [m[2] for m in a.drain_inbox()] == ["all"] and a.inbox() == []
    assert a.status() == "idle"


# --- file_key ---------------------------------------------------------------------------


@pytest.mark.parametrize("root, path, key", [
    ("/repo", "a.py", "a.py"),
    ("/repo", "./a.py", "a.py"),
    ("/repo/", "src/../a.py", "a.py"),
    ("/repo", "/repo/src//b.py", "src/b.py"),
    ("/repo/.", "/repo/x/./y/../z", "x/z"),
    (".", "a.py", "a.py"),
    ("repo", "x/../a.py", "a.py"),
    ("/", "/etc/x", "etc/x"),
])
def test_file_key_names_a_file_one_way(root, path, key):
    assert galtro.file_key(root, path) == key


@pytest.mark.parametrize("root, path", [
    ("/repo", "../a.py"), ("/repo", "/repository/a.py"), ("/repo", "/elsewhere/a.py"),
    ("/repo", "."), ("/repo", "x/../.."), (".", ".."),
])
def test_file_key_refuses_paths_outside_the_root(root, path):
    with pytest.raises(ValueError):
        galtro.file_key(root, path)


# --- Views --------------------------------------------------------------------------------


def test_views_and_snapshot(either_state):
    state = either_state
    state.claim_file("A", "a.py")
    state.send_message("A", "B", "hi")
    state.inbox("C")  # an empty inbox; C gets no status entry
    before = time.time()
    snapshot = galtro.snapshot(state)
    assert json.loads(json.dumps(snapshot)) == snapshot
    [claim] = snapshot["claims"]
    assert claim["resource_key"] == "file:a.py" and claim["holder"] == "A"
    assert claim["expires_at"] == claim["renewed_at"] + 300 and not claim["expired"]
    assert claim["renewed_at"] <= before
    assert snapshot["agents"] == {"A": "busy", "B": "idle"}
    # An empty inbox exists in-process only.
    in_process = isinstance(state, galtro_core.CoordinationState)
    assert snapshot["inbox_sizes"] == ({"B": 1, "C": 0} if in_process else {"B": 1})
    assert [(e["kind"], e["fields"]) for e in snapshot["history"]] == [
        ("claimed", {"agent_id": "A", "resource_key": "file:a.py"}),
        ("message_sent", {"from_agent": "A", "to_agent": "B", "content": "hi"}),
    ]
    assert galtro.history(state, count=1) == galtro.history(state)[:1]
    assert galtro.history(state, since=time.time() + 5) == []
    assert galtro.snapshot(state) == snapshot  # reading changed nothing


def test_views_agree_with_the_in_process_class(shared_store):
    def calls(state):
        state.claim_file("A", "a.py")
        state.claim_task("B", "t")
        state.send_message("A", "B", "ü\x00 text")
        state.broadcast("C", "")
        state.release("A", "file:a.py")
        state.drain_inbox("A")

    _, shared = shared_store
    local = galtro_core.CoordinationState()
    calls(local)
    calls(shared)

    def timeless(state):
        snapshot = galtro.snapshot(state)
        for claim in snapshot["claims"]:
            claim["expires_at"] -= claim["renewed_at"]
            claim["claimed_at"] = claim["renewed_at"] = None
        for event in snapshot["history"]:
            event["time"] = None
        snapshot["inbox_sizes"] = {k: v for k, v in snapshot["inbox_sizes"].items() if v}
        return snapshot

    assert timeless(shared) == timeless(local)


def test_history_arguments_are_checked_alike_on_every_store(either_state):
    from fractions import Fraction

    either_state.claim_file("A", "a.py")
    either_state.send_message("A", "B", "hi")
    both = galtro.history(either_state)
    for count, since in [(2**63, None), (2**70, 0), (None, -5.5), (None, Fraction(1, 2)),
                         (3, False.__int__())]:
        assert galtro.history(either_state, since=since, count=count) == both
    for since in (10**17, 1e300, 2**64 + 1):
        assert galtro.history(either_state, since=since) == []
    errors = [(dict(count=2.7), TypeError, "count must be an int or None, not float"),
              (dict(count=0.5), TypeError, "not float"),
              (dict(count=True), TypeError, "not bool"),
              (dict(count=-1), ValueError, "count must not be negative"),
              (dict(since=float("inf")), ValueError, "since must be a finite number, not inf"),
              (dict(since=float("nan")), ValueError, "not nan"),
              (dict(since="1"), TypeError, "since must be a real number or None, not str"),
              (dict(since=True), TypeError, "not bool")]
    for arguments, error, text in errors:
        with pytest.raises(error, match=text):
            galtro.history(either_state, **arguments)


def test_views_refuse_what_is_not_a_state():
    from galtro import _state_reader

    with pytest.raises(TypeError):
        galtro.claims(object())
    for read in (_state_reader.claims, _state_reader.agents, _state_reader.inbox_sizes,
                 _state_reader.history):
        with pytest.raises(TypeError, match="cannot be converted to 'CoordinationState'"):
            read("not a state")


# What Python code may do to galtro_core's attribute, before or after the views' native
# module is first imported: none of it makes another object readable.
SWAPS = {
    "a class with the real instance size, before the first import": """
        class Fake:
            __slots__ = ("a", "b")
        galtro_core.CoordinationState = Fake
        from galtro import _state_reader
        fake = Fake(); fake.a = bytearray(64); fake.b = 0
    """,
    "a metaclass that claims the real instance size": """
        class Sized(type):
            __basicsize__ = property(lambda cls: 32)
        class Fake(metaclass=Sized):
            pass
        galtro_core.CoordinationState = Fake
        from galtro import _state_reader
        fake = Fake()
    """,
    "mock.patch.object before the first import": """
        from unittest import mock
        class Fake:
            __slots__ = ("a", "b")
        with mock.patch.object(galtro_core, "CoordinationState", Fake):
            from galtro import _state_reader
        fake = Fake(); fake.a = bytearray(64); fake.b = 0
        galtro_core.CoordinationState = Fake
    """,
    "mock.patch.object after the first import": """
        from unittest import mock
        from galtro import _state_reader
        galtro.claims(real)
        fake = mock.patch.object(galtro_core, "CoordinationState", mock.MagicMock).start()()
    """,
}


@pytest.mark.parametrize("swap", SWAPS)
def test_the_views_know_the_real_class_whatever_its_module_attribute_names(swap):
    out = run_child(textwrap.dedent("""
        import json
        import galtro, galtro_core
        real = galtro_core.CoordinationState()
        real.send_message("a", "b", "hi")
    """) + textwrap.dedent(SWAPS[swap]) + textwrap.dedent("""
        def refusal(read):
            try:
                read(fake)
            except TypeError as error:
                return str(error)
        native = [refusal(read) for read in (
            _state_reader.claims, _state_reader.agents, _state_reader.inbox_sizes,
            _state_reader.history,
            lambda s: _state_reader.remove_delivered(s, "b", real.inbox("b")))]
        views = [refusal(read) for read in (galtro.claims, galtro.snapshot)]
        print(json.dumps([native, views, _state_reader.is_state(fake),
                          _state_reader.is_state(real), galtro.inbox_sizes(real)]))
    """))
    native, views, fake_is_state, real_is_state, sizes = json.loads(out)
    fake_type = "MagicMock" if "after" in swap else "Fake"
    assert native == [f"'{fake_type}' object cannot be converted to 'CoordinationState'"] * 5
    assert all(view.startswith(f"'{fake_type}' object is none of") for view in views), views
    assert (fake_is_state, real_is_state, sizes) == (False, True, {"b": 1})


# --- Delivery -----------------------------------------------------------------------------


def test_delivered_messages_leave_the_inbox_only_once_written(either_state):
    from galtro._delivery import remove_delivered, take_messages

    state = either_state
    state.send_message("s\u00e9nder", "bob", "one:1:")
    state.broadcast("x", "")
    written = []
    taken = take_messages(state, "bob", lambda messages: (
        written.extend(messages), state.send_message("x", "bob", "late")))
    assert written == taken and [m[2] for m in taken] == ["one:1:", ""]
    assert [m[2] for m in state.inbox("bob")] == ["late"]
    with pytest.raises(OSError):
        take_messages(state, "bob", lambda messages: (_ for _ in ()).throw(OSError("full")))
    assert [m[2] for m in state.inbox("bob")] == ["late"]

    # Another reader removed the first of them meanwhile: only the rest goes, and
    # nothing that arrived after them.
    state.send_message("x", "bob", "2")
    seen = state.inbox("bob")
    remove_delivered(state, "bob", seen[:1])
    state.send_message("x", "bob", "newer")
    remove_delivered(state, "bob", seen)
    remove_delivered(state, "bob", seen)
    assert [m[2] for m in state.inbox("bob")] == ["newer"]


def test_the_native_removal_checks_what_it_is_given():
    from galtro import _state_reader

    state = galtro_core.CoordinationState()
    state.send_message("x", "bob", "newer")
    for messages, error in (
            ([("x", "bob", "newer")], TypeError), ([["x", "bob", "newer", 1]], TypeError),
            ([("x", "bob", b"newer", 1)], TypeError), ([("x", "bob", "newer", 2**63)], ValueError),
            ([("x", "bob", "newer", -1)], ValueError), (state.inbox("alice"), None),
            ([("x", "carol", "newer", state.inbox("bob")[0][3])], ValueError), (5, TypeError)):
        if error is None:
            assert _state_reader.remove_delivered(state, "bob", messages) == 0
        else:
            with pytest.raises(error):
                _state_reader.remove_delivered(state, "bob", messages)
    assert [m[2] for m in state.inbox("bob")] == ["newer"]
