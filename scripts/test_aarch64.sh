#!/usr/bin/env bash
# Runs the aarch64 release wheel in an aarch64 CPython under qemu-user, on this x86_64
# machine: Debian's arm64 python3.11 and the libraries it needs are unpacked (not
# installed) into a sysroot, and the interpreter is started as
# `qemu-aarch64-static -L SYSROOT SYSROOT/usr/bin/python3.11` (no binfmt_misc needed).
#
# pip installs the wheel for the manylinux2014_aarch64 platform (so its tags must say
# so), then pytest runs, inside the emulated interpreter, the tests that start no
# subprocess (a subprocess of sys.executable would start without qemu): the
# documentation's examples, the per-method and binding tests, the model test at a small size, and the
# thread and scale tests at smoke size.
#
# Needs root (apt-get); adds the arm64 architecture to dpkg and updates the package
# lists when they have no arm64 packages yet.
# Usage: bash scripts/test_aarch64.sh [WHEEL]    (default: the aarch64 wheel in wheelhouse/)
# Environment: GALTRO_MODEL_EXAMPLES (model test sequences, default 25).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PYTHON=${PYTHON:-python3}
WHEEL=${1:-$(ls wheelhouse/galtro_core-*-cp39-abi3-manylinux*_aarch64.whl 2>/dev/null | tail -n 1)}
[[ -n "$WHEEL" && -f "$WHEEL" ]] || { echo "usage: $0 WHEEL (no aarch64 wheel in wheelhouse/)" >&2; exit 2; }
WHEEL=$(realpath "$WHEEL")
log() { printf '\n==> %s\n' "$*"; }

source scripts/debian_packages.sh
ensure_debian_packages qemu-user-static

# --- The arm64 sysroot -------------------------------------------------------------------
# The interpreter and the shared libraries that it and the standard library's extension
# modules load.
ARM64_PACKAGES=(libc6 libgcc-s1 zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1
  libcrypt1 libsqlite3-0 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib)
SYSROOT="$ROOT/build/aarch64-sysroot"
STAMP="$SYSROOT/.packages"
if [[ "$(cat "$STAMP" 2>/dev/null)" != "${ARM64_PACKAGES[*]}" ]]; then
  log "unpacking arm64 packages into $SYSROOT"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  rm -rf "$SYSROOT"
  mkdir -p "$SYSROOT/debs"
  # Package lists without arm64 packages, or older than the mirror, are updated first.
  download() { (cd "$SYSROOT/debs" && apt-get download -qq -o APT::Sandbox::User=root "${ARM64_PACKAGES[@]/%/:arm64}"); }
  if ! apt-cache show python3.11-minimal:arm64 >/dev/null 2>&1 || ! download; then
    apt-get update -qq
    download
  fi
  for deb in "$SYSROOT"/debs/*.deb; do
    dpkg-deb -x "$deb" "$SYSROOT"
  done
  rm -rf "$SYSROOT/debs"
  echo "${ARM64_PACKAGES[*]}" >"$STAMP"
fi
ARM_PYTHON=("qemu-aarch64-static" -L "$SYSROOT" "$SYSROOT/usr/bin/python3.11")
"${ARM_PYTHON[@]}" -c 'import platform, sys; print("emulated:", platform.machine(), sys.version.split()[0])'

# --- The wheel and the test packages, installed for that interpreter --------------------
SITE="$ROOT/build/aarch64-site"
rm -rf "$SITE"
mapfile -t TEST_PACKAGES < <(grep -E '^(pytest|hypothesis|starlette|uvicorn|jinja2)\b' requirements-test.txt)
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore --target "$SITE" --no-compile \
  --only-binary :all: --platform manylinux2014_aarch64 --python-version 3.11 \
  --implementation cp --abi cp311 "$WHEEL" "${TEST_PACKAGES[@]}"
[[ -f "$SITE/galtro_core.abi3.so" ]] || { echo "the wheel did not install a module" >&2; exit 1; }

# --- Tests ----------------------------------------------------------------------------------
log "$(basename "$WHEEL") under qemu-aarch64"
cd "$ROOT/tests/python"
env -u PYTHONHOME PYTHONPATH="$SITE" PYTHONNOUSERSITE=1 PYTHONDONTWRITEBYTECODE=1 \
  GALTRO_MODEL_EXAMPLES="${GALTRO_MODEL_EXAMPLES:-25}" GALTRO_RELIABILITY_LEVEL=smoke \
  "${ARM_PYTHON[@]}" -m pytest -q -p no:cacheprovider \
  test_readme.py test_claims.py test_messaging.py test_model.py test_threads.py \
  test_binding.py test_arguments.py test_module.py test_scale.py \
  --deselect tests/python/test_binding.py::test_fatal_failure_is_a_panic_exception \
  --deselect tests/python/test_binding.py::test_panic_coming_back_through_the_interpreter_stays_fatal \
  --deselect tests/python/test_binding.py::test_exhausted_memory_is_a_memory_error_and_the_state_stays_usable \
  --deselect tests/python/test_module.py::test_second_initialisation_returns_the_same_module \
  --deselect tests/python/test_module.py::test_import_in_a_subinterpreter_fails \
  --deselect tests/python/test_module.py::test_instance_made_without_the_constructor_is_refused_by_methods_and_views
