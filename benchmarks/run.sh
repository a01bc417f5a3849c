#!/usr/bin/env bash
# Runs the benchmarks: sets up the virtual environment .venv-bench (pyperf, and the
# module built from this tree), builds the floor module, then runs benchmarks/run.py
# with the arguments given here (for example --quick) and prints its tables.
# Results also land in build/bench/results.{md,json}.
#
#   bash benchmarks/run.sh            # full run
#   bash benchmarks/run.sh --quick    # smoke run, under a minute
#
# PYTHON picks the interpreter (default python3); GALTRO_BENCH_NO_INSTALL=1 skips
# rebuilding the module and uses what .venv-bench already has; GALTRO_BENCH_SOURCE
# builds the module from another checkout (for example a clean export of a commit)
# instead of this working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PYTHON=${PYTHON:-python3}
VENV="$ROOT/.venv-bench"
OUT="$ROOT/build/bench"

log() { printf '==> %s\n' "$*" >&2; }

if [[ ! -x "$VENV/bin/python" ]]; then
  log "creating $VENV"
  "$PYTHON" -m venv "$VENV"
fi
BENCH_PYTHON="$VENV/bin/python"
"$BENCH_PYTHON" -m pip install -q pyperf scikit-build-core cmake ninja

if [[ "${GALTRO_BENCH_NO_INSTALL:-0}" != 1 ]]; then
  SOURCE=$(cd "${GALTRO_BENCH_SOURCE:-$ROOT}" && pwd)
  log "building and installing galtro_core from $SOURCE"
  # A build folder of its own (one per source tree), so that a test build running at
  # the same time in this tree is not disturbed.
  BUILD_DIR="$OUT/core"
  [[ "$SOURCE" == "$ROOT" ]] || BUILD_DIR="$OUT/core-$(printf '%s' "$SOURCE" | md5sum | cut -c1-8)"
  if ! "$BENCH_PYTHON" -m pip install -q --no-deps --no-build-isolation --force-reinstall \
      -C build-dir="$BUILD_DIR" "$SOURCE"; then
    log "WARNING: galtro_core did not build; it is left out of the run"
    "$BENCH_PYTHON" -m pip uninstall -q -y galtro_core 2>/dev/null || true
  fi
fi

log "building the floor module"
FLOOR_DIR=$("$BENCH_PYTHON" benchmarks/floor/build.py --out "$OUT/floor")

quick=0
for argument in "$@"; do [[ "$argument" == --quick ]] && quick=1; done
if ((!quick)); then
  # What pyperf would change on this machine for steadier numbers (it changes nothing
  # here; `python -m pyperf system tune` as root applies it).
  "$BENCH_PYTHON" -m pyperf system show 2>/dev/null | sed -n '/^Advices/,$p' >&2 || true
fi

log "running"
# Outside the tree, so that `import galtro_core` finds the installed module.
cd "$OUT"
"$BENCH_PYTHON" "$ROOT/benchmarks/run.py" --floor-dir "$FLOOR_DIR" \
  --json "$OUT/results.json" --markdown "$OUT/results.md" "$@"
