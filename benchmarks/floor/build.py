"""Builds the galtro_floor extension module with the C++ compiler, for the running
interpreter.

    python benchmarks/floor/build.py [--out DIR] [--force]

Compiles galtro_floor.cpp next to this file into DIR/galtro_floor.abi3.so (default
DIR: build/bench/floor under the repository root) with the flags of the real
module's release build: C++23, -O3, -DNDEBUG, hidden visibility, limited API 3.9.
Needs nothing but a C++ compiler (CXX, default g++) and the interpreter's headers,
which sysconfig locates; no network, no build backend. Skips the compile when the
module is newer than its source and this script. Prints the output folder.
"""

from __future__ import annotations

import argparse
import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SOURCE = HERE / "galtro_floor.cpp"
MODULE_FILE = "galtro_floor.abi3.so"

CXXFLAGS = [
    "-std=c++23",
    "-O3",
    "-DNDEBUG",
    "-fPIC",
    "-fvisibility=hidden",
    "-fvisibility-inlines-hidden",
    "-DPy_LIMITED_API=0x03090000",
    "-Wall",
    "-Wextra",
]
LDFLAGS = ["-shared", "-static-libstdc++", "-static-libgcc"]


def build(out_dir: Path, force: bool = False) -> Path:
    target = out_dir / MODULE_FILE
    newest_input = max(SOURCE.stat().st_mtime, Path(__file__).stat().st_mtime)
    if not force and target.exists() and target.stat().st_mtime >= newest_input:
        return target
    out_dir.mkdir(parents=True, exist_ok=True)
    include = sysconfig.get_paths()["include"]
    compiler = shlex.split(os.environ.get("CXX", "g++"))
    command = [*compiler, *CXXFLAGS, f"-I{include}", str(SOURCE), "-o", str(target) + ".tmp",
               *LDFLAGS]
    print(" ".join(shlex.quote(part) for part in command), file=sys.stderr)
    subprocess.run(command, check=True)
    os.replace(str(target) + ".tmp", target)
    return target


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench" / "floor")
    parser.add_argument("--force", action="store_true", help="compile even if up to date")
    args = parser.parse_args()
    target = build(args.out.resolve(), args.force)
    print(target.parent)


if __name__ == "__main__":
    main()
