"""Argument errors of every state class, from one table: the in-process class, the
SQLite one and the Redis ones, synchronous and asyncio. A call that fails to bind raises
a plain TypeError (or an unwrapped UnicodeEncodeError for a lone surrogate) with the
native class's text, and changes nothing."""

import asyncio
import sys

import pytest

from call_table import (BINDING_ERRORS, ODD_TYPES, AwaitEach, Outer, StrSub,
                        UnprintableStr)
from conftest import state_of_class
from redis_server import close_async

CLASSES = ["CoordinationState",
           pytest.param("SqliteCoordinationState", marks=pytest.mark.sqlite),
           pytest.param("RedisCoordinationState", marks=pytest.mark.redis),
           pytest.param("AsyncRedisCoordinationState", marks=pytest.mark.redis)]


@pytest.fixture(params=CLASSES)
def every_state(request):
    """A fresh state of each class in turn, with its class name; the asyncio one is
    called through AwaitEach, as the others are."""
    name = request.param
    if name != "AsyncRedisCoordinationState":
        yield state_of_class(request, name), name
    else:
        server = request.getfixturevalue("redis_server")  # skips without redis-py
        import galtro
        import redis.asyncio

        namespace = request.getfixturevalue("namespace")
        loop = asyncio.new_event_loop()
        client = redis.asyncio.Redis(unix_socket_path=server.socket)
        state = galtro.AsyncRedisCoordinationState(client, namespace)
        try:
            yield AwaitEach(state, loop), name
        finally:
            loop.run_until_complete(close_async(client))
            loop.close()


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    assert info.value.__cause__ is None
    return info.value


def assert_untouched(state):
    """What arrange() set up is still all there is: A holds p, nobody has mail."""
    with pytest.raises(RuntimeError, match="^A already holds claim on p$"):
        state.claim_file("B", "p")
    assert (state.status("A"), state.status("B")) == ("busy", "idle")
    assert state.inbox("A") == [] and state.inbox("B") == []
    state.broadcast("probe", "p")
    assert state.inbox("B") == [] and state.inbox("probe")[0][:3] == ("probe", "probe", "p")


def arrange(state):
    assert state.claim_file("A", "p") == "A"
    return state


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors_change_nothing(every_state, method, args, kwargs, message):
    state, name = every_state
    arrange(state)
    error = type_error(lambda: getattr(state, method)(*args, **kwargs))
    if not message.startswith("argument"):
        message = name + "." + message
    assert str(error) == message
    assert_untouched(state)


@pytest.mark.parametrize("value, shown", [
    (Outer.Inner(), "Outer.Inner"),  # the qualified name, not __name__
    (ODD_TYPES[0](), "<failed to extract type name>"),  # __qualname__ raises
    (ODD_TYPES[1](), "<failed to extract type name>"),  # __qualname__ is not a str
])
def test_type_names_in_conversion_errors(every_state, value, shown):
    state, _ = every_state
    error = type_error(lambda: state.inbox(value))
    assert str(error) == f"argument 'agent_id': '{shown}' object cannot be converted to 'PyString'"


def test_unprintable_keyword_is_reported_and_named_by_its_type(every_state, monkeypatch):
    state, name = every_state
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    key = UnprintableStr("agent")
    error = type_error(lambda: state.status(**{key: 1}))
    assert str(error) == f"{name}.status() got an unexpected keyword " \
                         "argument '<unprintable UnprintableStr object>'"
    assert [(r.exc_type, r.object) for r in reports] == [(ValueError, key)]


@pytest.mark.parametrize("call", [
    lambda s: s.claim_file("\udc80", "p"),
    lambda s: s.claim_file(agent_id="a", path="\ud800x"),
    lambda s: s.status(StrSub("\udfff")),
    lambda s: s.send_message("A", "B", "bad\ud800"),
], ids=["positional", "keyword", "str-subclass", "content"])
def test_lone_surrogate_is_an_unwrapped_unicode_error(every_state, call):
    state, _ = every_state
    arrange(state)
    with pytest.raises(UnicodeEncodeError) as info:
        call(state)
    assert type(info.value) is UnicodeEncodeError
    assert_untouched(state)
