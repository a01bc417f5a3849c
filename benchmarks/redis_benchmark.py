"""The Redis state against the peer a user would otherwise pick, on one local server.

    python benchmarks/redis_benchmark.py [--quick] [--repeats N] [--batch-ms MS]

Starts its own redis-server (Debian's package) on a Unix socket in a temporary folder,
without persistence, and times, per iteration:

  claim+release   galtro.RedisCoordinationState claim_file + release, against
                  redis-py's Lock acquire + release (SET NX PX, then its release
                  script). Both are two round trips; ours also records the status and
                  two history events and keeps each reply for its request id.
  send+drain      send_message + drain_inbox (three round trips: a drain deletes its
                  request record, which holds the drained messages, once its reply
                  has arrived).
  send            one send_message, against a broadcast to 100 agents (one round
                  trip each; the broadcast writes 100 inboxes in its script).

Pairs are timed in one process, taking turns: repeat by repeat each side times a batch
of N iterations, the order rotating, and the figure is the median per iteration. The
in-process galtro_core.CoordinationState is timed on the same loops for comparison.

Server time per call comes from INFO commandstats (usec_per_call of EVALSHA) over a
separate run of each script. Throughput: 8 client processes, each looping claim+release
on its own file (then send+drain), all started at once; calls per second in total.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import redis  # noqa: E402

import galtro_core  # noqa: E402
from galtro import RedisCoordinationState  # noqa: E402
from galtro._store import open_state  # noqa: E402
from redis_server import RedisServer  # noqa: E402

RECIPIENTS = 100
PROCESSES = 8


def claim_release(state):
    claim, release = state.claim_file, state.release

    def run(n):
        for _ in range(n):
            claim("agent", "f")
            release("agent", "file:f")
    return run


def lock_acquire_release(client):
    lock = client.lock("bench-lock", timeout=300)

    def run(n):
        for _ in range(n):
            lock.acquire(blocking=False)
            lock.release()
    return run


def send_drain(state):
    send, drain = state.send_message, state.drain_inbox

    def run(n):
        for _ in range(n):
            send("a", "b", "0123456789abcdef0123456789abcdef")
            drain("b")
    return run


def sends(state):
    send = state.send_message

    def run(n):
        for _ in range(n):
            send("a", "b", "0123456789abcdef0123456789abcdef")
    return run


def broadcasts(state):
    broadcast = state.broadcast

    def run(n):
        for _ in range(n):
            broadcast("agent-0", "0123456789abcdef0123456789abcdef")
    return run


def interleaved(sides, repeats, batch_ms, between=None):
    """Median seconds per iteration of each side, batches taking turns."""
    n = 1
    slowest = max(sides.values(), key=lambda run: _time(run, 50) / 50)
    while _time(slowest, n) < batch_ms / 1000:
        n *= 2
    per_iteration = {name: [] for name in sides}
    names = list(sides)
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            per_iteration[name].append(_time(sides[name], n) / n)
            if between:
                between()
    return {name: statistics.median(values) for name, values in per_iteration.items()}


def _time(run, n):
    start = time.perf_counter()
    run(n)
    return time.perf_counter() - start


def server_usec_per_call(client, run, n):
    client.config_resetstat()
    run(n)
    stats = client.info("commandstats")
    return stats["cmdstat_evalsha"]["usec_per_call"]


def throughput_worker(url, index, calls, workload, barrier, results):
    state = open_state(url, "bench-throughput")  # a Redis or a SQLite URL
    if workload == "claim+release":
        def run(n, claim=state.claim_file, release=state.release, agent=f"agent-{index}"):
            for _ in range(n):
                claim(agent, agent)
                release(agent, "file:" + agent)
    else:
        def run(n, send=state.send_message, drain=state.drain_inbox, agent=f"agent-{index}"):
            for _ in range(n):
                send(agent, agent, "0123456789abcdef0123456789abcdef")
                drain(agent)
    run(10)
    barrier.wait()
    start = time.perf_counter()
    run(calls)
    results.put((start, time.perf_counter()))


def throughput(url, workload, calls):
    spawn = multiprocessing.get_context("spawn")
    barrier, results = spawn.Barrier(PROCESSES), spawn.Queue()
    workers = [spawn.Process(target=throughput_worker,
                             args=(url, i, calls, workload, barrier, results))
               for i in range(PROCESSES)]
    for worker in workers:
        worker.start()
    spans = [results.get(timeout=600) for _ in workers]
    for worker in workers:
        worker.join()
    wall = max(end for _, end in spans) - min(start for start, _ in spans)
    return PROCESSES * calls * 2 / wall  # two calls per iteration


def report_throughput(url, calls):
    """Prints the throughput of PROCESSES processes on the store of ``url``."""
    for workload in ("claim+release", "send+drain"):
        rate = throughput(url, workload, calls)
        print(f"{PROCESSES} processes, {workload:13s} {rate:9.0f} calls/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run, a few seconds")
    parser.add_argument("--repeats", type=int)
    parser.add_argument("--batch-ms", type=float)
    options = parser.parse_args()
    repeats = options.repeats or (7 if options.quick else 31)
    batch_ms = options.batch_ms or (20.0 if options.quick else 100.0)
    calls = 500 if options.quick else 5000

    with tempfile.TemporaryDirectory() as folder:
        server = RedisServer(folder).start()
        try:
            client = redis.Redis(unix_socket_path=server.socket)
            ours = RedisCoordinationState(client, "bench")
            local = galtro_core.CoordinationState()
            version = client.info("server")["redis_version"]
            print(f"redis-server {version}, redis-py {redis.__version__}, Python "
                  f"{sys.version.split()[0]}, Unix socket; medians of {repeats} repeats")

            pair = interleaved({"ours": claim_release(ours), "lock": lock_acquire_release(client),
                                "in-process": claim_release(local)}, repeats, batch_ms)
            print(f"claim_file+release   {pair['ours'] * 1e6:7.1f} us   redis-py Lock "
                  f"acquire+release {pair['lock'] * 1e6:7.1f} us   ratio "
                  f"{pair['ours'] / pair['lock']:.2f}x   in-process "
                  f"{pair['in-process'] * 1e9:6.0f} ns")

            pair = interleaved({"ours": send_drain(ours), "in-process": send_drain(local)},
                               repeats, batch_ms)
            print(f"send_message+drain   {pair['ours'] * 1e6:7.1f} us   in-process "
                  f"{pair['in-process'] * 1e9:6.0f} ns")

            for i in range(RECIPIENTS):
                ours.send_message("setup", f"agent-{i}", "")
            inboxes = [ours._layout.inbox_prefix + f"agent-{i}".encode()
                       for i in range(RECIPIENTS)] + [ours._layout.inbox_prefix + b"b"]
            pair = interleaved({"send": sends(ours), "broadcast": broadcasts(ours)}, repeats,
                               batch_ms, between=lambda: client.delete(*inboxes))
            send_server = server_usec_per_call(client, sends(ours), 2000)
            broadcast_server = server_usec_per_call(client, broadcasts(ours), 2000)
            client.delete(*inboxes)
            print(f"send_message         {pair['send'] * 1e6:7.1f} us   broadcast to "
                  f"{RECIPIENTS} {pair['broadcast'] * 1e6:7.1f} us   ratio "
                  f"{pair['broadcast'] / pair['send']:.2f}x")
            print(f"server time per call: send_message {send_server:.1f} us, broadcast "
                  f"{broadcast_server:.1f} us = {broadcast_server / RECIPIENTS:.2f} us per "
                  f"recipient")

            report_throughput(server.url, calls)
            client.close()
        finally:
            server.stop()


if __name__ == "__main__":
    main()
