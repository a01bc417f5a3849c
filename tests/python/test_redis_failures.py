"""The Redis state when things go wrong: a reply lost after the script ran, the server
going away and coming back, and the server killed with SIGKILL in the middle of a load.
Each test that stops a server starts its own."""

import asyncio
import os
import re
import socket
import threading
import time

import pytest

pytest.importorskip("redis", reason="redis-py is not installed (galtro_core[redis])")

import multiprocessing  # noqa: E402

import redis  # noqa: E402
import redis.asyncio  # noqa: E402
from redis.backoff import NoBackoff  # noqa: E402
from redis.retry import Retry  # noqa: E402

from galtro import AsyncRedisCoordinationState, RedisCoordinationState  # noqa: E402
from galtro.redis._scripts import namespace_prefix  # noqa: E402
from doc_text import section  # noqa: E402
from redis_server import RedisServer, close_async  # noqa: E402

spawn = multiprocessing.get_context("spawn")

pytestmark = pytest.mark.redis


class ReplyDroppingProxy:
    """Passes a Unix-socket connection through to the server; once armed, it lets the
    next script call reach the server and run, then closes the connection instead of
    passing the reply back."""

    def __init__(self, path, upstream):
        self.path, self.upstream = str(path), upstream
        self.armed = threading.Event()
        self.dropped = 0
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(self.path)
        self.listener.listen()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.socket(socket.AF_UNIX)
            server.connect(self.upstream)
            dropping = threading.Event()
            threading.Thread(target=self._requests, args=(client, server, dropping),
                             daemon=True).start()
            threading.Thread(target=self._replies, args=(server, client, dropping),
                             daemon=True).start()

    def _requests(self, client, server, dropping):
        while data := self._receive(client):
            if self.armed.is_set() and b"EVALSHA" in data:
                self.armed.clear()
                dropping.set()
            server.sendall(data)

    def _replies(self, server, client, dropping):
        while data := self._receive(server):
            if dropping.is_set():
                self.dropped += 1
                for end in (client, server):
                    end.shutdown(socket.SHUT_RDWR)
                    end.close()
                return
            client.sendall(data)

    @staticmethod
    def _receive(end):
        try:
            return end.recv(1 << 16)
        except OSError:
            return b""

    def close(self):
        self.listener.close()


def test_a_retried_call_whose_reply_was_lost_takes_effect_once(redis_server, namespace, tmp_path):
    proxy = ReplyDroppingProxy(tmp_path / "proxy.sock", redis_server.socket)
    retrying = redis.Redis(unix_socket_path=proxy.path, retry=Retry(NoBackoff(), 3),
                           retry_on_error=[redis.ConnectionError])
    state = RedisCoordinationState(retrying, namespace)
    for method, args in [("send_message", ("w", "w", "")), ("drain_inbox", ("w",)),
                         ("claim_file", ("w", "w"))]:
        getattr(state, method)(*args)  # every script cached on the server

    proxy.armed.set()
    sent = state.send_message("a", "b", "once")
    assert state.inbox("b") == [sent]  # delivered once, though the script was sent twice

    second = state.send_message("a", "b", "twice")
    proxy.armed.set()
    assert state.drain_inbox("b") == [sent, second]  # the first run's batch, not []
    assert state.inbox("b") == []

    proxy.armed.set()
    assert state.claim_file("a", "p") == "a"  # not "a already holds claim on p"
    assert proxy.dropped == 3

    # Without retries the call fails; it ran all the same, and the state shows it.
    single = RedisCoordinationState(redis.Redis(unix_socket_path=proxy.path,
                                                retry=Retry(NoBackoff(), 0)), namespace)
    proxy.armed.set()
    with pytest.raises(redis.ConnectionError):
        single.send_message("a", "c", "lost reply")
    assert [m[2] for m in single.inbox("c")] == ["lost reply"]
    proxy.close()


