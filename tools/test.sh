#!/usr/bin/env bash
# Build everything and run every test: the C++ unit tests (ctest) and the
# pytest suite, against Debian's python3 (3.11) and a free-threaded CPython
# 3.13t built by tools/build-cpython.sh. Installs what it needs if missing.
#
#   tools/test.sh               # all stages, in order
#   tools/test.sh STAGE...      # only these stages (see STAGES below)
#
# Environment: DAGLOOM_BUILD_ROOT (default <repo>/build), DAGLOOM_JOBS (2),
# DAGLOOM_CPYTHON_CACHE (see tools/build-cpython.sh).
#
# Any failure fails the script, and so does a test runner that ran no test
# (ctest --no-tests=error, pytest exit code 5).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$DAGLOOM_ROOT"

BUILD_ROOT=${DAGLOOM_BUILD_ROOT:-$DAGLOOM_ROOT/build}
BUILD_SYS=$BUILD_ROOT/py311        # core + C++ tests + module for /usr/bin/python3
BUILD_FT=$BUILD_ROOT/py313t        # module only, for the free-threaded 3.13t
PY_FT=                              # set by ensure_py313t

# Stages in order; a later stage (sanitizers, fuzzing, stubtest, ...) is a
# function named stage_<name> plus an entry here.
STAGES=(deps cpython_313t build_sys ctest_sys pytest_sys dask_suite build_py313t gil_py313t pytest_py313t
        memory_pressure packaging sanitizers fuzz)

ensure_py313t() {
  if [[ -z "$PY_FT" ]]; then
    PY_FT=$("$DAGLOOM_ROOT/tools/build-cpython.sh" | tail -n1)
    [[ -x "$PY_FT" ]] || die "tools/build-cpython.sh did not give an interpreter (got '$PY_FT')"
  fi
}

# run_pytest <python> <module dir> [pytest args...]: the tests/python suite
# (the module) and tests/exec (the executor package) with that build's
# python/ directory, which holds both, first on the path.
run_pytest() {
  local py=$1 moddir=$2 rc=0
  shift 2
  local dir
  for dir in tests/python tests/exec; do
    compgen -G "$DAGLOOM_ROOT/$dir/test_*.py" >/dev/null || die "no tests in $dir/ (test_*.py)"
  done
  "$py" -c 'import sys; print(sys.version)'
  env -u PYTHON_GIL PYTHONPATH="$moddir" \
    "$py" -m pytest "$DAGLOOM_ROOT/tests/python" "$DAGLOOM_ROOT/tests/exec" -ra -p no:cacheprovider "$@" || rc=$?
  case $rc in
    0) ;;
    5) die "pytest under $py collected no tests" ;;
    *) die "pytest under $py failed (exit code $rc)" ;;
  esac
}

stage_deps() {
  stage "install missing dependencies"
  apt_install_missing cmake g++ make libgtest-dev libbenchmark-dev \
    python3-dev python3-pytest python3-hypothesis python3-numpy python3-dask python3-distributed
  "$DAGLOOM_SYS_PY" -c 'import sys; assert sys.version_info >= (3, 11), sys.version'
}

stage_cpython_313t() {
  stage "free-threaded CPython 3.13t (tools/build-cpython.sh; cached after the first build)"
  ensure_py313t
  "$PY_FT" -c 'import pytest, hypothesis; print("pytest", pytest.__version__, "and hypothesis", hypothesis.__version__, "import under 3.13t")'
}

stage_build_sys() {
  stage "build core, C++ tests and module against $DAGLOOM_SYS_PY"
  cmake_build "$BUILD_SYS" -DPython3_EXECUTABLE="$DAGLOOM_SYS_PY" -DDAGLOOM_TESTS=ON
  local so; so=$(require_module "$BUILD_SYS")
  info "module: $so"
}

