"""Interleaved benchmark of galtro_core against its floor and a pure-Python version.

    python benchmarks/run.py [--quick] [--impls core,floor,pure] [--json FILE] ...

Implementations:
  core   galtro_core.CoordinationState, the native module as installed;
  floor  galtro_floor.CoordinationState (benchmarks/floor): the same calls, bound and
         converted the same way, answering with results of the same shape, but doing
         no coordination work: the least any native binding of these methods costs;
  pure   benchmarks/pure_python.py: the same state written in plain Python.

Timing. For every workload all implementations are measured in one process, taking
turns: repeat by repeat, each implementation times one batch of N iterations of the
workload's loop (the same loop text for all, over bound methods held in fast locals)
with time.perf_counter_ns, and the order of the implementations rotates from repeat
to repeat. A drift of the machine (another job, frequency, temperature) therefore
hits every implementation alike instead of whichever ran during it. N is calibrated
per workload so that the slowest implementation's batch takes about --batch-ms;
all implementations run the same N. The garbage collector is off while batches run.
Workloads marked "fresh" get a new state (untimed) before every batch; the others
build their state once per implementation and keep it.

The numbers are per loop iteration (see the workload's text for what one iteration
does), medians over the repeats. Ratios are paired: each repeat gives one ratio of
two implementations' batches, timed back to back in the same round, and the table
shows the median of those per-repeat ratios, so that a slow stretch of the machine
cancels out instead of landing on one side. The empty loop's own cost per iteration
is printed above the table and is part of every number.

Memory is measured in a new child process per implementation: resident size from
/proc/self/statm before and after filling a state with many held claims or pending
32-byte messages, divided by their number (history and statuses included), averaged
over four fill levels a quarter of a doubling apart.

Results are printed as a markdown table; --json also writes them as a pyperf
benchmark suite (one benchmark per workload and implementation, one value per
repeat), readable by `python -m pyperf stats|compare_to FILE`.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from itertools import repeat
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DEFAULT_FLOOR_DIR = ROOT / "build" / "bench" / "floor"

CONTENT_32 = "0123456789abcdef0123456789abcdef"
assert len(CONTENT_32.encode()) == 32

QUICK = {"repeats": 9, "batch_ms": 5.0, "memory_items": 200_000}
FULL = {"repeats": 41, "batch_ms": 20.0, "memory_items": 500_000}


# ---------------------------------------------------------------------------------
# Implementations


@dataclass
class Impl:
    name: str
    module: object

    def new_state(self):
        return self.module.CoordinationState()

    def configure(self, pending: int = 0, refusing: str | None = None) -> None:
        """Tells the floor what to answer; the real implementations need no telling."""
        if self.name == "floor":
            self.module.set_pending(pending, "agent-1", CONTENT_32)
            self.module.set_refusal(refusing)


def load_impl(name: str, floor_dir: Path) -> Impl:
    if name == "core":
        return Impl(name, importlib.import_module("galtro_core"))
    if name == "floor":
        if str(floor_dir) not in sys.path:
            sys.path.insert(0, str(floor_dir))
        return Impl(name, importlib.import_module("galtro_floor"))
    if name == "pure":
        if str(HERE) not in sys.path:
            sys.path.insert(0, str(HERE))
        return Impl(name, importlib.import_module("pure_python"))
    raise ValueError(f"unknown implementation {name!r}")


# ---------------------------------------------------------------------------------
# Workloads

# Every workload's loop is this function, compiled once per workload and made anew
# (one exec, untimed) for each state so that the bound methods become its defaults,
# that is fast locals.
LOOP_TEMPLATE = """\
def run(n, {params}_clock=_clock, _repeat=_repeat):
    start = _clock()
    for _ in _repeat(None, n):
{body}
    return _clock() - start
