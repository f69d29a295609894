#!/usr/bin/env bash
# Builds the extension module and the C++ tests, then runs every test (C++ through ctest, Python
# through pytest). Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)
PY=${PYTHON:-python3}
"$PY" -m pip install --no-build-isolation -q . 
cmake -S . -B build/tests -G Ninja -DTESSALINE_TESTS=ON -DTESSALINE_MODULE=OFF \
  -DCMAKE_BUILD_TYPE=Release ${TESSALINE_CMAKE_ARGS:-} > /dev/null
cmake --build build/tests -j "$JOBS"
ctest --test-dir build/tests --output-on-failure -j "$JOBS" --timeout 600
"$PY" -m pytest tests/py -q