def test_server_going_away_and_coming_back(tmp_path):
    server = RedisServer(tmp_path, persistent=True).start()
    state = RedisCoordinationState.from_url(server.url, "gone")
    async_state = AsyncRedisCoordinationState.from_url(server.url, "gone")
    loop = asyncio.new_event_loop()
    try:
        assert state.claim_file("a", "p") == "a"
        assert loop.run_until_complete(async_state.status("a")) == "busy"
        server.stop()
        for _ in range(2):
            with pytest.raises(redis.ConnectionError):
                state.status("a")
            with pytest.raises(redis.ConnectionError):
                loop.run_until_complete(async_state.claim_task("b", "t"))
        server.start()
        with pytest.raises(RuntimeError, match="^a already holds claim on p$"):
            state.claim_file("b", "p")
        assert loop.run_until_complete(async_state.claim_task("b", "t")) == "b"
    finally:
        loop.run_until_complete(close_async(async_state.client))
        loop.close()
        server.stop()


def load(url, agent, log_path, start):
    """Claims and sends until the server goes away, logging each acknowledged call."""
    state = RedisCoordinationState.from_url(url, "crash")
    start.wait()
    with open(log_path, "w") as log:
        try:
            for n in range(1_000_000):
                state.claim_file(agent, f"{agent}/{n}")
                log.write(f"claim {n}\n")
                state.send_message(agent, "collector", f"{agent}:{n}")
                log.write(f"send {n}\n")
                log.flush()
        except (redis.ConnectionError, redis.TimeoutError):
            pass


@pytest.mark.slow
def test_sigkill_during_load_loses_nothing_acknowledged(tmp_path):
    server = RedisServer(tmp_path / "server", persistent=True).start()
    agents = [f"worker-{i}" for i in range(4)]
    start = spawn.Barrier(len(agents) + 1)
    logs = {agent: tmp_path / f"{agent}.log" for agent in agents}
    workers = [spawn.Process(target=load, args=(server.url, agent, logs[agent], start))
               for agent in agents]
    try:
        for worker in workers:
            worker.start()
        start.wait(timeout=60)
        deadline = time.monotonic() + 60
        while min(os.path.getsize(p) if p.exists() else 0 for p in logs.values()) < 2000:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        server.kill()
        for worker in workers:
            worker.join(timeout=60)
            assert worker.exitcode == 0
        server.start()

        state = RedisCoordinationState.from_url(server.url, "crash")
        inbox = [content for _, _, content, _ in state.inbox("collector")]
        with redis.Redis(unix_socket_path=server.socket) as raw:
            prefix = namespace_prefix("crash")
            claims = raw.hlen(prefix + b"claims")
            events = [f[b"kind"] for _, f in raw.xrange(prefix + b"history")]
        for agent in agents:
            acknowledged = {"claim": -1, "send": -1}
            for line in logs[agent].read_text().splitlines():
                kind, n = line.split()
                acknowledged[kind] = int(n)
            assert acknowledged["send"] >= 100
            for n in range(acknowledged["claim"] + 1):
                with pytest.raises(RuntimeError, match=f"^{agent} already holds claim on"):
                    state.claim_file("checker", f"{agent}/{n}")
            own = [c for c in inbox if c.startswith(agent + ":")]
            # Every acknowledged message, once, in order; at most one sent unacknowledged.
            assert own[:acknowledged["send"] + 1] == \
                [f"{agent}:{n}" for n in range(acknowledged["send"] + 1)]
            assert len(own) - (acknowledged["send"] + 1) in (0, 1)
            assert state.status(agent) == "busy"
        # Each call is whole: one Claimed per stored claim, one MessageSent per message.
        assert events.count(b"claimed") == claims
        assert events.count(b"message_sent") == len(inbox)
    finally:
        for worker in workers:
            if worker.is_alive():
                worker.kill()
        server.stop()


def readme_acl():
    """The permissions docs/stores.md lists for the class, its views and the history."""
    text = section("docs/stores.md", "Many machines: `RedisCoordinationState`")
    return re.search(r"following the history need:\n\n```text\n(.*?)```", text,
                     re.S).group(1).split()


