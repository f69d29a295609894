#!/usr/bin/env bash
# Builds the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer in build/asan, runs
# the C++ tests there, then the Python tests against that build's module, with the sanitizer
# runtimes preloaded into the interpreter (an uninstrumented python cannot load them later).
# Exits non-zero on any failure or sanitizer report. Nothing is installed.
#
# Environment: CXX/CC pick the compiler (default: the system's), PYTHON the interpreter (default:
# the checkout's .venv, made by .ci/deps), JOBS the build parallelism, TESSALINE_CMAKE_ARGS extra
# configure arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh
if [ -n "${PYTHON:-}" ]; then
  PY=$(command -v "$PYTHON") || { echo "sanitize.sh: no interpreter '$PYTHON'" >&2; exit 1; }
else
  use_venv
  PY=$VENV_PY
fi
JOBS=${JOBS:-$(nproc)}
BUILD=build/asan

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_SANITIZE=ON \
  -DTESSALINE_TESTS=ON -DTESSALINE_MODULE=ON -DPython_EXECUTABLE="$PY" \
  ${TESSALINE_CMAKE_ARGS:-} > /dev/null
cmake --build "$BUILD" -j "$JOBS"

# Sanitizer reports end the run; UBSan prints where it happened.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
report "C++ (sanitizers)" ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" --timeout 1800 ||
  failed=1

# The runtimes of the compiler that built the module, found through the build's own cache.
CXX_BIN=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
runtime() {
  local f
  f=$("$CXX_BIN" -print-file-name="$1")
  [[ "$f" == /* && -e "$f" ]] || { echo "sanitize.sh: $1 of $CXX_BIN not found" >&2; exit 1; }
  echo "$f"
}
if "$CXX_BIN" --version | grep -qi clang; then
  # clang links its runtimes statically into executables only; preload its shared ASan runtime
  # (which carries UBSan as well).
  PRELOAD=$(runtime "libclang_rt.asan-$(uname -m).so")
else
  PRELOAD="$(runtime libasan.so) $(runtime libubsan.so)"
fi
# CPython keeps its interned objects until exit by design: leak checking at exit would report
# them. Tests that look for leaks run LeakSanitizer themselves, in child interpreters.
export ASAN_OPTIONS="detect_leaks=0:$ASAN_OPTIONS"
# Tells the tests they run here: resident-memory bounds say nothing while the sanitizer keeps
# freed blocks in quarantine, and no address-space limit can apply to its shadow memory.
export TESSALINE_SANITIZED=1
export PYTHONPATH="$PWD/$BUILD${PYTHONPATH:+:$PYTHONPATH}" TESSALINE_TEST_BUILD="$PWD/$BUILD"
# Refuse to test an uninstrumented module that happens to be installed elsewhere.
LD_PRELOAD="$PRELOAD" "$PY" -c \
  "import sys, tessaline; sys.exit(not tessaline.__file__.startswith('$PWD/$BUILD/'))" ||
  { echo "sanitize.sh: tessaline was not imported from $BUILD" >&2; exit 1; }
# The interpreter and the children that tests start from it all get the runtimes.
report "Python $(py_version "$PY") (sanitizers)" env LD_PRELOAD="$PRELOAD" \
  "$PY" -m pytest tests/py -q -p no:cacheprovider || failed=1
exit "$failed"
