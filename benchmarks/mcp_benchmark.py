"""What a tool call of ``galtro mcp`` costs on top of the same call made on the store.

    python benchmarks/mcp_benchmark.py [--quick] [--pairs N] [--repeats R]

Times one ``claim_file`` + ``release`` pair, per pair:

  direct     the two methods called on the state, in this process;
  in memory  the two tools through the MCP SDK's in-memory client (``mcp.Client(server)``):
             argument validation, the worker thread the SDK runs each tool on, the
             result's schema check, no JSON-RPC framing;
  stdio      the two tools through the SDK's stdio client, to a ``galtro mcp --agent``
             process: JSON-RPC over pipes, plus a second process on the same store.

on the in-process ``galtro_core.CoordinationState`` (direct and in memory), and all three
ways on a ``galtro.SqliteCoordinationState`` in a temporary file and on a
``galtro.RedisCoordinationState`` against its own redis-server on a Unix socket (the
stdio server opens the same store by its URL). Each side runs R batches of N
pairs, taking turns, and the figure is the median per pair; the overhead per tool call
is half the difference between a client's pair and the direct pair.

Needs the ``mcp`` package (Python 3.10 or later), redis-py and ``redis-server``.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import anyio  # noqa: E402
from mcp import Client, StdioServerParameters  # noqa: E402

import galtro_core  # noqa: E402
from galtro import RedisCoordinationState, SqliteCoordinationState  # noqa: E402
from galtro._mcp import build_server  # noqa: E402
from redis_server import RedisServer  # noqa: E402

ROOT = "/bench"


def direct(state, pairs):
    claim, release = state.claim_file, state.release
    started = time.perf_counter()
    for _ in range(pairs):
        claim("agent", "f.py")
        release("agent", "file:f.py")
    return time.perf_counter() - started


async def through(client, pairs):
    started = time.perf_counter()
    for _ in range(pairs):
        claimed = await client.call_tool("claim_file", {"path": "f.py"})
        released = await client.call_tool("release", {"resource": "file:f.py"})
        assert not claimed.is_error and not released.is_error
    return time.perf_counter() - started


def microseconds_per_pair(times, pairs):
    return statistics.median(times) / pairs * 1e6


async def measure(state, stdio_parameters, pairs, repeats):
    """Median microseconds per pair: direct, in memory, and (with parameters) stdio."""
    sides = {"direct": [], "in memory": [], "stdio": []}
    async with Client(build_server(state, "agent", root=ROOT)) as memory:
        stdio = None
        if stdio_parameters is not None:
            stdio = await Client(stdio_parameters).__aenter__()
        try:
            await through(memory, 10)
            if stdio is not None:
                await through(stdio, 10)
            for _ in range(repeats):  # taking turns, batch by batch
                sides["direct"].append(direct(state, pairs))
                sides["in memory"].append(await through(memory, pairs))
                if stdio is not None:
                    sides["stdio"].append(await through(stdio, pairs))
        finally:
            if stdio is not None:
                await stdio.__aexit__(None, None, None)
    return {name: microseconds_per_pair(times, pairs) for name, times in sides.items() if times}


def report(store, figures):
    base = figures["direct"]
    print(f"{store}:")
    for name, per_pair in figures.items():
        extra = "" if name == "direct" else \
            f"   +{(per_pair - base) / 2:8.1f} us per tool call"
        print(f"  {name:10s} {per_pair:9.1f} us per claim_file + release{extra}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few seconds")
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    pairs, repeats = (50, 3) if args.quick else (args.pairs, args.repeats)

    report("in-process CoordinationState",
           anyio.run(measure, galtro_core.CoordinationState(), None, pairs, repeats))
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "state.sqlite3"
        report("SqliteCoordinationState (temporary file)",
               anyio.run(measure, SqliteCoordinationState(path, "bench"),
                         stdio_server(f"sqlite://{path}"), pairs, repeats))
        server = RedisServer(folder).start()
        try:
            state = RedisCoordinationState.from_url(server.url, "bench")
            report("RedisCoordinationState (Unix socket)",
                   anyio.run(measure, state, stdio_server(server.url), pairs, repeats))
            state.client.close()
        finally:
            server.stop()


def stdio_server(url):
    """A ``galtro mcp`` process on the store at ``url``, as the agent "agent"."""
    return StdioServerParameters(
        command=sys.executable,
        args=["-m", "galtro", "--url", url, "--namespace", "bench", "mcp", "--agent", "agent",
              "--root", ROOT],
        env=dict(os.environ))


if __name__ == "__main__":
    main()