stage_ctest_sys() {
  stage "C++ unit tests (ctest)"
  # The per-test lines go to a log (parameterised gtest names are long); the
  # log is printed whole on failure, its closing summary always.
  local log=$BUILD_SYS/ctest.log rc=0
  ctest --test-dir "$BUILD_SYS" --output-on-failure --no-tests=error -j "$DAGLOOM_JOBS" \
    >"$log" 2>&1 || rc=$?
  if ((rc != 0)); then
    cat "$log"
    die "ctest failed (exit code $rc; log: $log)"
  fi
  info "per-test results: $log"
  sed -n '/tests passed, /,$p' "$log"
}

stage_pytest_sys() {
  stage "pytest on $DAGLOOM_SYS_PY"
  require_module "$BUILD_SYS" >/dev/null
  run_pytest "$DAGLOOM_SYS_PY" "$BUILD_SYS/python"
}

stage_dask_suite() {
  stage "a part of Dask's own tests, with Dask's optimization and with optimize_dask"
  require_module "$BUILD_SYS" >/dev/null
  "$DAGLOOM_ROOT/tools/test-dask-suite.sh" "$BUILD_SYS/python"
}

stage_build_py313t() {
  stage "build module against free-threaded CPython 3.13t"
  ensure_py313t
  cmake_build "$BUILD_FT" -DPython3_EXECUTABLE="$PY_FT" -DDAGLOOM_TESTS=OFF
  local so; so=$(require_module "$BUILD_FT")
  info "module: $so"
  [[ "$(basename "$so")" == *.cpython-313t-* ]] \
    || die "$so lacks the free-threaded 'cpython-313t' SOABI suffix"
}

stage_gil_py313t() {
  stage "3.13t: importing dagloom_core keeps the GIL disabled"
  ensure_py313t
  require_module "$BUILD_FT" >/dev/null
  env -u PYTHON_GIL PYTHONPATH="$BUILD_FT/python" "$PY_FT" -W error::RuntimeWarning -c '
import sys
assert sys._is_gil_enabled() is False, "GIL enabled before import"
import dagloom_core
assert sys._is_gil_enabled() is False, "importing dagloom_core enabled the GIL"
print("dagloom_core", dagloom_core.version(), "from", dagloom_core.__file__)
print("sys._is_gil_enabled() is False after import")
'
}

stage_pytest_py313t() {
  stage "pytest on free-threaded CPython 3.13t"
  ensure_py313t
  require_module "$BUILD_FT" >/dev/null
  # Debian's pytest 7.2 uses ast.Str & co., deprecated in 3.12+: hide only
  # the warnings raised from its own assertion rewriter.
  run_pytest "$PY_FT" "$BUILD_FT/python" -W 'ignore::DeprecationWarning:_pytest.assertion.rewrite'

}

# memory_pressure <python> <build dir>: tools/memory-pressure.py against that build's module.
memory_pressure() {
  local py=$1 dir=$2
  require_module "$dir" >/dev/null
  env -u PYTHON_GIL PYTHONPATH="$dir/python" "$py" "$DAGLOOM_ROOT/tools/memory-pressure.py" \
    || die "memory-pressure check failed under $py"
}

stage_memory_pressure() {
  stage "memory pressure: every public method under an address-space limit (3.11 and 3.13t)"
  ensure_py313t
  memory_pressure "$DAGLOOM_SYS_PY" "$BUILD_SYS"
  memory_pressure "$PY_FT" "$BUILD_FT"
}

stage_packaging() {
  stage "pip install into a fresh venv, installed-module tests, stubtest, mypy --strict"
  "$DAGLOOM_ROOT/tools/test-packaging.sh"
}

stage_sanitizers() {
  stage "AddressSanitizer/UndefinedBehaviorSanitizer and ThreadSanitizer builds, leak check"
  "$DAGLOOM_ROOT/tools/test-sanitizers.sh"
}

stage_fuzz() {
  stage "fuzzing every parser and the store operations (bounded time)"
  "$DAGLOOM_ROOT/tools/fuzz-all.sh"
}

run_stages tools/test.sh "${STAGES[@]}" -- "$@"
