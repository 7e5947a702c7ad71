#!/usr/bin/env bash
# A part of Dask's own test suite (Debian's python3-dask ships it) run twice:
# with Dask's default optimization, and with dagloom_exec.optimize_dask as
# array_optimize and delayed_optimize (tests/dask_suite/dagloom_dask_plugin.py).
# Fails when a test that passes with Dask's default fails with optimize_dask.
#
#   tools/test-dask-suite.sh [BUILD_PYTHON_DIR]   # default build/py311/python
#
# Deselected: tests that assert the graph Dask's own optimizer leaves (which
# keys survive), not what it computes:
#   test_delayed.py::test_delayed_optimize  (Dask's delayed optimization only culls)
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MODULE_DIR=${1:-$DAGLOOM_ROOT/build/py311/python}
[[ -d "$MODULE_DIR" ]] || { echo "no built module in $MODULE_DIR (run tools/test.sh build_sys)" >&2; exit 1; }
MODULE_DIR=$(cd "$MODULE_DIR" && pwd)   # the runs start in a scratch directory
DASK_DIR=$("$DAGLOOM_SYS_PY" -c 'import dask, os; print(os.path.dirname(dask.__file__))')
FILES=(array/tests/test_array_core.py array/tests/test_ufunc.py array/tests/test_reductions.py
       array/tests/test_routines.py array/tests/test_slicing.py array/tests/test_rechunk.py
       array/tests/test_creation.py array/tests/test_atop.py array/tests/test_linalg.py
       tests/test_delayed.py)
DESELECT=(-k "not test_delayed_optimize")
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

run() {   # run NAME [PYTEST ARGS...]: the ids of the failed tests into $OUT/NAME
  local name=$1; shift
  # Run from the scratch directory, so that no pytest.ini of ours applies and
  # nothing is written next to Dask's files.
  (cd "$OUT" && PYTHONPATH="$MODULE_DIR:$DAGLOOM_ROOT/tests/dask_suite" \
    "$DAGLOOM_SYS_PY" -m pytest -p no:cacheprovider -q -rf -W ignore "$@" "${DESELECT[@]}" \
    "${FILES[@]/#/$DASK_DIR/}" >"$OUT/$name.log" 2>&1) || true
  tail -n 1 "$OUT/$name.log"
  grep '^FAILED ' "$OUT/$name.log" | sed 's/ - .*//' | sort >"$OUT/$name" || true
  grep -Eq '[0-9]+ passed' "$OUT/$name.log" || { cat "$OUT/$name.log"; exit 1; }
}

stage "Dask's tests with Dask's default optimization"
run default
stage "Dask's tests with optimize_dask as array_optimize and delayed_optimize"
run dagloom -p dagloom_dask_plugin
close_stage_timing
worse=$(comm -13 "$OUT/default" "$OUT/dagloom")
if [[ -n "$worse" ]]; then
  printf 'fail with optimize_dask only:\n%s\n' "$worse" >&2
  exit 1
fi
echo "every test that passes with Dask's default passes with optimize_dask"
print_stage_times
