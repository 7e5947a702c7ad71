#!/usr/bin/env bash
# Sanitizer stage of the test command. Any sanitizer report fails it.
#
#   asan   core, C++ tests and module built with AddressSanitizer and
#          UndefinedBehaviorSanitizer (g++, -fno-sanitize-recover=all) in
#          <build>/asan; dagloom_tests with leak detection on, then the pytest
#          suite on /usr/bin/python3 with the sanitizer runtimes preloaded
#          (leak detection off for the interpreter, which keeps memory alive
#          at exit by design; PYTHONMALLOC=malloc so that Python objects the
#          module touches are checked too).
#   tsan   core and C++ tests built with ThreadSanitizer in <build>/tsan,
#          running the tests that drive the store, the symbol table and the
#          reducer from several threads (suites named *Thread* / *Concurrent*).
#   leaks  tools/leak-check.py, 100,000 calls per public method and error
#          path, against the ordinary module of <build>/py311 (built into
#          <build>/leak when that tree has none).
#
#   tools/test-sanitizers.sh              # asan, tsan, leaks
#   tools/test-sanitizers.sh tsan asan    # only these stages
#
# Environment: DAGLOOM_BUILD_ROOT (default <repo>/build), DAGLOOM_JOBS (2),
# DAGLOOM_ASAN_DIR, DAGLOOM_TSAN_DIR (default <build>/asan, <build>/tsan),
# DAGLOOM_LEAK_CALLS (100000).
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$DAGLOOM_ROOT"

BUILD_ROOT=${DAGLOOM_BUILD_ROOT:-$DAGLOOM_ROOT/build}
ASAN_DIR=${DAGLOOM_ASAN_DIR:-$BUILD_ROOT/asan}
TSAN_DIR=${DAGLOOM_TSAN_DIR:-$BUILD_ROOT/tsan}
LEAK_CALLS=${DAGLOOM_LEAK_CALLS:-100000}
STAGES=(asan tsan leaks)
THREAD_FILTER='*Thread*:*Concurrent*:Locks.*'