"""


@dataclass
class Workload:
    name: str
    what: str  # what one iteration does
    setup: Callable[[Impl], dict]  # builds the state; returns the loop's locals
    body: str  # statements of one iteration, over the names that setup returns
    fresh: bool = True  # a new state before every batch
    quick: bool = True  # part of --quick
    _code: object = field(default=None, repr=False)

    def make(self, impl: Impl) -> Callable[[int], int]:
        impl.configure()  # the floor's answers are global: start each setup from none
        names = self.setup(impl)
        if self._code is None:
            params = "".join(f"{name}={name}, " for name in names)
            body = "\n".join("        " + line for line in self.body.splitlines())
            source = LOOP_TEMPLATE.format(params=params, body=body)
            self._code = compile(source, f"<workload {self.name}>", "exec")
        namespace = dict(names, _clock=time.perf_counter_ns, _repeat=repeat)
        exec(self._code, namespace)
        return namespace["run"]


def held_key(impl: Impl) -> dict:
    state = impl.new_state()
    state.claim_file("agent-0", "src/held.rs")
    impl.configure(refusing="agent-0")
    return {"claim_file": state.claim_file}


def status_known(impl: Impl) -> dict:
    state = impl.new_state()
    state.claim_file("agent-1", "src/lib.rs")
    impl.configure()
    return {"status": state.status}


def status_unknown(impl: Impl) -> dict:
    state = impl.new_state()
    state.claim_file("agent-1", "src/lib.rs")
    impl.configure()
    return {"status": state.status}


def claim_release(held: int) -> Callable[[Impl], dict]:
    def setup(impl: Impl) -> dict:
        state = impl.new_state()
        claim = state.claim_file
        for i in range(held):
            claim(f"agent-{i % 100}", f"src/held/{i}.rs")
        impl.configure()
        return {"claim_file": state.claim_file, "release": state.release}

    return setup


def renew(impl: Impl) -> dict:
    state = impl.new_state()
    state.claim_file("agent-1", "src/lib.rs")
    impl.configure()
    return {"renew_claim": state.renew_claim}


def messaging(impl: Impl) -> dict:
    state = impl.new_state()
    impl.configure(pending=10)
    return {"send_message": state.send_message, "drain_inbox": state.drain_inbox,
            "content": CONTENT_32, "ten": range(10)}


def ten_pending(impl: Impl) -> dict:
    state = impl.new_state()
    for _ in range(10):
        state.send_message("agent-1", "agent-2", CONTENT_32)
    impl.configure(pending=10)
    return {"inbox": state.inbox}


def known_agents(count: int) -> Callable[[Impl], dict]:
    def setup(impl: Impl) -> dict:
        state = impl.new_state()
        for i in range(count):
            state.send_message("setup", f"agent-{i}", "hello")
        state.drain_inbox("agent-0")
        impl.configure()
        return {"broadcast": state.broadcast, "content": CONTENT_32}

    return setup


CLAIM_RELEASE = 'claim_file("agent-1", "src/lib.rs")\nrelease("agent-1", "file:src/lib.rs")'
# Ids and paths of the length real callers use: over the 15 bytes that a text keeps
# without a heap block, as most agent ids and every resource key of a real tree are.
LONG_AGENT = "agent-backend-07"
LONG_PEER = "agent-frontend-12"
LONG_PATH = "src/galtro/module_042.py"
CLAIM_RELEASE_LONG = (f'claim_file("{LONG_AGENT}", "{LONG_PATH}")\n'
                      f'release("{LONG_AGENT}", "file:{LONG_PATH}")')
CLAIM_RELEASE_KW = ('claim_file(agent_id="agent-1", path="src/lib.rs")\n'
                    'release(agent_id="agent-1", resource_key="file:src/lib.rs")')

WORKLOADS = [
    Workload("status, known agent", "status() of a busy agent", status_known,
             'status("agent-1")'),
    Workload("status, known agent, kw", "the same by keyword", status_known,
             'status(agent_id="agent-1")'),
    Workload("status, unknown agent", "status() of an agent without entry", status_unknown,
             'status("agent-9")'),
    Workload("claim_file+release, free key", "claim a free file, release it", claim_release(0),
             CLAIM_RELEASE),
    Workload("claim_file+release, free key, kw", "the same by keyword", claim_release(0),
             CLAIM_RELEASE_KW),
    Workload("claim_file+release, long path", f"the same as {LONG_AGENT} on {LONG_PATH}",
             claim_release(0), CLAIM_RELEASE_LONG),
    Workload("claim_file refused", "claim a file another agent holds; RuntimeError caught",
             held_key,
             'try:\n    claim_file("agent-1", "src/held.rs")\nexcept RuntimeError:\n    pass'),
    Workload("renew_claim", "holder renews its claim", renew,
             'renew_claim("agent-1", "file:src/lib.rs")'),
    Workload("renew_claim, kw", "the same by keyword", renew,
             'renew_claim(agent_id="agent-1", resource_key="file:src/lib.rs")'),
    Workload("send_message 32 B", "one direct message", messaging,
             'send_message("agent-1", "agent-2", content)'),
    Workload("send_message 32 B, kw", "the same by keyword", messaging,
             'send_message(from_agent="agent-1", to_agent="agent-2", content=content)'),
    Workload("send_message 32 B, long ids", f"one direct message, {LONG_AGENT} to {LONG_PEER}",
             messaging, f'send_message("{LONG_AGENT}", "{LONG_PEER}", content)'),
    Workload("inbox, 10 pending", "list an inbox of 10 messages", ten_pending,
             'inbox("agent-2")'),
    Workload("10 sends + drain_inbox", "10 direct messages, then drain them", messaging,
             'for _ in ten:\n    send_message("agent-1", "agent-2", content)\n'
             'drain_inbox("agent-2")'),
    Workload("broadcast to 10", "broadcast to 10 known agents", known_agents(10),
             'broadcast("agent-0", content)'),
    Workload("broadcast to 100", "broadcast to 100 known agents", known_agents(100),
             'broadcast("agent-0", content)'),
    Workload("claim_file+release, 1k held", "as free key, 1,000 claims held by others",
             claim_release(1_000), CLAIM_RELEASE, fresh=False),
    Workload("claim_file+release, 100k held", "as free key, 100,000 claims held by others",
             claim_release(100_000), CLAIM_RELEASE, fresh=False),
    Workload("claim_file+release, 1M held", "as free key, 1,000,000 claims held by others",
             claim_release(1_000_000), CLAIM_RELEASE, fresh=False),
]


# ---------------------------------------------------------------------------------
# Interleaved timing


def calibrate(workload: Workload, impls: list[Impl], runs: dict, target_ns: float) -> int:
    """Loop count that makes the slowest implementation's batch take about target_ns."""
    slowest = 0.0
    for impl in impls:
        run = runs.get(impl.name) or workload.make(impl)
        run(1)  # warm up: first call of every method, caches
        n = 1
        while True:
            elapsed = run(n)
            if elapsed >= target_ns / 8 or n >= 1 << 24:
                break
            n *= 2
        # the least of three, so that one preempted batch does not shrink the count
        elapsed = min(elapsed, run(n), run(n))
        slowest = max(slowest, elapsed / n)
        del run
    return max(1, int(target_ns / slowest))


