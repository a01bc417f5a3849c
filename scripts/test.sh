#!/usr/bin/env bash
# Runs the whole test suite: the C++ core tests (plain, under ThreadSanitizer and under
# AddressSanitizer + UndefinedBehaviorSanitizer), the stable-ABI check of the wheel,
# the Python tests against the installed wheel, the release wheels (x86_64 in every
# interpreter, aarch64 under qemu-user) and the reliability checks. Installs what it
# needs first.
#
# Usage: bash scripts/test.sh [--quick]
#   --quick   at most 3 minutes from a warm build, for working on the code: the plain
#             C++ tests, one wheel, and the Python tests not marked slow, at smoke sizes;
#             no sanitizers, no type checkers, no other interpreters, no release wheels,
#             no reliability checks (the tiers are pytest markers: see pyproject.toml)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}
PYTHON=${PYTHON:-python3}

log() { printf '\n==> %s\n' "$*"; }

# --- Quick tier: --quick --------------------------------------------------------------
QUICK=0
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg (see --help)" >&2; exit 2 ;;
  esac
done
if ((QUICK)); then
  # Smoke sizes: the model test's sequences; the thread and scale tests are at smoke
  # size unless GALTRO_RELIABILITY_LEVEL says otherwise.
  export GALTRO_MODEL_EXAMPLES=${GALTRO_MODEL_EXAMPLES:-20}
  export GALTRO_RELIABILITY_LEVEL=${GALTRO_RELIABILITY_LEVEL:-smoke}
fi

# --- System packages (Debian) --------------------------------------------------------
source scripts/debian_packages.sh
ensure_debian_packages g++ libgtest-dev faketime libfaketime redis-server datefudge git
ensure_debian_packages chromium chromium-driver  # the dashboard's browser tests

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
if ((!QUICK)); then
  run_cpp_tests build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALTRO_SANITIZE=thread
  run_cpp_tests build/asan -DCMAKE_BUILD_TYPE=Debug -DGALTRO_SANITIZE=address
fi

# --- Wheel: one cp39-abi3 build, checked against the stable ABI ----------------------
log "building the wheel"
rm -rf build/wheelhouse
python -m pip wheel . --no-deps --no-build-isolation -w build/wheelhouse -q \
  -C cmake.define.GALTRO_WERROR=ON
WHEEL=$(ls build/wheelhouse/galtro_core-*-cp39-abi3-*.whl)
python - "$WHEEL" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
modules = [n for n in names if n.startswith("galtro_core") and n.endswith(".so")]
assert modules == ["galtro_core.abi3.so"], modules
print("wheel module:", modules[0])
PY
if ((QUICK)); then
  log "Python tests at smoke sizes, the slow ones left out"
  python -m pip install -q --force-reinstall --no-deps "$WHEEL"
  cd "$ROOT/tests/python"
  python -m pytest -q -p no:cacheprovider -m "not slow" .
  exit 0
fi
abi3audit --strict --report "$WHEEL"
log "manylinux tag, linked libraries, exports, source distribution"
bash scripts/check_dist.sh "$WHEEL" build/wheelhouse/manylinux

# --- Source builds: a compiler without std::expected stops at configure time ----------
log "source build with GCC 11: one clear message at configure time"
ensure_debian_packages g++-11
if CXX=g++-11 cmake -S . -B build/gcc11 -G Ninja -DGALTRO_BUILD_TESTS=OFF >build/gcc11.log 2>&1 ||
  ! tr -s ' \n' ' ' <build/gcc11.log | grep -q "needs a C++23 compiler and standard library with std::expected"; then
  cat build/gcc11.log
  echo "configuring with g++-11 must stop with the message about std::expected" >&2
  exit 1
fi
sed -n '/CMake Error/,/^$/p' build/gcc11.log
rm -rf build/gcc11 build/gcc11.log

# --- Python tests against the installed wheel (the Redis state against a redis-server of
# their own, and mypy --strict and pyright on the galtro package: test_typing.py) ---------
log "Python tests"
python -m pip install -q --force-reinstall --no-deps "$WHEEL"
cd "$ROOT/tests/python"
python -m pytest -q -p no:cacheprovider .

# --- Release wheels: manylinux2014 x86_64 and aarch64 ------------------------------------
# Built with zig's clang for glibc 2.17; build_wheels.sh checks each wheel's tags, the
# highest GLIBC symbol version its module needs, its libraries and exports. The x86_64
# one runs the Python tests in every CPython 3.9 or later on the machine, the aarch64
# one a subset (no subprocesses) in Debian's arm64 CPython under qemu-user.
log "release wheels"
cd "$ROOT"
bash scripts/build_wheels.sh
log "the x86_64 release wheel in every interpreter"
bash scripts/test_interpreters.sh "$(ls wheelhouse/galtro_core-*-cp39-abi3-manylinux2014_x86_64.whl)"
log "the aarch64 release wheel under qemu-user"
bash scripts/test_aarch64.sh "$(ls wheelhouse/galtro_core-*-cp39-abi3-manylinux2014_aarch64.whl)"

# --- Reliability: sanitized module, reference counts, memcheck, fuzzing, stress ------------
log "reliability checks"
cd "$ROOT"
bash scripts/reliability.sh
