"""The cost of one `galtro hook` process, against a bare interpreter in the same run.

    python benchmarks/hook_startup.py [--repeats N] [--url URL]

A coding agent starts `galtro hook` before every edit, so its whole process counts:
interpreter start-up, imports (their byte code cached, as an installed package has
it), reading the event, opening the store and claiming the
file (the first run) or renewing the claim (every later run). Each repeat times, taking
turns, `python -c pass` and `galtro hook --tool claude` (its entry point, as the
installed script calls it) fed a Claude Code
PreToolUse event for an Edit of one file, in a fresh project folder (a `.git` folder,
so the default store is the SQLite file inside it). The figures are medians of wall
time and of processor time (user and system, which other jobs on a busy machine
disturb less); the goal is a hook at most 3 times the bare interpreter's wall time.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

GOAL = 3.0


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(command, stdin_text, cwd, env):
    """(wall seconds, processor seconds) of one run of ``command``."""
    cpu = cpu_of_children()
    start = time.perf_counter()
    result = subprocess.run(command, input=stdin_text, capture_output=True, text=True,
                            cwd=cwd, env=env)
    elapsed = time.perf_counter() - start
    if result.returncode != 0 or result.stdout or result.stderr:
        raise SystemExit(f"{command} failed: {result}")
    return elapsed, cpu_of_children() - cpu


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=41, help="timed runs of each (41)")
    parser.add_argument("--url", help="the store (default: the project's SQLite file)")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as folder:
        project = Path(folder) / "project"
        (project / ".git").mkdir(parents=True)
        env = {k: v for k, v in os.environ.items()
               if k not in ("GALTRO_URL", "GALTRO_AGENT", "CLAUDE_PROJECT_DIR",
                            "PYTHONDONTWRITEBYTECODE")}
        # Byte code cached, as an installed package has it, in a folder of the run's own.
        env["PYTHONPYCACHEPREFIX"] = str(Path(folder) / "pycache")
        if args.url:
            env["GALTRO_URL"] = args.url
        env["GALTRO_NAMESPACE"] = f"hook-bench-{os.getpid()}"
        event = json.dumps({
            "session_id": "bench0001-0000", "transcript_path": "/dev/null",
            "cwd": str(project), "hook_event_name": "PreToolUse", "tool_name": "Edit",
            "tool_input": {"file_path": str(project / "src" / "lib.py"),
                           "old_string": "a", "new_string": "b"}})
        bare = [sys.executable, "-c", "pass"]
        # What the installed ``galtro`` script runs (without ``-m``'s runpy).
        hook = [sys.executable, "-c", "import sys; from galtro._main import main; "
                "sys.exit(main())", "hook", "--tool", "claude"]
        for _ in range(2):  # the claim, the store file made, the byte code cached
            timed(hook, event, project, env)
            timed(bare, "", project, env)
        bare_times, hook_times = [], []
        for repeat in range(args.repeats):
            order = [(bare, "", bare_times), (hook, event, hook_times)]
            for command, text, times in (order if repeat % 2 == 0 else order[::-1]):
                times.append(timed(command, text, project, env))

    def median(times, index):
        return statistics.median(t[index] for t in times) * 1000

    print(f"{'':34}{'wall':>9}{'processor':>11}")
    for name, times in (("python -c pass", bare_times),
                        ("galtro hook (pre-edit, renewal)", hook_times)):
        print(f"{name:34}{median(times, 0):6.1f} ms{median(times, 1):8.1f} ms")
    ratio = median(hook_times, 0) / median(bare_times, 0)
    cpu_ratio = median(hook_times, 1) / max(median(bare_times, 1), 1e-9)
    print(f"ratio of medians: wall {ratio:.2f}, processor {cpu_ratio:.2f} (goal: wall at "
          f"most {GOAL:g}); {args.repeats} runs each, load average "
          f"{os.getloadavg()[0]:.1f}")
    return 0 if ratio <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
