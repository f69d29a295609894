#!/usr/bin/env bash
# Builds and installs the module, writes the demo model once (demo/), then generates from it.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
"$PY" -m pip install --no-build-isolation -q .
"$PY" tools/demo.py "$@"
