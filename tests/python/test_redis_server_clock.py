"""Leases on the server's clock: redis-server runs under datefudge at a fixed time, with
the append-only file on, and is restarted at other times. A claim made at S is refused
at S+299 and taken over at S+300, whatever the clients' own clocks say; at S+300 eight
processes race for the expired claim and exactly one takes it over, while the holder
renews another lapsed claim of its own."""

import shutil

import pytest

pytest.importorskip("redis", reason="redis-py is not installed (galtro_core[redis])")

import redis  # noqa: E402

from galtro import RedisCoordinationState  # noqa: E402
from galtro.redis._reader import RedisReader  # noqa: E402
from galtro.redis._scripts import namespace_prefix  # noqa: E402
from redis_server import DATEFUDGE, RedisServer, at, available  # noqa: E402
from test_processes import race  # noqa: E402

pytestmark = [pytest.mark.redis, pytest.mark.processes, pytest.mark.slow,
              pytest.mark.skipif(not available() or shutil.which(DATEFUDGE) is None,
                                 reason="needs redis-server and datefudge (Debian packages)")]

S = 1935835200  # 2031-05-05 12:00:00 UTC


def history(server, namespace):
    with redis.Redis(unix_socket_path=server.socket) as client:
        entries = client.xrange(namespace_prefix(namespace) + b"history")
    return [(f[b"kind"].decode(), f[b"agent"].decode(), int(f[b"time"])) for _, f in entries
            if f[b"kind"] in (b"claimed", b"released")]


def test_lease_boundary_on_the_server_clock_across_restarts(tmp_path):
    server = RedisServer(tmp_path, persistent=True)
    try:
        server.start(fake_time=at(S))
        state = RedisCoordinationState.from_url(server.url, "clock")
        assert state.claim_file("holder", "a.py") == "holder"
        assert state.claim_file("holder", "b.py") == "holder"
        assert state.send_message("holder", "x", "t")[3] == S  # the server's second
        state.client.close()
        server.stop()

        server.start(fake_time=at(S + 299))
        state = RedisCoordinationState.from_url(server.url, "clock")
        with pytest.raises(RuntimeError, match="^holder already holds claim on a.py$"):
            state.claim_file("late", "a.py")
        state.client.close()
        server.stop()

        server.start(fake_time=at(S + 300))
        winner = race(server.url, "clock", "a.py")
        # A lapsed claim that nobody took over is renewed by its holder, for a full lease.
        state = RedisCoordinationState.from_url(server.url, "clock")
        assert state.renew_claim("holder", "file:b.py") == "holder"
        with pytest.raises(RuntimeError, match="^holder already holds claim on b.py$"):
            state.claim_file("late", "b.py")
        # Following the history starts at the server's current second, not the client's.
        reader = RedisReader(state)
        page = reader.history_after(reader.history_start(None), None)
        assert {event.time for event in page.events} == {S + 300} and len(page.events) == 2
        state.client.close()
        assert history(server, "clock") == [
            ("claimed", "holder", S), ("claimed", "holder", S), ("claimed", winner, S + 300),
            ("released", "holder", S + 300)]
    finally:
        server.stop()
