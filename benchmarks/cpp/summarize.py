"""Prints the table benchmark's JSON output as tables of medians (or minima).

Usage: python3 summarize.py RESULTS.json... [--out MARKDOWN] [--statistic median|min]

Several result files (say, one per workload, each run when the machine was quiet)
are merged; a benchmark found in more than one is taken from the last.

Rows are workload x threads, columns the maps; times are nanoseconds per operation
for all threads together (wall time over the operations of every thread), the median
of the repetitions (or the fastest one with --statistic min). A `~` after a number
marks a spread (standard deviation over the median) above 10 %; a `!` marks a
result whose threads were off a processor more than 10 % of the wall time (CPU time
over wall time below 0.9 per thread): either the map's lock put them to sleep, or
other work took the processors. baseline/spin tells which: its 2 threads share
nothing, so its 2-thread time is half its 1-thread time when both processors are
free.
The last column and the verdict compare the sharded table with std::unordered_map
behind one std::shared_mutex.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from collections import defaultdict

WORKLOADS = ["get", "insert", "entry", "mixed"]
MAP_ORDER = ["sharded", "umap_rw", "umap_rw_sip", "tbb_chm"]
NOISY = 0.10
ON_CPU = 0.90
PARALLEL_ENOUGH = 1.8


def load(path: str, statistic: str = "median"):
    """{(workload, keys, map, threads): (ns, spread over ns or None)}, baselines, context."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    samples = defaultdict(list)
    chosen = {}
    spreads = {}
    on_cpu = {}  # CPU time over wall time per thread, of the chosen entry
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"])
        threads = int(b.get("threads", 1))
        key = (name, threads)
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        value = b["real_time"] * scale
        share = b["cpu_time"] / b["real_time"] / threads if b["real_time"] > 0 else 1.0
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == statistic:
                chosen[key] = value
                on_cpu[key] = share
            elif b.get("aggregate_name") == "stddev":
                spreads[key] = value
        else:
            samples[key].append((value, share))
    pick = min if statistic == "min" else statistics.median
    for key, runs in samples.items():
        if key not in chosen:
            values = [v for v, _ in runs]
            chosen[key] = pick(values)
            on_cpu[key] = statistics.median(s for _, s in runs)
            if len(values) > 1:
                spreads[key] = statistics.stdev(values)
    rows = {}
    baselines = {}
    diagnostics = {}
    for (name, threads), median in chosen.items():
        parts = name.split("/")
        spread = spreads.get((name, threads))
        rel = spread / median if spread is not None and median > 0 else None
        entry = (median, rel, on_cpu.get((name, threads), 1.0))
        if parts[0] == "baseline":
            baselines[(parts[1], threads)] = entry
        elif parts[0] == "diagnostic":
            diagnostics[(parts[1], threads)] = entry
        elif len(parts) >= 3:
            rows[(parts[0], parts[1], parts[2], threads)] = entry
    return rows, baselines, diagnostics, data.get("context", {})


def cell(entry) -> str:
    if entry is None:
        return "-"
    value, rel, share = entry
    text = f"{value:.1f}" if value < 1000 else f"{value:.0f}"
    text += "~" if rel is not None and rel > NOISY else ""
    return text + ("!" if share < ON_CPU else "")


def ratio(rows, workload, keys, threads):
    a = rows.get((workload, keys, "sharded", threads))
    b = rows.get((workload, keys, "umap_rw", threads))
    if a is None or b is None or b[0] == 0:
        return None
    return a[0] / b[0]


def table(rows, keys, statistic) -> list[str]:
    maps = [m for m in MAP_ORDER if any(k[1] == keys and k[2] == m for k in rows)]
    if not maps:
        return []
    header = ["workload", "threads", *maps, "sharded/umap_rw"]
    lines = [
        f"{keys} keys, ns per operation ({statistic})",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "|".join("---" for _ in header) + "|",
    ]
    threads_seen = sorted({k[3] for k in rows if k[1] == keys})
    for workload in WORKLOADS:
        for threads in threads_seen:
            if not any((workload, keys, m, threads) in rows for m in maps):
                continue
            r = ratio(rows, workload, keys, threads)
            cells = [workload, str(threads)]
            cells += [cell(rows.get((workload, keys, m, threads))) for m in maps]
            cells.append("-" if r is None else f"{r:.2f}")
            lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="JSON written by --benchmark_out")
    parser.add_argument("--out", help="also write the tables to this file")
    parser.add_argument("--statistic", choices=["median", "min"], default="median")
    args = parser.parse_args(argv[1:])
    statistic = args.statistic
    rows, baselines, diagnostics = {}, {}, {}
    out = []
    parallels = []
    for path in args.results:
        file_rows, file_baselines, file_diagnostics, context = load(path, statistic)
        rows.update(file_rows)
        baselines.update(file_baselines)
        diagnostics.update(file_diagnostics)
        spin1, spin2 = file_baselines.get(("spin", 1)), file_baselines.get(("spin", 2))
        if spin1 and spin2 and spin2[0] > 0:
            parallels.append(spin1[0] / spin2[0])
        load_avg = context.get("load_avg")
        if load_avg:
            where = f" ({path})" if len(args.results) > 1 else ""
            out.append("load average at start" + where + ": "
                       + ", ".join(f"{x:.2f}" for x in load_avg))
    out.append("")
    for keys in ("text", "u64"):
        out += table(rows, keys, statistic)
    parallel = min(parallels) if parallels else None
    if baselines:
        costs = [f"{name} {cell(v)}" for (name, threads), v in sorted(baselines.items())
                 if name != "spin"]
        if costs:
            out.append("per-call costs outside the maps (1 thread, ns): " + ", ".join(costs))
        if parallel is not None:
            worst = " (the least of the files)" if len(parallels) > 1 else ""
            out.append(f"processors free for the run: baseline/spin ran {parallel:.2f}x "
                       f"as fast on 2 threads as on 1{worst} (2.00 on an idle 2-processor machine)")
        out.append("")
    if diagnostics:
        parts = []
        for (name, threads), entry in sorted(diagnostics.items()):
            shared = rows.get(("get", "u64", "sharded", threads))
            parts.append(f"{threads} thread(s) {cell(entry)} (sharing shards: {cell(shared)})")
        out.append("get/u64/sharded with each thread on shards of its own, ns: " + "; ".join(parts))
        out.append("")
    r = ratio(rows, "mixed", "text", 2)
    if r is None:
        out.append("goal (2-thread mixed, text keys): not measured")
    else:
        verdict = "met" if r < 1.0 else "NOT met"
        if parallel is not None and parallel < PARALLEL_ENOUGH:
            verdict += (f" (inconclusive: the 2 threads ran only {parallel:.2f}x as fast as 1 "
                        "on work they share nothing in; re-run on a quieter machine)")
        out.append(f"goal (2-thread mixed, text keys): sharded / umap_rw = {r:.3f} -> {verdict}")
    r64 = ratio(rows, "mixed", "u64", 2)
    if r64 is not None:
        out.append(f"      (2-thread mixed, u64 keys):  sharded / umap_rw = {r64:.3f}")
    text = "\n".join(out)
    print(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