def empty_loop_ns(n: int = 200_000) -> float:
    def run(n, _clock=time.perf_counter_ns, _repeat=repeat):
        start = _clock()
        for _ in _repeat(None, n):
            pass
        return _clock() - start

    return min(run(n) for _ in range(5)) / n


# How many other tasks were ready to run, sampled after every batch: a busy machine
# shows here at once, where the load average (which counts this run too) lags.
OTHER_RUNNABLE: list[int] = []


def sample_other_runnable() -> None:
    try:
        with open("/proc/loadavg") as loadavg:
            running = int(loadavg.read().split()[3].split("/")[0])
    except (OSError, IndexError, ValueError):
        return
    OTHER_RUNNABLE.append(max(0, running - 1))


def measure(workload: Workload, impls: list[Impl], repeats: int, target_ns: float,
            log) -> tuple[int, dict[str, list[float]]]:
    """Per-iteration times in ns, one per repeat, for each implementation."""
    runs = {}
    if not workload.fresh:
        started = time.perf_counter()
        for impl in impls:
            runs[impl.name] = workload.make(impl)
        log(f"  state built in {time.perf_counter() - started:.1f} s")
    loops = calibrate(workload, impls, runs, target_ns)
    times: dict[str, list[float]] = {impl.name: [] for impl in impls}
    for rep in range(repeats):
        shift = rep % len(impls)
        for impl in impls[shift:] + impls[:shift]:
            run = runs.get(impl.name) or workload.make(impl)
            times[impl.name].append(run(loops) / loops)
            sample_other_runnable()
            del run  # a fresh state is freed here, outside the timed batch
    runs.clear()
    gc.collect()
    return loops, times


