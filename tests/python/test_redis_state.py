"""What the Redis state adds to the nine methods: namespaces that never meet, a
constructor that does not connect, the history bound and following the history by
stream id, the server version check, removing delivered messages, a real 3-master
cluster."""

import pytest

pytest.importorskip("redis", reason="redis-py is not installed (galtro_core[redis])")

import redis  # noqa: E402

from galtro import AsyncRedisCoordinationState, RedisCoordinationState, \
    UnsupportedServerError  # noqa: E402
import galtro  # noqa: E402
from galtro.redis._reader import RedisReader  # noqa: E402
from galtro.redis._scripts import namespace_prefix  # noqa: E402
from galtro.redis._state import _check_version  # noqa: E402
from redis_server import RedisCluster  # noqa: E402

# Each is a prefix, a suffix or a near copy of another, or holds the tag's own braces.
NAMESPACES = ["a", "ab", "a:b", "a}", "{a}", "}{", "a:", "\u00e4", "a\x00", "61"]

pytestmark = pytest.mark.redis


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


def test_history_bound_and_following_the_history_through_trimming(redis_server, namespace):
    """'~' trims whole stream nodes (100 entries): a bound of m keeps m to m + 99
    entries. A follower reading pages of 7 sees every event once, in order, or counts
    it as missed."""
    raw = redis.Redis(unix_socket_path=redis_server.socket)
    for bound in (1, 50):
        state = RedisCoordinationState(raw, f"{namespace}-{bound}", history_maxlen=bound)
        reader = RedisReader(state)
        cursor = reader.history_start(None)
        lengths, seen, missed = [], [], 0
        for n in range(400):
            state.send_message("a", "b", str(n))
            lengths.append(raw.xlen(namespace_prefix(state.namespace) + b"history"))
            if n % 30 == 0:
                page = reader.history_after(cursor, 7)
                cursor, missed = page.cursor, missed + page.missed
                seen += [int(event.fields["content"]) for event in page.events]
        assert min(lengths[bound:]) == bound and max(lengths) == bound + 99
        while True:
            page = reader.history_after(cursor, 7)
            if not page.events and not page.missed:
                break
            cursor, missed = page.cursor, missed + page.missed
            seen += [int(event.fields["content"]) for event in page.events]
        assert seen == sorted(set(seen)) and len(seen) + missed == 400 and missed > 0
    raw.close()


def test_history_since_counts_the_events_own_second(redis_server, namespace):
    """A script that read TIME late in second T - 1 appends its event at a stream id of
    second T: the event is of T - 1, for since= and for a follower alike."""
    raw = redis.Redis(unix_socket_path=redis_server.socket)
    state = RedisCoordinationState(raw, namespace)
    reader = RedisReader(state)
    t = 1_900_000_000
    history = namespace_prefix(namespace) + b"history"
    for entry_id, second, content in [(f"{t * 1000 - 5}-0", t - 1, "early"),
                                      (f"{t * 1000}-0", t - 1, "straggler"),
                                      (f"{t * 1000}-1", t, "on time")]:
        raw.xadd(history, {"kind": "message_sent", "from": "a", "to": "b",
                           "content": content, "time": second}, id=entry_id)
    contents = lambda events: [event.fields["content"] for event in events]  # noqa: E731
    assert contents(galtro.history(state, since=t)) == ["on time"]
    assert contents(galtro.history(state, since=t, count=1)) == ["on time"]
    assert contents(galtro.history(state, since=t - 0.5)) == ["early", "straggler", "on time"]
    page = reader.history_after(reader.history_start(t), None)
    assert contents(page.events) == ["on time"] and page.missed == 0
    start = reader.history_start(t - 1)
    assert contents(reader.history_after(start, None).events) == ["early", "straggler", "on time"]
    assert reader.history_after(start, 0).events == []
    for cursor in ("", "1-x", "1-2@", "-1-0", 7):
        with pytest.raises(TypeError if cursor == 7 else ValueError):
            reader.history_after(cursor, None)
    raw.close()


def test_servers_older_than_5_0_are_refused_by_name():
    with pytest.raises(UnsupportedServerError, match="version 4.0.14.*5.0 or later"):
        _check_version({"redis_version": "4.0.14"})
    for version in ("5.0.0", "7.0.15", b"7.2.4", "8.0"):
        _check_version({"redis_version": version})


def test_the_asyncio_class_removes_delivered_messages(redis_server, namespace):
    import asyncio

    from redis_server import close_async

    state = RedisCoordinationState.from_url(redis_server.url, namespace)
    state.send_message("x", "bob", "newer")

    async def remove_async():
        client = AsyncRedisCoordinationState.from_url(redis_server.url, namespace)
        await client._remove_delivered("bob", await client.inbox("bob"))
        await close_async(client.client)

    asyncio.run(remove_async())
    assert state.inbox("bob") == []
    state.client.close()


def test_a_three_master_cluster_runs_the_flagged_scripts(tmp_path):
    import redis.cluster

    from galtro._delivery import take_messages

    cluster = RedisCluster(tmp_path).start()
    client = redis.cluster.RedisCluster(host="127.0.0.1", port=cluster.ports[0])
    try:
        slots = set()
        for namespace in NAMESPACES:
            state = RedisCoordinationState(client, namespace)
            reader = RedisReader(state)
            cursor = reader.history_start(None)
            with galtro.hold(state, "a", file="p", renew_every=0.05):
                state.send_message("a", "b", "x")
                state.broadcast("c", "all")
                assert [m[2] for m in take_messages(state, "b", lambda m: None)] == ["x", "all"]
                assert [m[2] for m in state.drain_inbox("a")] == ["all"]
                assert galtro.inbox_sizes(state) == {"c": 1}
            assert state._flagged and galtro.claims(state) == []
            assert len(reader.history_after(cursor, None).events) == 4
            slots.add(client.keyslot(namespace_prefix(namespace)))
        assert len({cluster_node_of(client, slot) for slot in slots}) == 3
    finally:
        client.close()
        cluster.stop()


def cluster_node_of(client, slot):
    return client.nodes_manager.get_node_from_slot(slot).name
