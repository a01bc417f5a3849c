"""A real redis-server for the tests and the benchmark, on a Unix socket in a folder of
its own, with no TCP port. Debian's package; scripts/test.sh installs it."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

REDIS_SERVER = shutil.which("redis-server") or "/usr/bin/redis-server"
DATEFUDGE = shutil.which("datefudge") or "/usr/bin/datefudge"


def available():
    return os.access(REDIS_SERVER, os.X_OK)


def at(seconds):
    """The ``fake_time`` of RedisServer.start for a Unix time."""
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def _die_with_parent():
    """Runs in the child before exec: the server gets SIGTERM when the thread that
    started it ends, so that an interrupted run leaves no server behind. Servers are
    started from the main thread."""
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class RedisServer:
    """One redis-server process. ``persistent`` turns the append-only file on with
    ``appendfsync always``, so that a restart keeps every acknowledged write;
    ``fake_time`` ("2031-05-05 12:00:00") runs it under datefudge at that fixed time,
    or, with ``static=False``, with a clock that starts there and runs on."""

    def __init__(self, folder, persistent=False):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.socket = str(self.folder / "redis.sock")
        self.persistent = persistent
        self.process = None

    @property
    def url(self):
        return f"unix://{self.socket}"

    def command(self):
        options = ["--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
                   "--dir", str(self.folder), "--save", "", "--daemonize", "no",
                   "--logfile", str(self.folder / "redis.log")]
        if self.persistent:
            options += ["--appendonly", "yes", "--appendfsync", "always"]
        else:
            options += ["--appendonly", "no"]
        return [REDIS_SERVER, *options]

    def start(self, fake_time=None, static=True):
        command = self.command()
        if fake_time is not None:
            command = [DATEFUDGE, *(["--static"] if static else []), fake_time, *command]
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        # The server is none of ours: a preloaded library of the test run (a sanitizer's
        # runtime) is kept out of it, whatever datefudge preloads; the empty
        # GALTRO_SANITIZER_PRELOAD tells the sanitized runs' start-up hook so.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        env["GALTRO_SANITIZER_PRELOAD"] = ""
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, env=env,
                                        preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 20
        while not self._answers():
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = (self.folder / "redis.log")
                raise RuntimeError("redis-server did not start: "
                                   + (log.read_text() if log.exists() else ""))
            time.sleep(0.01)
        return self

    def _answers(self):
        import socket

        try:
            with socket.socket(socket.AF_UNIX) as connection:
                connection.settimeout(1)
                connection.connect(self.socket)
                connection.sendall(b"PING\r\n")
                return connection.recv(64).startswith(b"+PONG")
        except OSError:
            return False

    def stop(self):
        """A clean shutdown: the append-only file is flushed and closed."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=30)
        self.process = None

    def kill(self):
        """SIGKILL: no flush, no goodbye."""
        if self.process is not None:
            self.process.kill()
            self.process.wait(timeout=30)
        self.process = None


def close_async(client):
    """The coroutine that closes an asyncio client: aclose() from redis-py 5.0.1 on."""
    return client.aclose() if hasattr(client, "aclose") else client.close()


class RedisCluster:
    """A cluster of ``masters`` redis-server processes on free TCP ports of 127.0.0.1
    (a cluster bus needs TCP), the slots split evenly, no replicas."""

    def __init__(self, folder, masters=3):
        self.folder = Path(folder)
        self.ports = []
        self.processes = []
        self.masters = masters

    @staticmethod
    def _free_port():
        import socket

        while True:
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                port = probe.getsockname()[1]
            if port + 10000 < 65536:  # the cluster bus port
                return port

    def start(self):
        import redis

        for index in range(self.masters):
            port = self._free_port()
            folder = self.folder / str(port)
            folder.mkdir(parents=True)
            self.ports.append(port)
            self.processes.append(subprocess.Popen(
                [REDIS_SERVER, "--port", str(port), "--bind", "127.0.0.1", "--dir", str(folder),
                 "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                 "--save", "", "--appendonly", "no", "--logfile", str(folder / "redis.log")],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=_die_with_parent))
        nodes = [redis.Redis(port=port) for port in self.ports]
        deadline = time.monotonic() + 20
        for node in nodes:
            while True:
                try:
                    node.ping()
                    break
                except redis.ConnectionError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)
        share = 16384 // self.masters + 1
        for index, node in enumerate(nodes):
            node.execute_command("CLUSTER", "ADDSLOTSRANGE", index * share,
                                 min(16383, (index + 1) * share - 1))
            if index:
                node.execute_command("CLUSTER", "MEET", "127.0.0.1", self.ports[0])
        while not all(b"cluster_state:ok" in node.execute_command("CLUSTER", "INFO")
                      for node in nodes):
            if time.monotonic() > deadline:
                raise RuntimeError("the cluster did not form")
            time.sleep(0.05)
        for node in nodes:
            node.close()
        return self

    def stop(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            process.wait(timeout=30)
        self.processes = []
