#!/usr/bin/env bash
# Builds the module and installs it into the checkout's virtual environment (.venv, made by
# .ci/deps), writes the demo model once (demo/), then generates from it.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
use_venv
"$VENV_PY" -m pip install --no-build-isolation -q --disable-pip-version-check . ||
  { echo "demo.sh: building and installing the module into $VENV failed" >&2; exit 1; }
"$VENV_PY" tools/demo.py "$@"
