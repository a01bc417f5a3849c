"""Paired speed comparison of two builds of galtro_core, both loaded in one process.

    python benchmarks/compare_builds.py BASE CANDIDATE [--quick] [--only TEXT] [--limit 1.05]

BASE and CANDIDATE are wheels or module files (galtro_core*.so) of the same platform as
this interpreter; for example the wheel `pip wheel .` builds with the system compiler
and the release wheel from scripts/build_wheels.sh. Both are loaded under the name
galtro_core (the first is taken out of sys.modules before the second is loaded; each
file has its own copy of the module's state), and every workload of run.py is timed on
both, interleaved as run.py interleaves implementations: repeat by repeat each build
times one batch, the order alternating.

The figure per workload is the median over the repeats of the paired ratio
CANDIDATE / BASE of the two batches of one repeat, which run back to back, so a drift
of the machine cancels out of each ratio. Exits 1 if any workload's ratio is above
--limit.
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import statistics
import sys
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run as bench  # noqa: E402  (the workloads and the interleaved timing)


def module_file(path: Path, scratch: Path) -> Path:
    """The module file itself, taken out of the wheel if `path` is one (into a folder of
    `scratch` that no other wheel uses: two builds' wheels often have the same name)."""
    if path.suffix != ".whl":
        return path
    with zipfile.ZipFile(path) as wheel:
        names = [n for n in wheel.namelist() if n.startswith("galtro_core") and n.endswith(".so")]
        if len(names) != 1:
            raise SystemExit(f"{path}: expected one galtro_core module, found {names}")
        folder = Path(tempfile.mkdtemp(prefix=path.stem + "-", dir=scratch))
        wheel.extract(names[0], folder)
        return folder / names[0]


def load_build(label: str, path: Path) -> bench.Impl:
    """Loads the module file as galtro_core, beside any build loaded before."""
    sys.modules.pop("galtro_core", None)
    spec = importlib.util.spec_from_file_location("galtro_core", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"{path}: not a loadable module")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return bench.Impl(label, module)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("base", type=Path)
    parser.add_argument("candidate", type=Path)
    parser.add_argument("--quick", action="store_true", help="fewer repeats, shorter batches")
    parser.add_argument("--only", default=None, help="workloads whose name contains this")
    parser.add_argument("--repeats", type=int, help="repeats per workload")
    parser.add_argument("--limit", type=float, default=1.05,
                        help="highest allowed paired ratio (default 1.05)")
    args = parser.parse_args()
    mode = bench.QUICK if args.quick else bench.FULL
    repeats = args.repeats or mode["repeats"]
    target_ns = mode["batch_ms"] * 1e6

    with tempfile.TemporaryDirectory() as scratch:
        base_file = module_file(args.base.resolve(), Path(scratch))
        candidate_file = module_file(args.candidate.resolve(), Path(scratch))
        builds = [load_build("base", base_file), load_build("candidate", candidate_file)]
        if builds[0].module is builds[1].module:
            raise SystemExit("both names gave the same module; the second file was not loaded")

        log = lambda text: print(text, file=sys.stderr, flush=True)  # noqa: E731
        workloads = [w for w in bench.WORKLOADS if args.only is None or args.only in w.name]
        rows = []
        started = time.perf_counter()
        gc.collect()
        gc.disable()
        try:
            for workload in workloads:
                log(f"{workload.name} ...")
                _, times = bench.measure(workload, builds, repeats, target_ns, log)
                ratios = [c / b for b, c in zip(times["base"], times["candidate"])]
                rows.append((workload.name, statistics.median(times["base"]),
                             statistics.median(times["candidate"]), statistics.median(ratios),
                             min(ratios), max(ratios)))
        finally:
            gc.enable()

    print(f"base:      {args.base}\ncandidate: {args.candidate}")
    print(f"{repeats} interleaved repeats, batches of ~{target_ns / 1e6:g} ms; "
          f"ns per loop iteration (medians); ratio = median of paired candidate/base\n")
    print(f"| {'workload':<34} | {'base ns':>9} | {'cand. ns':>9} | {'ratio':>6} | {'range':>13} |")
    print(f"|{'-' * 36}|{'-' * 11}|{'-' * 11}|{'-' * 8}|{'-' * 15}|")
    over = []
    for name, base_ns, candidate_ns, ratio, low, high in rows:
        mark = " !" if ratio > args.limit else ""
        print(f"| {name:<34} | {base_ns:>9.1f} | {candidate_ns:>9.1f} | {ratio:>6.3f} | "
              f"{low:>5.2f} .. {high:<5.2f} |{mark}")
        if ratio > args.limit:
            over.append(name)
    print(f"\n_took {time.perf_counter() - started:.0f} s_")
    if over:
        print(f"paired ratio above {args.limit} in: {', '.join(over)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