def test_refusals_by_the_server_change_nothing_and_strand_no_claim(tmp_path):
    """An ACL user denied XADD is refused before anything is written; a user with the
    permissions docs/stores.md lists can do everything. Over maxmemory, what adds data is refused
    and renewals, releases and the removal of delivered messages go on, so a block
    keeps its claim and releases it; a long script (BUSY) is waited out by renewals.
    A drain's request record does not keep the drained messages."""
    import galtro
    from galtro._delivery import take_messages
    from galtro.redis._reader import RedisReader

    server = RedisServer(tmp_path).start()
    admin = redis.Redis(unix_socket_path=server.socket)
    admin.acl_setuser("noxadd", enabled=True, nopass=True, keys=["*"],
                      commands=["+@all", "-xadd"])
    admin.execute_command("ACL", "SETUSER", "listed", "on", "nopass", *readme_acl())

    def state_of(user, namespace="r"):
        client = redis.Redis(unix_socket_path=server.socket, username=user, password="-")
        return RedisCoordinationState(client, namespace)

    try:
        denied = state_of("noxadd")
        for call in (lambda: denied.claim_file("a", "p"), lambda: denied.broadcast("a", "x"),
                     lambda: denied.send_message("a", "b", "x")):
            with pytest.raises(redis.exceptions.NoPermissionError, match="'xadd' command"):
                call()
        assert admin.keys("*") == []

        listed = state_of("listed")
        reader = RedisReader(listed)
        cursor = reader.history_start(None)
        with galtro.hold(listed, "a", file="p", renew_every=0.05):
            time.sleep(0.2)
        listed.claim_task("a", "t")
        listed.renew_claim("a", "task:t")
        listed.send_message("a", "b", "x" * 10_000)
        listed.broadcast("a", "y" * 10_000)
        take_messages(listed, "a", lambda messages: None)
        assert len(listed.drain_inbox("b")) == 2 and listed.status("a") == "busy"
        assert galtro.snapshot(listed)["inbox_sizes"] == {}
        assert len(reader.history_after(cursor, None).events) == 5
        requests = admin.keys(namespace_prefix("r") + b"request:*")
        assert requests and max(admin.strlen(key) for key in requests) < 100

        state = RedisCoordinationState(admin, "r")
        state.send_message("a", "c", "kept")
        state.send_message("a", "d", "delivered")
        with galtro.hold(state, "a", file="q", renew_every=0.05) as lease:
            admin.config_set("maxmemory", 1)
            try:
                for call in (lambda: state.claim_file("z", "new"), lambda: state.drain_inbox("c"),
                             lambda: state.send_message("a", "c", "x"),
                             lambda: state.broadcast("a", "x")):
                    with pytest.raises(redis.exceptions.OutOfMemoryError):
                        call()
                take_messages(state, "d", lambda messages: None)
                time.sleep(0.3)
                assert not lease.lost
            finally:
                admin.config_set("maxmemory", 0)

            admin.config_set("busy-reply-threshold", 50)
            busy = threading.Thread(target=admin.eval, args=(LONG_SCRIPT, 0))
            busy.start()
            time.sleep(0.3)
            with pytest.raises(redis.exceptions.ResponseError, match="BUSY"):
                state.status("a")
            busy.join()
            time.sleep(0.2)
            assert not lease.lost

        # The plain scripts, for servers before 7.0, make a write that may grow memory
        # first: over maxmemory they too are refused before they change anything.
        plain = RedisCoordinationState(admin, "r")
        plain.claim_file("a", "plain")
        plain._flagged = False
        admin.config_set("maxmemory", 1)
        try:
            for call in (lambda: plain.claim_file("z", "new"), lambda: plain.drain_inbox("c"),
                         lambda: plain.send_message("a", "c", "x"),
                         lambda: plain.broadcast("a", "x"),
                         lambda: plain.renew_claim("a", "file:plain")):
                with pytest.raises(redis.exceptions.OutOfMemoryError):
                    call()
            plain.release("a", "file:plain")
        finally:
            admin.config_set("maxmemory", 0)
        assert [m[2] for m in state.inbox("c")] == ["kept"] and state.inbox("d") == []
        assert [claim.resource_key for claim in galtro.claims(state)] == ["task:t"]
    finally:
        admin.close()
        server.stop()


# Keeps the server busy for 1.5 s by its own clock.
LONG_SCRIPT = """
local start = redis.call('TIME')
while true do
  local now = redis.call('TIME')
  if (now[1] - start[1]) * 1000000 + (now[2] - start[2]) > 1500000 then return 0 end
end
"""
