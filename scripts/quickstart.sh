#!/usr/bin/env bash
# Builds galtro_core and installs it into the virtual environment .venv (made with
# python3, or $PYTHON), then runs the demo of agents coordinating through one
# CoordinationState, and two galtro processes sharing one state through the default
# store (a SQLite file in the repository's git folder; no server). On Debian, installs what the build and the demo need first: a
# C++ compiler, the venv module and libfaketime (for the demo's lease lapse).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}

log() { printf '==> %s\n' "$*"; }

if command -v dpkg >/dev/null 2>&1; then
  packages=(g++ libfaketime)
  "$PYTHON" -c 'import ensurepip, venv' >/dev/null 2>&1 || packages+=(python3-venv)
  source scripts/debian_packages.sh
  ensure_debian_packages "${packages[@]}"
fi

if [[ ! -x "$VENV/bin/python" ]]; then
  log "creating $VENV with $("$PYTHON" --version)"
  "$PYTHON" -m venv "$VENV"
fi
log "building and installing galtro_core into $VENV (a minute or so)"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check .
log "running examples/agents_demo.py"
"$VENV/bin/python" examples/agents_demo.py
galtro() { "$VENV/bin/galtro" --namespace quickstart "$@"; }
log "two processes, one state: $(galtro where)"
galtro release alice file:README.md 2>/dev/null || true  # left by an interrupted run
galtro claim-file alice README.md
if galtro claim-file bob README.md; then
  echo "bob was not refused" >&2
  exit 1
fi
galtro release alice file:README.md
log "done: '. $VENV/bin/activate' puts galtro_core on this shell's python"
