#!/usr/bin/env bash
# Builds the extension module and the C++ tests, then runs every test: C++ through ctest, Python
# through pytest on the default interpreter and, where one is installed, on CPython 3.13 as well.
# Exits non-zero when anything fails.
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

# A second interpreter: the module and the test module built against its headers, same suite.
PY313=""
for c in /root/.pyenv/versions/3.13*/bin/python3 python3.13; do
  if "$c" --version > /dev/null 2>&1; then PY313=$c; break; fi
done
if [ -n "$PY313" ] && "$PY313" -c "import numpy, pytest, safetensors" 2> /dev/null; then
  cmake -S . -B build/py313 -G Ninja -DTESSALINE_TESTS=ON -DTESSALINE_MODULE=ON \
    -DPython_EXECUTABLE="$PY313" -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build build/py313 -j "$JOBS" --target tessaline tessaline_testing
  echo "== Python suite on $("$PY313" --version)"
  TESSALINE_TEST_BUILD=build/py313 PYTHONPATH=build/py313 "$PY313" -m pytest tests/py -q
else
  echo "== no CPython 3.13 with numpy, pytest and safetensors here: second interpreter skipped"
fi