# ---------------------------------------------------------------------------------
# Memory, in a child process per implementation


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(impl_name: str, kind: str, count: int, floor_dir: Path) -> None:
    """Prints the mean resident bytes per item at four fill levels from `count` to
    about 1.7 x `count`, a quarter of a doubling apart: tables grow by doubling, so
    one fill level alone could land just before or just after a growth."""
    impl = load_impl(impl_name, floor_dir)
    agents = [f"agent-{i}" for i in range(100)]
    state = impl.new_state()
    # One of each call first, so that nothing allocated once is counted.
    state.claim_file("warm", "warm")
    state.send_message("warm", "warm", CONTENT_32)
    gc.collect()
    before = rss_bytes()
    claim, send = state.claim_file, state.send_message
    levels = [round(count * 2 ** (k / 4)) for k in range(4)]
    per_item = []
    done = 0
    for level in levels:
        if kind == "claims":
            for i in range(done, level):
                claim(agents[i % 100], f"src/module_{i:07d}.rs")
        else:
            for i in range(done, level):
                send("agent-sender", agents[i % 100], f"message {i:024d}")
        done = level
        gc.collect()
        per_item.append((rss_bytes() - before) / level)
    print(json.dumps({"bytes_per_item": statistics.mean(per_item), "levels": levels,
                      "per_level": per_item}))


def measure_memory(impl: Impl, kind: str, count: int, floor_dir: Path) -> float:
    command = [sys.executable, str(Path(__file__).resolve()), "--memory-child",
               impl.name, kind, str(count), "--floor-dir", str(floor_dir)]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])["bytes_per_item"]


# ---------------------------------------------------------------------------------
# Report


def pyperf_suite(results: list, metadata: dict):
    import pyperf

    # The machine's and interpreter's description, collected once for all runs.
    collected = pyperf.Run([1.0], metadata={"name": "-"}).get_metadata()
    collected.pop("name", None)
    metadata = dict(collected, **metadata)
    benchmarks = []
    for workload, loops, times in results:
        for impl_name, values in times.items():
            run_metadata = dict(metadata, name=f"{workload.name} [{impl_name}]",
                                loops=loops, unit="second",
                                description=workload.what)
            run = pyperf.Run([value / 1e9 for value in values], metadata=run_metadata,
                             collect_metadata=False)
            benchmarks.append(pyperf.Benchmark([run]))
    return pyperf.BenchmarkSuite(benchmarks)


STATISTICS = {"median": statistics.median, "min": min}


def format_ns(value: float | None) -> str:
    if value is None:
        return "n/a"
    if value >= 100_000:
        return f"{value / 1000:,.0f} µs"
    if value >= 10_000:
        return f"{value / 1000:.1f} µs"
    if value >= 100:
        return f"{value:,.0f} ns"
    return f"{value:.1f} ns"


def ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None:
        return "n/a"
    return f"{a / b:.2f}"


