#!/usr/bin/env bash
# Builds and installs galtro_core for this machine's python3, then runs the demo of
# several agents coordinating through one CoordinationState.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q .
"$PYTHON" examples/agents_demo.py
