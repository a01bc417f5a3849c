"""The dashboard and the report on a large state: 10,000 claims and 100,000 history events.

    python benchmarks/dashboard_benchmark.py [--repeats N] [--no-redis]

Fills an in-process galtro_core.CoordinationState, and a RedisCoordinationState on a
redis-server of its own (Debian's package, on a Unix socket, when it is installed), with
50 agents: 10,000 file claims that stay, 29,500 task claims released again, 30,000 direct
messages and 1,000 broadcasts. Then times, as medians of N repeats:

  first page      the page's first read: claims, agents, inbox sizes and the whole
                  history folded, with the last hour's timeline laid out and rendered
  refresh         a read a second later, after 100 new events, rendered: what the page
                  asks for every second
  refresh (HTTP)  the same through the running server: GET /live
  report (hour)   build_report(state, since=an hour ago): the whole history read and
                  folded, the hour's timeline and summary rendered

The page keeps what it has folded, so a refresh reads only the new events; the first
page and the report read all of them.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
import urllib.request
from pathlib import Path
from typing import List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import galtro_core  # noqa: E402
from galtro import dashboard  # noqa: E402
from galtro.dashboard._render import render_live  # noqa: E402
from galtro.dashboard._views import _SETTLED, Monitor  # noqa: E402

AGENTS = 50
FILES = 10_000
TASKS = 29_500
MESSAGES = 30_000
BROADCASTS = 1_000
EVENTS = FILES + 2 * TASKS + MESSAGES + BROADCASTS
assert EVENTS == 100_000


def fill(state) -> None:
    agent = [f"agent-{n:02d}" for n in range(AGENTS)]
    for n in range(FILES):
        state.claim_file(agent[n % AGENTS], f"src/module_{n:05d}.py")
    for n in range(TASKS):
        state.claim_task(agent[n % AGENTS], f"task-{n}")
        state.release(agent[n % AGENTS], f"task:task-{n}")
    for n in range(MESSAGES):
        state.send_message(agent[n % AGENTS], agent[(n + 1) % AGENTS], f"note {n}")
    for n in range(BROADCASTS):
        state.broadcast(agent[n % AGENTS], f"status {n}")


def more_events(state, round_: int) -> None:
    for n in range(50):
        state.claim_task("agent-00", f"extra-{round_}-{n}")
        state.release("agent-00", f"task:extra-{round_}-{n}")


class Timer:
    """Medians of wall-clock time and of the process's processor time (all threads),
    the latter being what a refresh costs whatever else the machine runs."""

    def __init__(self) -> None:
        self.wall: List[float] = []
        self.cpu: List[float] = []

    def __enter__(self) -> "Timer":
        self._wall, self._cpu = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *_: object) -> None:
        self.wall.append(time.perf_counter() - self._wall)
        self.cpu.append(time.process_time() - self._cpu)

    def line(self, label: str) -> str:
        wall, cpu = statistics.median(self.wall), statistics.median(self.cpu)
        return f"  {label:<16} {wall * 1000:8.1f} ms wall  {cpu * 1000:8.1f} ms processor"


def measure(name: str, state, repeats: int) -> None:
    start = time.perf_counter()
    fill(state)
    print(f"{name}: filled in {time.perf_counter() - start:.1f} s", flush=True)
    first, refresh, refresh_http, report = Timer(), Timer(), Timer(), Timer()
    for _ in range(repeats):
        with first:
            render_live(Monitor(state).read())
    monitor = Monitor(state)
    monitor.read()
    # The state was filled far faster than agents work: wait until its seconds are
    # settled, as they are in a real run, so that a refresh reads only new events.
    time.sleep(_SETTLED)
    server = dashboard.start(state)
    try:
        with urllib.request.urlopen(server.url + "live") as response:
            response.read()  # the server's first read
        time.sleep(1)
        for repeat in range(repeats):
            more_events(state, repeat)  # made before the clock starts
            with refresh:
                render_live(monitor.read())
            with refresh_http, urllib.request.urlopen(server.url + "live") as response:
                response.read()
    finally:
        server.stop()
    for _ in range(repeats):
        with report:
            dashboard.build_report(state, since=time.time() - 3600)
    print(first.line("first page"), refresh.line("refresh"), refresh_http.line("refresh (HTTP)"),
          report.line("report (hour)"), sep="\n", flush=True)


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--no-redis", action="store_true")
    args = parser.parse_args(argv)
    print(f"{FILES} claims, {EVENTS} history events, {AGENTS} agents; medians of "
          f"{args.repeats}; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    measure("in-process CoordinationState", galtro_core.CoordinationState(), args.repeats)
    if args.no_redis:
        return 0
    from redis_server import RedisServer, available

    if not available():
        print("Redis: skipped, redis-server is not installed")
        return 0
    from galtro import RedisCoordinationState

    with tempfile.TemporaryDirectory() as folder:
        server = RedisServer(Path(folder)).start()
        try:
            state = RedisCoordinationState.from_url(server.url, "dashboard-benchmark")
            measure("RedisCoordinationState", state, args.repeats)
            state.client.close()
        finally:
            server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
