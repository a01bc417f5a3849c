#!/usr/bin/env bash
# Reliability checks of the Python surface of galtro_core, each on a module built here:
#
#   asan      the whole Python test suite against a module built with AddressSanitizer
#             and UndefinedBehaviorSanitizer, loaded into CPython with the runtime
#             preloaded; any sanitizer report fails the step
#   refcount  every path of every call, galtro._state_reader's functions included, under
#             python3.11-dbg: the release build (blocks
#             and per-object counts) and a build whose own references are counted
#             (sys.gettotalrefcount must not grow)
#   valgrind  memcheck over a representative run: no invalid access, no definitely lost
#             block through either native module
#   fuzz      atheris over the constructor, the nine methods and galtro._state_reader,
#             checked against the pure-Python model; the corpus it grows is then replayed under the sanitizers
#   stress    Python threads on one instance, calls that run out of address space,
#             large inputs (tests/python/test_{threads,memory_pressure,scale}.py at size ci)
#
# Usage: bash scripts/reliability.sh [--long] [STEP...]     (default: every step)
#   --long   bigger sizes, more iterations and a 30-minute fuzzing run; about an hour
# Environment: JOBS (build jobs, 2), GALTRO_FUZZ_SECONDS (fuzzing time), GALTRO_SEED
# (seeds of the thread tests), VENV (Python environment, .venv-test).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}

LONG=0
STEPS=()
for arg in "$@"; do
  case "$arg" in
    --long) LONG=1 ;;
    asan | refcount | valgrind | fuzz | stress) STEPS+=("$arg") ;;
    -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "unknown argument: $arg (see --help)" >&2; exit 2 ;;
  esac
