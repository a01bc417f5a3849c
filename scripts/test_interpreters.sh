#!/usr/bin/env bash
# One build, every interpreter: installs the one cp39-abi3 wheel given as the argument
# into a fresh virtual environment of every CPython 3.9 or later on this machine and
# runs the Python test suite in each.
#
# Interpreters: every pyenv version under $PYENV_ROOT/versions (default /root/.pyenv)
# and every python3 and python3.N anywhere on PATH; interpreters older than 3.9, duplicates (the
# same executable reached twice) and commands that do not run (pyenv shims of versions
# that are not selected) are skipped. Set GALTRO_INTERPRETERS to a space-separated list
# of executables to test those instead.
#
# Usage: bash scripts/test_interpreters.sh build/wheelhouse/galtro_core-*-cp39-abi3-*.whl
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)

if (($# != 1)) || [[ ! -f "$1" ]]; then
  echo "usage: $0 WHEEL" >&2
  exit 2
fi
WHEEL=$(realpath "$1")
# The test dependencies, with the versions that requirements-test.txt asks for.
mapfile -t TEST_PACKAGES < <(grep -E '^(pytest|hypothesis|redis|starlette|uvicorn|jinja2|selenium)\b' requirements-test.txt)

candidates=()
if [[ -n "${GALTRO_INTERPRETERS:-}" ]]; then
  read -r -a candidates <<<"$GALTRO_INTERPRETERS"
else
  shopt -s nullglob
  candidates+=("${PYENV_ROOT:-/root/.pyenv}"/versions/*/bin/python3)
  shopt -u nullglob
  for name in python3 $(seq -f 'python3.%g' 9 30); do
    mapfile -t -O "${#candidates[@]}" candidates < <(type -P -a "$name" || true)
  done
fi

# Each interpreter once, as "version executable", oldest first.
declare -A seen=()
interpreters=()
for candidate in "${candidates[@]}"; do
  found=$("$candidate" -c 'import os, sys; v = sys.version_info
print("%d.%d.%d" % v[:3], int(v >= (3, 9)), sys.implementation.name, os.path.realpath(sys.executable))' \
    2>/dev/null) || continue
  read -r version supported implementation executable <<<"$found"
  [[ -n "${seen[$executable]:-}" ]] && continue
  seen[$executable]=1
  if [[ "$implementation" != cpython || "$supported" != 1 ]]; then
    echo "skipping $implementation $version ($executable): not CPython 3.9 or later"
    continue
  fi
  interpreters+=("$version $executable")
done
mapfile -t interpreters < <(printf '%s\n' "${interpreters[@]}" | sort -V)
if ((${#interpreters[@]} == 0)); then
  echo "no CPython 3.9 or later found" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/galtro-interpreters.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# A fresh environment with pip in it. An interpreter whose venv module cannot install
# pip (Debian's without python3.N-venv) gets one without pip, and pip from a wheel.
make_venv() {  # executable, folder
  "$1" -m venv "$2" >/dev/null 2>&1 && return
  rm -rf "$2"
  "$1" -m venv --without-pip "$2"
  if [[ ! -d "$WORK/pip" ]]; then
    python3 -m pip download -q --no-deps --only-binary :all: -d "$WORK/pip" pip
  fi
  local pip_wheel
  pip_wheel=$(ls "$WORK"/pip/pip-*.whl)
  "$2/bin/python" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
}

# The number before a word ("passed", "failed", "error") in pytest's closing line.
count() { { grep -oE "[0-9]+ $1" <<<"$result" || true; } | awk '{n += $1} END {print n + 0}'; }
summary=()
failed=0
passed=0
failures=0
for index in "${!interpreters[@]}"; do
  read -r version executable <<<"${interpreters[$index]}"
  printf '\n==> CPython %s (%s)\n' "$version" "$executable"
  venv="$WORK/venv-$index"
  log="$WORK/log-$index"
  start=$SECONDS
  make_venv "$executable" "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" "${TEST_PACKAGES[@]}"
  set +e
  (cd "$ROOT/tests/python" && env -u PYTHONPATH "$venv/bin/python" -m pytest -q \
    -p no:cacheprovider . 2>&1) | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  result=$(grep -E '^=* ?[0-9]+ (passed|failed)' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
  summary+=("$(printf '%-7s CPython %-8s %-46s %-36s %ds' \
    "$([[ $status == 0 ]] && echo ok || echo FAILED)" "$version" "$executable" \
    "${result:-no result}" $((SECONDS - start)))")
  ((status == 0)) || failed=1
  passed=$((passed + $(count passed)))
  failures=$((failures + $(count failed) + $(count error)))
  ((status == 0 || $(count failed) + $(count error) > 0)) || failures=$((failures + 1))
done

printf '\n==> One wheel, every interpreter: %s\n' "$(basename "$WHEEL")"
printf '%s\n' "${summary[@]}"
printf 'interpreters: %d passed, %d failed\n' "$passed" "$failures"
exit "$failed"
