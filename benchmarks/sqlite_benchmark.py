"""The SQLite state against the peers a user would otherwise pick, on one machine.

    python benchmarks/sqlite_benchmark.py [--quick] [--repeats N] [--batch-ms MS] [--dir DIR]

Needs filelock and redis-py (requirements-test.txt) and Debian's redis-server. Times,
per iteration, in one process, with the sides taking turns batch by batch (the loops,
the interleaving and the medians of redis_benchmark.py):

  claim+release   galtro.SqliteCoordinationState claim_file + release (two immediate
                  transactions; they also write the status and two history events),
                  against filelock.FileLock acquire + release on the same disk, and
                  against galtro.RedisCoordinationState on a local Unix socket.
  send+drain      send_message + drain_inbox.
  send            one send_message, against a broadcast to 100 agents.

Throughput: 8 processes, each looping claim+release on its own file (then send+drain)
on one state file, all started at once; calls per second in total.

The files lie in --dir (default: a new temporary folder under the working directory,
so on the disk the project is on; /tmp may be memory).
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import filelock  # noqa: E402
import redis  # noqa: E402

import galtro_core  # noqa: E402
from galtro import RedisCoordinationState, SqliteCoordinationState  # noqa: E402
from redis_benchmark import (RECIPIENTS, broadcasts, claim_release,  # noqa: E402
                             interleaved, report_throughput, send_drain, sends)
from redis_server import RedisServer  # noqa: E402

def file_lock(path):
    lock = filelock.FileLock(path)

    def run(n):
        for _ in range(n):
            lock.acquire()
            lock.release()
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run, a few seconds")
    parser.add_argument("--repeats", type=int)
    parser.add_argument("--batch-ms", type=float)
    parser.add_argument("--dir", help="folder for the files (default: a new one here)")
    options = parser.parse_args()
    repeats = options.repeats or (7 if options.quick else 31)
    batch_ms = options.batch_ms or (20.0 if options.quick else 100.0)
    calls = 300 if options.quick else 3000

    with tempfile.TemporaryDirectory(dir=Path(options.dir or ".").resolve()) as folder:
        server = RedisServer(folder).start()
        try:
            client = redis.Redis(unix_socket_path=server.socket)
            on_redis = RedisCoordinationState(client, "bench")
            ours = SqliteCoordinationState(f"{folder}/state.sqlite3", "bench")
            durable = SqliteCoordinationState(f"{folder}/durable.sqlite3", "bench", durable=True)
            local = galtro_core.CoordinationState()
            print(f"SQLite {sqlite3.sqlite_version}, filelock {filelock.__version__}, "
                  f"redis-server {client.info('server')['redis_version']}, Python "
                  f"{sys.version.split()[0]}, files in {Path(folder).resolve()}; medians of "
                  f"{repeats} repeats")

            pair = interleaved({"ours": claim_release(ours), "durable": claim_release(durable),
                                "filelock": file_lock(f"{folder}/bench.lock"),
                                "redis": claim_release(on_redis),
                                "in-process": claim_release(local)}, repeats, batch_ms)
            print(f"claim_file+release   {pair['ours'] * 1e6:7.1f} us   FileLock "
                  f"acquire+release {pair['filelock'] * 1e6:7.1f} us (ratio "
                  f"{pair['ours'] / pair['filelock']:.2f}x)   Redis class "
                  f"{pair['redis'] * 1e6:7.1f} us (ratio {pair['ours'] / pair['redis']:.2f}x)")
            print(f"                     durable=True {pair['durable'] * 1e6:7.1f} us   "
                  f"in-process {pair['in-process'] * 1e9:6.0f} ns")

            pair = interleaved({"ours": send_drain(ours), "redis": send_drain(on_redis)},
                               repeats, batch_ms)
            print(f"send_message+drain   {pair['ours'] * 1e6:7.1f} us   Redis class "
                  f"{pair['redis'] * 1e6:7.1f} us")

            # Known agents: agent-0 to agent-98, and b, whom the sends reach.
            fan = SqliteCoordinationState(f"{folder}/state.sqlite3", "fan-out")
            for i in range(RECIPIENTS - 1):
                fan.send_message("setup", f"agent-{i}", "")
            fan.send_message("setup", "b", "")
            raw = sqlite3.connect(f"{folder}/state.sqlite3", isolation_level=None)
            pair = interleaved({"send": sends(fan), "broadcast": broadcasts(fan)}, repeats,
                               batch_ms, between=lambda: raw.execute("DELETE FROM messages"))
            raw.close()
            print(f"send_message         {pair['send'] * 1e6:7.1f} us   broadcast to "
                  f"{RECIPIENTS} {pair['broadcast'] * 1e6:7.1f} us")

            url = f"sqlite://{Path(folder).resolve()}/throughput.sqlite3"
            report_throughput(url, calls)
            client.close()
        finally:
            server.stop()


if __name__ == "__main__":
    main()
