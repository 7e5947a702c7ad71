#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for a bounded time on its seed corpus. Fails when a target
# crashes, leaks or trips a sanitizer; the input is kept in the artifact dir.
#
#   tools/fuzz.sh                 # every target in tests/fuzz/
#   tools/fuzz.sh fuzz_blob       # only the named targets
#
# Environment:
#   FUZZ_SECONDS     run time per target (default 60)
#   FUZZ_BUILD_DIR   build directory (default <repo>/build/fuzz)
#   FUZZ_JOBS        build parallelism (default 2)
#   FUZZ_ARTIFACTS   where crash inputs go (default <build>/artifacts)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build/fuzz}
JOBS=${FUZZ_JOBS:-2}
ARTIFACTS=${FUZZ_ARTIFACTS:-$BUILD/artifacts}

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in "$ROOT"/tests/fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

# The fuzz targets get -fsanitize=fuzzer from the build, the core library does
# not: without coverage instrumentation in the library the fuzzer would only
# see the harness, so the whole build is instrumented here.
CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$ROOT" -B "$BUILD" \
  -DDAGLOOM_PYTHON=OFF -DDAGLOOM_TESTS=OFF -DDAGLOOM_FUZZ=ON -DDAGLOOM_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target "${targets[@]}"

mkdir -p "$ARTIFACTS"
status=0
for t in "${targets[@]}"; do
  seeds="$ROOT/tests/fuzz/corpus/${t#fuzz_}"
  # New inputs go to a scratch corpus so the committed seeds stay small.
  work="$BUILD/corpus/$t"
  mkdir -p "$work"
  log="$BUILD/$t.log"
  echo "== $t: ${SECONDS_PER_TARGET}s, seeds $seeds"
  set +e
  "$BUILD/$t" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
    -artifact_prefix="$ARTIFACTS/$t-" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 || true)
  echo "   executions: ${execs:-unknown}, ${cov:-cov: unknown}, corpus: $(ls "$work" | wc -l) files, exit $rc"
  if [ "$rc" -ne 0 ]; then
    echo "   FAILED: see $log; crash inputs:"
    ls -1 "$ARTIFACTS" | sed -n "/^$t-/s/^/     /p"
    tail -40 "$log"
    status=1
  fi
done
exit "$status"