done
((${#STEPS[@]})) || STEPS=(asan refcount valgrind fuzz stress)
if ((LONG)); then
  LEVEL=long ITERATIONS=50000 ROUNDS=300
  FUZZ_SECONDS=${GALTRO_FUZZ_SECONDS:-1800}
else
  LEVEL=ci ITERATIONS=5000 ROUNDS=20
  FUZZ_SECONDS=${GALTRO_FUZZ_SECONDS:-60}
fi
ASAN_LEVEL=ci  # the long sizes would need more memory than the sanitizer can spare here

log() { printf '\n==> %s\n' "$*"; }

# --- What the checks need ----------------------------------------------------------------
source "$ROOT/scripts/debian_packages.sh"
ensure_debian_packages g++ python3.11-dbg valgrind faketime libfaketime

VENV=${VENV:-$ROOT/.venv-test}
if [[ ! -x "$VENV/bin/python" ]]; then
  log "creating $VENV"
  "${PYTHON:-python3}" -m venv "$VENV"
fi
PY="$VENV/bin/python"
if ! "$PY" -c 'import pytest, hypothesis, atheris, cmake, ninja' 2>/dev/null; then
  mapfile -t needed < <(grep -E '^(pytest|hypothesis|cmake|ninja)\b' requirements-test.txt)
  "$PY" -m pip install -q --disable-pip-version-check "${needed[@]}" atheris
fi
export PATH="$VENV/bin:$PATH"
DEBUG_PYTHON=$(command -v python3.11-dbg)
SANITIZER_RUNTIME="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
OUT="$ROOT/build-rel-out"
rm -rf "$OUT"
mkdir -p "$OUT"

build() {  # folder, Python executable, extra CMake arguments...
  local folder="$1" python="$2"
  shift 2
  # A folder configured from another checkout cannot be reused.
  if [[ -f "$folder/CMakeCache.txt" ]] &&
    ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$folder/CMakeCache.txt"; then
    rm -rf "$folder"
  fi
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALTRO_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$python" "$@" >"$OUT/cmake-$(basename "$folder").log" &&
    cmake --build "$folder" -j "$JOBS" >>"$OUT/cmake-$(basename "$folder").log" &&
    test -f "$folder/galtro_core.abi3.so" || { cat "$OUT/cmake-$(basename "$folder").log"; return 1; }
}
release_module() {
  [[ -n "${RELEASE_BUILT:-}" ]] && return
  log "building the module (release) in build-rel-release"
  build build-rel-release "$PY" || return 1
  RELEASE_BUILT=1
}
asan_module() {
  [[ -n "${ASAN_BUILT:-}" ]] && return
  log "building the module with AddressSanitizer + UndefinedBehaviorSanitizer in build-rel-asan"
  build build-rel-asan "$PY" -DGALTRO_SANITIZE=address || return 1
  ASAN_BUILT=1
}
# Runs a command with the sanitized module and the sanitizer runtime; reports of any
# process go to $OUT/sanitizer.<pid> (checked by sanitizer_reports).
sanitized() {
  env PYTHONPATH="$ROOT/build-rel-asan:$ROOT/tests/reliability/sanitizer" \
    GALTRO_SANITIZER_PRELOAD="$SANITIZER_RUNTIME" LD_PRELOAD="$SANITIZER_RUNTIME" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$OUT/sanitizer" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$OUT/sanitizer" \
    PYTHONMALLOC=malloc "$@"
}
sanitizer_reports() {  # prints the number of reports; the reports go to standard error
  local reports
  reports=$(cat "$OUT"/sanitizer.* 2>/dev/null | grep -cE 'ERROR: (Address|UndefinedBehavior)Sanitizer|runtime error:' || true)
  if ((reports)); then cat "$OUT"/sanitizer.* >&2; fi
  echo "$reports"
}

summary=()
failed=0
record() {  # step, status, figures
  summary+=("$(printf '%-8s %-6s %s' "$1" "$([[ $2 == 0 ]] && echo ok || echo FAILED)" "$3")")
  ((${2} == 0)) || failed=$((failed + 1))
}

# --- Steps ----------------------------------------------------------------------------------
step_asan() {
  asan_module || return 1
  log "Python tests against the sanitized module (sizes: $ASAN_LEVEL)"
  local file status=0 start=$SECONDS
  file=$(sanitized "$PY" -c 'import galtro_core; print(galtro_core.__file__)')
  [[ "$file" == "$ROOT/build-rel-asan/"* ]] || { echo "imported $file, not the sanitized module"; return 1; }
  (cd tests/python && sanitized env GALTRO_RELIABILITY_LEVEL="$ASAN_LEVEL" \
    "$PY" -m pytest -q -p no:cacheprovider -p sanitizer_plugin -rs .) | tee "$OUT/asan.log" || status=1
  local reports
  reports=$(sanitizer_reports)
  ((reports == 0)) || status=1
  record asan "$status" "$(grep -E '[0-9]+ passed' "$OUT/asan.log" | tail -n 1 | tr -d '='); sanitizer reports: $reports; $((SECONDS - start)) s"
  return "$status"
}

step_refcount() {
  release_module || return 1
  log "building the module with counted references against $DEBUG_PYTHON in build-rel-refcount"
  # The debug headers with Py_DEBUG: the module's own increments and decrements then
  # update the interpreter's total too.
  build build-rel-refcount "$DEBUG_PYTHON" -DCMAKE_CXX_FLAGS=-DPy_DEBUG || return 1
  local status=0 start=$SECONDS module
  module=$(mktemp -d "$OUT/release-module.XXXXXX")
  cp build-rel-release/galtro_core.abi3.so "$module/"
  cp -r build-rel-release/galtro "$module/"  # the harness's call table comes from galtro
  log "every call path under $DEBUG_PYTHON: the release module"
  PYTHONPATH="$module" "$DEBUG_PYTHON" tests/reliability/refcount_check.py \
    --iterations "$ITERATIONS" | tee "$OUT/refcount-release.log" || status=1
  log "every call path under $DEBUG_PYTHON: the counted build"
  PYTHONPATH="$ROOT/build-rel-refcount" "$DEBUG_PYTHON" tests/reliability/refcount_check.py \
    --iterations "$ITERATIONS" --counted | tee "$OUT/refcount-counted.log" || status=1
  record refcount "$status" "$(grep -oE '[0-9]+ paths x [0-9]+ calls' "$OUT/refcount-counted.log"); $(grep -oE 'total refcount delta.*' "$OUT/refcount-counted.log"); worst path drift: $(grep -oE 'worst drift of one path: [^(]*' "$OUT/refcount-counted.log" | cut -d: -f2 | xargs); release module: $(grep -oE 'worst drift of one path: [0-9]+ blocks' "$OUT/refcount-release.log" | cut -d: -f2 | xargs); $((SECONDS - start)) s"
  return "$status"
}

step_valgrind() {
  release_module || return 1
  log "valgrind memcheck over a representative run ($ROUNDS rounds of every path)"
  local status=0 start=$SECONDS
  PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build-rel-release" valgrind --tool=memcheck \
    --leak-check=full --show-leak-kinds=definite --num-callers=40 --error-exitcode=0 \
    --log-file="$OUT/valgrind.log" "$PY" tests/reliability/workload.py --rounds "$ROUNDS" || status=1
  "$PY" tests/reliability/valgrind_summary.py "$OUT/valgrind.log" | tee "$OUT/valgrind-summary.log" || status=1
  record valgrind "$status" "$(head -n 1 "$OUT/valgrind-summary.log" | sed 's/; ERROR SUMMARY.*//'); $((SECONDS - start)) s"
  return "$status"
}

step_fuzz() {
  release_module || return 1
  asan_module || return 1
  local status=0 start=$SECONDS corpus="$ROOT/build-rel-fuzz/corpus"
  mkdir -p "$corpus" "$OUT/fuzz"
  log "fuzzing the Python surface for $FUZZ_SECONDS s (atheris, release module)"
  PYTHONPATH="$ROOT/build-rel-release" "$PY" tests/fuzz/fuzz_surface.py \
    -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 -artifact_prefix="$OUT/fuzz/" \
    "$corpus" 2>&1 | tee "$OUT/fuzz.log" | grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' || status=1
  grep -q '^Done [0-9]* runs' "$OUT/fuzz.log" || status=1
  log "replaying the corpus ($(ls "$corpus" | wc -l) inputs) under the sanitizers"
  (sanitized "$PY" tests/fuzz/fuzz_surface.py -runs=0 -artifact_prefix="$OUT/fuzz/" "$corpus" 2>&1 \
    | tail -n 3) || status=1
  local reports
  reports=$(sanitizer_reports)
  ((reports == 0)) || status=1
  record fuzz "$status" "$(grep -oE '^Done [0-9]+ runs in [0-9]+ second' "$OUT/fuzz.log" | sed 's/^Done //')s; corpus $(ls "$corpus" | wc -l) inputs replayed under the sanitizers: $reports reports; $((SECONDS - start)) s"
  return "$status"
}

step_stress() {
  release_module || return 1
  log "threads, memory pressure and large inputs (sizes: $LEVEL)"
  local status=0 start=$SECONDS
  (cd tests/python && PYTHONPATH="$ROOT/build-rel-release" GALTRO_RELIABILITY_LEVEL="$LEVEL" \
    "$PY" -m pytest -q -s -p no:cacheprovider -rxs test_threads.py test_memory_pressure.py \
    test_scale.py) | tee "$OUT/stress.log" || status=1
  record stress "$status" "$(grep -E '[0-9]+ passed' "$OUT/stress.log" | tail -n 1 | tr -d '='); $((SECONDS - start)) s"
  return "$status"
}

for step in "${STEPS[@]}"; do
  recorded=${#summary[@]}
  "step_$step" || echo "step $step FAILED"
  ((${#summary[@]} > recorded)) || record "$step" 1 "did not finish (see above)"
done

log "reliability checks ($([[ $LONG == 1 ]] && echo long || echo ci)): logs in build-rel-out/"
printf '%s\n' "${summary[@]}"
printf 'reliability: %d passed, %d failed\n' $((${#STEPS[@]} - failed)) "$failed"
exit $((failed > 0))
