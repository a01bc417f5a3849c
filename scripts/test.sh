#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (plain, under ThreadSanitizer and under
# AddressSanitizer + UndefinedBehaviorSanitizer), the stable-ABI check of the wheel,
# and the Python tests against the installed wheel. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}
PYTHON=${PYTHON:-python3}

log() { printf '\n==> %s\n' "$*"; }

# --- System packages (Debian) --------------------------------------------------------
source scripts/debian_packages.sh
ensure_debian_packages g++ libgtest-dev faketime libfaketime redis-server datefudge

# --- Python environment --------------------------------------------------------------
VENV="$ROOT/.venv-test"
if [[ ! -x "$VENV/bin/python" ]]; then
  log "creating $VENV"
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q -r requirements-test.txt
export PATH="$VENV/bin:$PATH"

# --- C++ core tests ------------------------------------------------------------------
run_cpp_tests() {  # build folder, extra CMake arguments...
  local build="$1"
  shift
  log "C++ tests in $build $*"
  cmake -S . -B "$build" -G Ninja -DGALTRO_BUILD_MODULE=OFF -DGALTRO_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j "$JOBS"
  ctest --test-dir "$build" --output-on-failure -j "$JOBS"
}
run_cpp_tests build/cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_cpp_tests build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALTRO_SANITIZE=thread
run_cpp_tests build/asan -DCMAKE_BUILD_TYPE=Debug -DGALTRO_SANITIZE=address

# --- Wheel: one cp39-abi3 build, checked against the stable ABI ----------------------
log "building the wheel"
rm -rf build/wheelhouse
python -m pip wheel . --no-deps --no-build-isolation -w build/wheelhouse -q
WHEEL=$(ls build/wheelhouse/galtro_core-*-cp39-abi3-*.whl)
python - "$WHEEL" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
modules = [n for n in names if n.startswith("galtro_core") and n.endswith(".so")]
assert modules == ["galtro_core.abi3.so"], modules
print("wheel module:", modules[0])
PY
abi3audit --strict --report "$WHEEL"
log "manylinux tag, linked libraries, exports, source distribution"
bash scripts/check_dist.sh "$WHEEL" build/wheelhouse/manylinux

# --- Python tests against the installed wheel (the Redis state against a redis-server of
# their own, and mypy --strict and pyright on the galtro package: test_typing.py) ---------
log "Python tests"
python -m pip install -q --force-reinstall --no-deps "$WHEEL"
cd "$ROOT/tests/python"
python -m pytest -q -p no:cacheprovider .

# --- The same wheel in every CPython 3.9 or later on the machine -----------------------
log "the wheel in every interpreter"
cd "$ROOT"
bash scripts/test_interpreters.sh "$(ls build/wheelhouse/manylinux/galtro_core-*-cp39-abi3-manylinux*.whl)"

# --- Reliability: sanitized module, reference counts, memcheck, fuzzing, stress ------------
log "reliability checks"
cd "$ROOT"
bash scripts/reliability.sh