def paired_ratio(times: dict[str, list[float]], a: str, b: str,
                 pick: Callable[[list[float]], float]) -> float | None:
    """The statistic `pick` (median or min) of the per-repeat ratios a/b: repeat i of
    each implementation ran in the same round, so their quotient is free of whatever
    the machine did in other rounds."""
    if a not in times or b not in times:
        return None
    return pick([x / y for x, y in zip(times[a], times[b])])


def format_ratio(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}"


def spread_mark(values: list[float]) -> str:
    """'~' when the repeats scatter by more than 5 % (median absolute deviation)."""
    if len(values) < 3:
        return ""
    median = statistics.median(values)
    mad = statistics.median(abs(value - median) for value in values)
    return " ~" if mad > 0.05 * median else ""


def timing_table(results: list, pick: Callable[[list[float]], float]) -> str:
    columns = ["core", "floor", "pure"]
    lines = ["| workload | core | floor | pure | core − floor | core/floor | core/pure |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for workload, _loops, times in results:
        medians = {name: pick(times[name]) if name in times else None for name in columns}
        cells = [format_ns(medians[name]) + (spread_mark(times[name]) if name in times else "")
                 for name in columns]
        core, floor, pure = medians["core"], medians["floor"], medians["pure"]
        work = format_ns(core - floor) if core is not None and floor is not None else "n/a"
        lines.append(f"| {workload.name} | {' | '.join(cells)} | {work} | "
                     f"{format_ratio(paired_ratio(times, 'core', 'floor', pick))} | "
                     f"{format_ratio(paired_ratio(times, 'core', 'pure', pick))} |")
    return "\n".join(lines)


def scaling_lines(results: list, pick: Callable[[list[float]], float]) -> list[str]:
    """How much slower claim + release is with 1M claims held than with 1k, per
    implementation (a ratio of the two workloads' statistics: they ran apart)."""
    by_name = {workload.name: times for workload, _loops, times in results}
    small = by_name.get("claim_file+release, 1k held")
    large = by_name.get("claim_file+release, 1M held")
    if small is None or large is None:
        return []
    cells = [f"{name} {pick(large[name]) / pick(small[name]):.2f}"
             for name in ("core", "floor", "pure") if name in small and name in large]
    return [f"- claim_file+release with 1M held / with 1k held: {', '.join(cells)}"]


def memory_table(memory: dict) -> str:
    lines = ["| bytes per | core | pure | core/pure |", "|---|---:|---:|---:|"]
    for kind, label in (("claims", "held claim"), ("messages", "pending 32-byte message")):
        core, pure = memory.get(("core", kind)), memory.get(("pure", kind))
        cells = [f"{value:,.0f}" if value is not None else "n/a" for value in (core, pure)]
        lines.append(f"| {label} | {cells[0]} | {cells[1]} | {ratio(core, pure)} |")
    return "\n".join(lines)


def environment_lines(impls: list[Impl]) -> list[str]:
    lines = [f"python {sys.version.split()[0]} ({sys.executable})"]
    for impl in impls:
        lines.append(f"{impl.name}: {getattr(impl.module, '__file__', '?')}")
    load = os.getloadavg()
    lines.append(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} (this run "
                 f"included); cpus {sorted(os.sched_getaffinity(0))} of {os.cpu_count()}")
    if OTHER_RUNNABLE:
        busy = statistics.mean(OTHER_RUNNABLE)
        lines.append(f"other runnable tasks between batches: {busy:.2f} on average, "
                     f"{max(OTHER_RUNNABLE)} at most ({len(OTHER_RUNNABLE)} samples)")
        if busy >= 0.25:
            lines.append("WARNING: the machine is not idle; take these numbers as a "
                         "smoke check")
    return lines


# ---------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="few short repeats, for a smoke check (under a minute)")
    parser.add_argument("--impls", default=None,
                        help="comma-separated subset of core,floor,pure "
                             "(default: all; core is left out with a warning if absent)")
    parser.add_argument("--only", default=None,
                        help="run only workloads whose name contains this text")
    parser.add_argument("--repeats", type=int, help="repeats per workload")
    parser.add_argument("--batch-ms", type=float, help="target time of one batch")
    parser.add_argument("--memory-items", type=int, help="claims / messages for memory")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory part")
    parser.add_argument("--statistic", choices=sorted(STATISTICS), default="median",
                        help="what the table shows of each implementation's repeats "
                             "(min is steadier on a busy machine)")
    parser.add_argument("--affinity", type=int, default=None,
                        help="pin this process (and the memory children) to one CPU")
    parser.add_argument("--floor-dir", type=Path, default=DEFAULT_FLOOR_DIR,
                        help="folder holding galtro_floor.abi3.so")
    parser.add_argument("--json", type=Path, help="also write a pyperf suite here")
    parser.add_argument("--markdown", type=Path, help="also write the tables here")
    parser.add_argument("--memory-child", nargs=3, metavar=("IMPL", "KIND", "COUNT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        impl_name, kind, count = args.memory_child
        memory_child(impl_name, kind, int(count), args.floor_dir)
        return 0

    mode = QUICK if args.quick else FULL
    repeats = args.repeats or mode["repeats"]
    target_ns = (args.batch_ms or mode["batch_ms"]) * 1e6
    memory_items = args.memory_items or mode["memory_items"]
    if args.affinity is not None:
        os.sched_setaffinity(0, {args.affinity})

    log = lambda text: print(text, file=sys.stderr, flush=True)  # noqa: E731
    requested = args.impls.split(",") if args.impls else ["core", "floor", "pure"]
    impls = []
    for name in requested:
        try:
            impls.append(load_impl(name, args.floor_dir))
        except ImportError as error:
            if args.impls:
                raise
            log(f"WARNING: {name} left out: {error}")
    if not impls:
        log("no implementation to run")
        return 1

    workloads = [w for w in WORKLOADS if (w.quick or not args.quick)
                 and (args.only is None or args.only in w.name)]
    started = time.perf_counter()
    loop_ns = empty_loop_ns()
    results = []
    gc.collect()
    gc.disable()
    try:
        for workload in workloads:
            log(f"{workload.name} ...")
            loops, times = measure(workload, impls, repeats, target_ns, log)
            results.append((workload, loops, times))
    finally:
        gc.enable()

    memory: dict = {}
    if not args.no_memory:
        for impl in impls:
            if impl.name == "floor":
                continue
            for kind in ("claims", "messages"):
                log(f"memory: {impl.name}, {memory_items:,} {kind} ...")
                memory[(impl.name, kind)] = measure_memory(impl, kind, memory_items,
                                                           args.floor_dir)

    mode_name = "quick" if args.quick else "full"
    report = [f"## galtro_core benchmark ({mode_name}: {repeats} interleaved repeats, "
              f"batches of ~{target_ns / 1e6:g} ms)", ""]
    report += [f"- {line}" for line in environment_lines(impls)]
    report += [f"- empty loop: {loop_ns:.1f} ns per iteration (included below)",
               f"- time per loop iteration, {args.statistic} over repeats; "
               "~ marks a spread (MAD) above 5 %; "
               f"ratios are the {args.statistic} of per-repeat (paired) ratios", "",
               timing_table(results, STATISTICS[args.statistic]), ""]
    report += scaling_lines(results, STATISTICS[args.statistic])
    if memory:
        report += [f"Memory (resident size, fresh process each, mean over {memory_items:,} "
                   f"to {round(memory_items * 2 ** 0.75):,} items):", "",
                   memory_table(memory), ""]
    report.append(f"_took {time.perf_counter() - started:.0f} s_")
    text = "\n".join(report)
    print(text)
    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text(text + "\n")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        metadata = {"galtro_mode": mode_name}
        suite = pyperf_suite(results, metadata)
        suite.dump(str(args.json), replace=True)
        log(f"pyperf suite written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
