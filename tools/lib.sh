# Shared by the scripts in tools/ and .ci/ (sourced, from the checkout's root).

# The checkout's virtual environment, made by .ci/deps: VENV_PY is its interpreter, and its bin/
# (cmake, ninja, pytest) goes first on PATH.
use_venv() {
  VENV=${TESSALINE_VENV:-$PWD/.venv}
  if ! "$VENV/bin/python" -c "" 2> /dev/null; then
    echo "$(basename "$0"): no working virtual environment at $VENV: run 'bash .ci/deps' first" >&2
    exit 1
  fi
  export PATH="$VENV/bin:$PATH"
  VENV_PY="$VENV/bin/python"
}

# report SUITE COMMAND...: runs COMMAND (a pytest or ctest run), then prints its closing line as
# "== SUITE: <closing line>", also appended to the file $TESSALINE_RESULTS when that is set (.ci/run
# collects them). Returns COMMAND's status.
report() {
  local suite=$1 log status=0 line
  shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log" || status=$?
  # pytest: "3 failed, 540 passed, 2 skipped in 41.20s"; ctest: "100% tests passed out of 410" or
  # "99% tests passed, 2 tests failed out of 410".
  line=$(grep -E '^[0-9]+ (passed|failed|errors?|skipped)|^no tests ran|% tests passed.* out of' \
    "$log" | tail -n 1)
  rm -f "$log"
  line="== $suite: ${line:-no result line}$([ "$status" = 0 ] || echo " (exit status $status)")"
  echo "$line"
  if [ -n "${TESSALINE_RESULTS:-}" ]; then echo "$line" >> "$TESSALINE_RESULTS"; fi
  return "$status"
}

# The version of interpreter $1, e.g. "3.14.0".
py_version() {
  "$1" -c "import platform; print(platform.python_version())"
}