# Sanitizer reports go to files (log_path) as well as failing the process,
# so that a report from a subprocess whose output a test captured is not
# lost. fail_on_reports <dir> <what> fails when any report file exists.
fail_on_reports() {
  local dir=$1 what=$2 f found=0
  for f in "$dir"/*; do
    [[ -s "$f" ]] || continue
    found=1
    printf '\n---- %s ----\n' "$f" >&2
    head -n 80 "$f" >&2
  done
  ((found == 0)) || die "$what: sanitizer reported errors (logs in $dir)"
}

fresh_log_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# The gtest cases a filter selects, so that a filter matching nothing fails.
count_tests() {
  "$1" --gtest_list_tests --gtest_filter="$2" | grep -c '^  ' || true
}

# A gcc runtime library by name, e.g. libasan.so.
gcc_runtime() {
  local lib
  lib=$(g++ -print-file-name="$1")
  [[ "$lib" == /* && -e "$lib" ]] || die "g++ has no $1 (install the matching libasan/libubsan/libtsan package)"
  printf '%s\n' "$lib"
}

stage_asan() {
  stage "ASan+UBSan: build core, C++ tests and module (g++) in $ASAN_DIR"
  CC=gcc CXX=g++ cmake_build "$ASAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAGLOOM_SANITIZE=ON \
    -DDAGLOOM_TESTS=ON -DDAGLOOM_PYTHON=ON -DPython3_EXECUTABLE="$DAGLOOM_SYS_PY"
  local so; so=$(require_module "$ASAN_DIR")
  [[ -x "$ASAN_DIR/dagloom_tests" ]] || die "no dagloom_tests in $ASAN_DIR"
  info "module: $so"

  stage "ASan+UBSan: dagloom_tests with leak detection"
  local logs=$ASAN_DIR/sanitizer-logs/ctest rc=0
  fresh_log_dir "$logs"
  ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$logs/asan" \
  LSAN_OPTIONS="log_path=$logs/lsan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    "$ASAN_DIR/dagloom_tests" --gtest_brief=1 || rc=$?
  fail_on_reports "$logs" "dagloom_tests under ASan+UBSan"
  ((rc == 0)) || die "dagloom_tests under ASan+UBSan failed (exit code $rc)"

  stage "ASan+UBSan: pytest on $DAGLOOM_SYS_PY with the sanitizer runtimes preloaded"
  local preload
  preload="$(gcc_runtime libasan.so) $(gcc_runtime libubsan.so)"
  logs=$ASAN_DIR/sanitizer-logs/pytest
  fresh_log_dir "$logs"
  rc=0
  env -u PYTHON_GIL LD_PRELOAD="$preload" PYTHONMALLOC=malloc DAGLOOM_UNDER_SANITIZER=1 \
    ASAN_OPTIONS="detect_leaks=0:strict_string_checks=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    PYTHONPATH="$ASAN_DIR/python" \
    "$DAGLOOM_SYS_PY" -m pytest "$DAGLOOM_ROOT/tests/python" -q -ra -p no:cacheprovider || rc=$?
  fail_on_reports "$logs" "pytest under ASan+UBSan"
  case $rc in
    0) ;;
    5) die "pytest under ASan collected no tests" ;;
    *) die "pytest under ASan+UBSan failed (exit code $rc)" ;;
  esac
}

stage_tsan() {
  stage "TSan: build core and C++ tests (g++) in $TSAN_DIR"
  CC=gcc CXX=g++ cmake -S "$DAGLOOM_ROOT" -B "$TSAN_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAGLOOM_TSAN=ON \
    -DDAGLOOM_PYTHON=OFF -DDAGLOOM_TESTS=ON
  cmake --build "$TSAN_DIR" -j "$DAGLOOM_JOBS" --target dagloom_tests
  gcc_runtime libtsan.so >/dev/null

  stage "TSan: multi-threaded C++ tests ($THREAD_FILTER)"
  local n; n=$(count_tests "$TSAN_DIR/dagloom_tests" "$THREAD_FILTER")
  ((n > 0)) || die "the filter $THREAD_FILTER selects no test"
  info "$n tests"
  local logs=$TSAN_DIR/sanitizer-logs rc=0 out
  fresh_log_dir "$logs"
  local run=("$TSAN_DIR/dagloom_tests" --gtest_filter="$THREAD_FILTER" --gtest_brief=1)
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan"
  out=$("${run[@]}" 2>&1) || rc=$?
  # Some kernels randomise mmap more than this runtime expects; it then
  # refuses to start. Run it again without address-space randomisation.
  if ((rc != 0)) && grep -q 'unexpected memory mapping' <<<"$out$(cat "$logs"/* 2>/dev/null)"; then
    info "ThreadSanitizer cannot map its shadow memory here; running again with setarch -R"
    fresh_log_dir "$logs"
    rc=0
    out=$(setarch "$(uname -m)" -R "${run[@]}" 2>&1) || rc=$?
  fi
  printf '%s\n' "$out"
  unset TSAN_OPTIONS
  fail_on_reports "$logs" "multi-threaded tests under TSan"
  ((rc == 0)) || die "multi-threaded tests under TSan failed (exit code $rc)"
}

stage_leaks() {
  local dir=$BUILD_ROOT/py311
  if [[ -z "$(module_path "$dir")" ]]; then
    dir=$BUILD_ROOT/leak
    stage "leaks: build the module against $DAGLOOM_SYS_PY in $dir"
    cmake -S "$DAGLOOM_ROOT" -B "$dir" -DDAGLOOM_TESTS=OFF -DPython3_EXECUTABLE="$DAGLOOM_SYS_PY"
    cmake --build "$dir" -j "$DAGLOOM_JOBS" --target dagloom_core
  fi
  require_module "$dir" >/dev/null
  stage "leaks: $LEAK_CALLS calls per public method and error path (tools/leak-check.py)"
  env -u PYTHON_GIL PYTHONPATH="$dir/python" "$DAGLOOM_SYS_PY" "$DAGLOOM_ROOT/tools/leak-check.py" --calls "$LEAK_CALLS"
}

run_stages tools/test-sanitizers.sh "${STAGES[@]}" -- "$@"
