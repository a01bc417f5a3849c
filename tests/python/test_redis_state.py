"""What the Redis state adds to the nine methods: namespaces that never meet, a
constructor that does not connect, the history bound, the server version check."""

import pytest

pytest.importorskip("redis", reason="redis-py is not installed (galtro_core[redis])")

import redis  # noqa: E402

from galtro import AsyncRedisCoordinationState, RedisCoordinationState, \
    UnsupportedServerError  # noqa: E402
from galtro._redis_scripts import namespace_prefix  # noqa: E402
from galtro._redis_state import _check_version  # noqa: E402

# Each is a prefix, a suffix or a near copy of another, or holds the tag's own braces.
NAMESPACES = ["a", "ab", "a:b", "a}", "{a}", "}{", "a:", "\u00e4", "a\x00", "61"]


def hash_tag(key):
    """The part of a key that chooses its cluster slot."""
    start = key.find(b"{")
    end = key.find(b"}", start + 1)
    return key[start + 1:end] if start != -1 and end > start + 1 else key


def test_namespaces_never_read_or_write_each_other(redis_server):
    raw = redis.Redis(unix_socket_path=redis_server.socket)
    tag = "iso-" + redis_server.folder.name
    for namespace in NAMESPACES:
        state = RedisCoordinationState(raw, tag + namespace)
        assert state.claim_file(namespace, "p") == namespace
        state.send_message(namespace, "x", namespace)
        state.broadcast(namespace, "all")
    for namespace in NAMESPACES:
        state = RedisCoordinationState(raw, tag + namespace)
        with pytest.raises(RuntimeError, match="already holds claim on p"):
            state.claim_file("other", "p")
        assert state.release(namespace, "file:p") is None
        assert [m[2] for m in state.inbox("x")] == [namespace, "all"]
        prefix = namespace_prefix(tag + namespace)
        keys = [key for key in raw.scan_iter(match=prefix + b"*")]
        assert keys and all(hash_tag(key) == hash_tag(prefix) for key in keys)
    raw.close()


def test_construction_checks_its_arguments_and_makes_no_connection(tmp_path):
    missing = f"unix://{tmp_path}/no-server.sock"
    for cls in (RedisCoordinationState, AsyncRedisCoordinationState):
        with pytest.raises(ValueError):
            cls.from_url(missing, "")
        with pytest.raises(TypeError):
            cls.from_url(missing, b"bytes")
        with pytest.raises(ValueError):
            cls.from_url(missing, "n", history_maxlen=0)
        assert cls.from_url(missing, "n", history_maxlen=10).history_maxlen == 10
    state = RedisCoordinationState.from_url(missing)
    assert state.namespace == "default"
    with pytest.raises(redis.ConnectionError):
        state.status("a")


def test_history_bound_trims_whole_stream_nodes(redis_server, namespace):
    raw = redis.Redis(unix_socket_path=redis_server.socket)
    history = namespace_prefix(namespace + "-big") + b"history"
    bounded = RedisCoordinationState(raw, namespace + "-big", history_maxlen=500)
    for n in range(2000):
        bounded.send_message("a", "b", str(n))
    assert 500 <= raw.xlen(history) <= 600  # '~': whole nodes of 100 entries
    # A bound below one node never trims.
    small = RedisCoordinationState(raw, namespace + "-small", history_maxlen=5)
    for n in range(60):
        small.send_message("a", "b", str(n))
    assert raw.xlen(namespace_prefix(namespace + "-small") + b"history") == 60
    raw.close()


def test_servers_older_than_5_0_are_refused_by_name():
    with pytest.raises(UnsupportedServerError, match="version 4.0.14.*5.0 or later"):
        _check_version({"redis_version": "4.0.14"})
    for version in ("5.0.0", "7.0.15", b"7.2.4", "8.0"):
        _check_version({"redis_version": version})


def test_delivered_messages_leave_the_inbox_only_while_they_stand_at_its_front(
        redis_server, namespace):
    import asyncio

    from galtro._delivery import take_messages
    from redis_server import close_async

    state = RedisCoordinationState.from_url(redis_server.url, namespace)
    state.send_message("s\u00e9nder", "bob", "one:1:")
    state.send_message("x", "bob", "")
    written = []
    taken = take_messages(state, "bob", lambda messages: (
        written.extend(messages), state.send_message("x", "bob", "late")))
    assert written == taken and [m[2] for m in taken] == ["one:1:", ""]
    assert [m[2] for m in state.inbox("bob")] == ["late"]
    # Removed by another reader meanwhile: what stands there now stays.
    seen = state.inbox("bob")
    state.drain_inbox("bob")
    state.send_message("x", "bob", "newer")
    state._remove_delivered("bob", seen)
    assert [m[2] for m in state.inbox("bob")] == ["newer"]
    with pytest.raises(OSError):
        take_messages(state, "bob", lambda messages: (_ for _ in ()).throw(OSError("full")))
    assert [m[2] for m in state.inbox("bob")] == ["newer"]

    async def remove_async():
        client = AsyncRedisCoordinationState.from_url(redis_server.url, namespace)
        await client._remove_delivered("bob", await client.inbox("bob"))
        await close_async(client.client)

    asyncio.run(remove_async())
    assert state.inbox("bob") == []
    state.client.close()
