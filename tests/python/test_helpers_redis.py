"""The helpers on a real redis-server: hold keeps a claim past the 300-second lease on
the server's clock (datefudge, restarts in between, so renewals also meet a server that
is gone for a moment); a server gone for longer than the lease loses it; ahold on the
asyncio class."""

import asyncio
import shutil
import time

import pytest

import galtro
from galtro._failures import connection_errors

try:
    galtro.RedisCoordinationState
except (AttributeError, ImportError):
    pytest.skip("galtro.RedisCoordinationState is not available", allow_module_level=True)

from redis_server import DATEFUDGE, RedisServer, at, available  # noqa: E402

pytestmark = [pytest.mark.redis,
              pytest.mark.skipif(not available(), reason="redis-server is not installed")]

S = 1935835200  # 2031-05-05 12:00:00 UTC


@pytest.mark.skipif(shutil.which(DATEFUDGE) is None, reason="datefudge is not installed")
def test_renewal_keeps_the_claim_past_the_lease_on_the_server_clock(tmp_path):
    server = RedisServer(tmp_path, persistent=True)
    state = other = None
    try:
        server.start(fake_time=at(S))
        state = galtro.RedisCoordinationState.from_url(server.url, "renew")
        other = galtro.RedisCoordinationState.from_url(server.url, "renew")
        with galtro.hold(state, "A", file="kept", renew_every=0.05) as lease:
            state.claim_file("A", "lapsing")
            for offset in (250, 1000, 100_000):
                server.stop()  # renewals meanwhile fail on the connection and are retried
                server.start(fake_time=at(S + offset))
                time.sleep(0.5)
                [kept] = [c for c in galtro.claims(other) if c.resource_key == "file:kept"]
                assert (kept.holder, kept.renewed_at, kept.expired) == ("A", S + offset, False)
                with pytest.raises(galtro.ClaimConflict):
                    galtro.Agent(other, "B").claim_file("kept")
                assert not lease.lost
            assert other.claim_file("B", "lapsing") == "B"  # not renewed: taken over
        assert [c.resource_key for c in galtro.claims(other)] == ["file:lapsing"]
    finally:
        for client in (state, other):
            if client is not None:
                client.client.close()
        server.stop()


@pytest.mark.skipif(shutil.which(DATEFUDGE) is None, reason="datefudge is not installed")
@pytest.mark.slow
def test_the_lease_is_given_up_before_another_agent_can_take_it(tmp_path, monkeypatch):
    """A claims late in a second, which the server's flooring costs nearly a whole
    second. The server restarts with its clock 290 s ahead, so by the real clock the
    claim lapses 10 s after it was stored: the client is given a 10-second lease to
    count. A's renewals fail (the server is away, then A's user is gone) until A gives
    the lease up, which must happen before B's claim can succeed."""
    import redis

    monkeypatch.setattr(galtro._lease, "LEASE_SECONDS", 10.0)
    server = RedisServer(tmp_path, persistent=True).start()
    admin = redis.Redis(unix_socket_path=server.socket)
    admin.acl_setuser("a", enabled=True, nopass=True, keys=["*"], commands=["+@all"])
    admin.close()
    a = galtro.RedisCoordinationState(
        redis.Redis(unix_socket_path=server.socket, username="a", password="-"), "early")
    try:
        while time.time() % 1 < 0.9:
            time.sleep(0.005)
        with pytest.raises(galtro.LeaseLost) as lost:
            with galtro.hold(a, "A", file="f", renew_every=0.2) as lease:
                for _ in range(5):  # datefudge counts whole seconds from its own start
                    server.stop()
                    while time.time() % 1 > 0.5:
                        time.sleep(0.005)
                    server.start(fake_time=at(time.time() + 290), static=False)
                    admin = redis.Redis(unix_socket_path=server.socket)
                    seconds, microseconds = admin.time()
                    if round(seconds + microseconds / 1e6 - time.time()) == 290:
                        break
                    admin.close()
                b = galtro.RedisCoordinationState(admin, "early")
                taken = False
                deadline = time.monotonic() + 20
                while not taken and time.monotonic() < deadline:
                    lost_before = lease.lost
                    try:
                        b.claim_file("B", "f")
                        taken = True
                    except RuntimeError:
                        time.sleep(0.01)
                assert taken and lost_before
        assert isinstance(lost.value.reason, redis.ConnectionError)
    finally:
        a.client.close()
        admin.close()
        server.stop()


def test_a_server_gone_longer_than_the_lease_loses_it(tmp_path, monkeypatch):
    monkeypatch.setattr(galtro._lease, "LEASE_SECONDS", 3.5)  # counted: 1.5 s
    server = RedisServer(tmp_path).start()
    state = galtro.RedisCoordinationState.from_url(server.url, "gone")
    try:
        with pytest.raises(galtro.LeaseLost) as lost:
            with galtro.hold(state, "A", task="t", renew_every=0.05) as lease:
                server.stop()
                time.sleep(0.5)
                assert not lease.lost  # still retrying within the lease
                deadline = time.monotonic() + 10
                while not lease.lost and time.monotonic() < deadline:
                    time.sleep(0.05)
                assert lease.lost
        assert isinstance(lost.value.reason, connection_errors())
    finally:
        state.client.close()
        server.stop()


def test_ahold_on_the_asyncio_class(redis_server, namespace):
    async def main():
        state = galtro.AsyncRedisCoordinationState.from_url(redis_server.url, namespace)
        try:
            await state.claim_file("B", "a.py")

            async def release_soon():
                await asyncio.sleep(0.3)
                await state.release("B", "file:a.py")

            releasing = asyncio.ensure_future(release_soon())
            async with galtro.ahold(state, "A", file="a.py", wait=10,
                                    renew_every=0.05) as lease:
                await asyncio.sleep(0.3)
                assert await state.status("A") == "busy"
                with pytest.raises(galtro.ClaimConflict) as own:
                    async with galtro.ahold(state, "A", file="a.py", wait=10):
                        pass
                assert own.value.holder == "A"
                await state.release("A", "file:a.py")
                await state.claim_file("C", "a.py")
                await asyncio.sleep(0.3)
                assert lease.lost and isinstance(lease.reason, galtro.NotHolder)
            await releasing
        finally:
            await state.client.aclose()

    with pytest.raises(galtro.LeaseLost):
        asyncio.run(main())
