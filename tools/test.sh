#!/usr/bin/env bash
# Installs the module into the checkout's virtual environment (.venv, made by .ci/deps), builds the
# C++ tests and the test module against the same interpreter, then runs every test: C++ through
# ctest, Python through pytest, and the Python suite again on CPython 3.13 where .ci/deps found one
# (.venv-3.13; the module and the test module built against its headers). Each suite prints its
# result as "== <suite>: <closing line>". Exits non-zero when anything fails.
#
# Environment: JOBS the build and ctest parallelism, TESSALINE_CMAKE_ARGS extra configure arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
use_venv
JOBS=${JOBS:-$(nproc)}
failed=0

"$VENV_PY" -m pip install --no-build-isolation -q --disable-pip-version-check . ||
  { echo "test.sh: building and installing the module into $VENV failed" >&2; exit 1; }
cmake -S . -B build/tests -G Ninja -DTESSALINE_TESTS=ON -DTESSALINE_MODULE=OFF \
  -DPython_EXECUTABLE="$VENV_PY" -DCMAKE_BUILD_TYPE=Release ${TESSALINE_CMAKE_ARGS:-} > /dev/null
cmake --build build/tests -j "$JOBS"
report "C++" ctest --test-dir build/tests --output-on-failure -j "$JOBS" --timeout 600 || failed=1
report "Python $(py_version "$VENV_PY")" "$VENV_PY" -m pytest tests/py -q -p no:cacheprovider ||
  failed=1

PY313=$PWD/.venv-3.13/bin/python
if [ -x "$PY313" ]; then
  cmake -S . -B build/py313 -G Ninja -DTESSALINE_TESTS=ON -DTESSALINE_MODULE=ON \
    -DPython_EXECUTABLE="$PY313" -DCMAKE_BUILD_TYPE=Release ${TESSALINE_CMAKE_ARGS:-} > /dev/null
  cmake --build build/py313 -j "$JOBS" --target tessaline tessaline_testing
  report "Python $(py_version "$PY313")" env TESSALINE_TEST_BUILD=build/py313 \
    PYTHONPATH="$PWD/build/py313" "$PY313" -m pytest tests/py -q -p no:cacheprovider || failed=1
else
  echo "== no CPython 3.13 here (.ci/deps makes .venv-3.13 where there is one): skipped"
fi
exit "$failed"
