#!/usr/bin/env bash
# Fuzzing stage of the test command: builds every libFuzzer target
# tests/fuzz/fuzz_*.cpp (clang, AddressSanitizer + UndefinedBehaviorSanitizer,
# the whole core instrumented for coverage) and runs each one for a bounded
# time on a scratch copy of its seed corpus tests/fuzz/corpus/<name>/ (the
# target name without "fuzz_"), so the committed seeds stay small. Fails when
# any target crashes, leaks, times out or trips a sanitizer; the offending
# input is kept in the artifact directory. Prints the executions per target.
#
#   tools/fuzz-all.sh                    # every target
#   tools/fuzz-all.sh fuzz_store_ops     # only the named targets
#
# Environment:
#   FUZZ_SECONDS_EACH  run time per target (default: 300 s shared by the
#                      targets, at most 60 s each)
#   FUZZ_BUILD_DIR     build directory (default <build>/fuzz)
#   FUZZ_ARTIFACTS     where crash inputs go (default <build dir>/artifacts)
#   DAGLOOM_BUILD_ROOT (default <repo>/build), DAGLOOM_JOBS (2)
set -euo pipefail
# shellcheck source=tools/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$DAGLOOM_ROOT"

BUILD_ROOT=${DAGLOOM_BUILD_ROOT:-$DAGLOOM_ROOT/build}
BUILD=${FUZZ_BUILD_DIR:-$BUILD_ROOT/fuzz}
ARTIFACTS=${FUZZ_ARTIFACTS:-$BUILD/artifacts}
TOTAL_BUDGET=300

targets=("$@")
if ((${#targets[@]} == 0)); then
  for src in "$DAGLOOM_ROOT"/tests/fuzz/fuzz_*.cpp; do
    [[ -e "$src" ]] && targets+=("$(basename "$src" .cpp)")
  done
fi
((${#targets[@]})) || die "no fuzz targets (tests/fuzz/fuzz_*.cpp)"
for t in "${targets[@]}"; do
  [[ -f "$DAGLOOM_ROOT/tests/fuzz/$t.cpp" ]] || die "no fuzz target $t (tests/fuzz/$t.cpp)"
done

if [[ -n "${FUZZ_SECONDS_EACH:-}" ]]; then
  each=$FUZZ_SECONDS_EACH
else
  each=$((TOTAL_BUDGET / ${#targets[@]}))
  ((each <= 60)) || each=60
fi
((each >= 1)) || die "FUZZ_SECONDS_EACH must be at least 1 (got $each)"

command -v clang++ >/dev/null || die "clang++ is needed for libFuzzer (apt-get install clang)"

stage "fuzz: build ${targets[*]} (clang, libFuzzer, ASan+UBSan) in $BUILD"
# -fsanitize=fuzzer-no-link instruments the core library for coverage too;
# without it the fuzzer would see only the harness.
CC=clang CXX=clang++ cmake -S "$DAGLOOM_ROOT" -B "$BUILD" \
  -DDAGLOOM_PYTHON=OFF -DDAGLOOM_TESTS=OFF -DDAGLOOM_FUZZ=ON -DDAGLOOM_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$BUILD" -j "$DAGLOOM_JOBS" --target "${targets[@]}"

mkdir -p "$ARTIFACTS"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/dagloom-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

summary=()
failed=()
for t in "${targets[@]}"; do
  seeds=$DAGLOOM_ROOT/tests/fuzz/corpus/${t#fuzz_}
  work=$scratch/$t
  mkdir -p "$work"
  if [[ -d "$seeds" ]]; then
    cp -R "$seeds"/. "$work"/
  else
    info "warning: $t has no seed corpus ($seeds)"
  fi
  log=$BUILD/$t.log
  stage "fuzz: $t for ${each}s ($(find "$work" -type f | wc -l) seeds)"
  rc=0
  touch "$scratch/$t.start"
  "$BUILD/$t" -max_total_time="$each" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$ARTIFACTS/$t-" "$work" >"$log" 2>&1 || rc=$?
  # libFuzzer closes with "Done <N> runs in <S> second(s)"; a crash ends the
  # run before that line, so fall back to its statistics.
  runs=$(sed -n 's/^Done \([0-9][0-9]*\) runs in .*/\1/p' "$log" | tail -n1)
  [[ -n "$runs" ]] || runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n1 || true)
  line=$(printf '%-20s %12s executions  %-10s corpus %5d files  exit %d' \
    "$t" "${runs:-unknown}" "${cov:-cov: ?}" "$(find "$work" -type f | wc -l)" "$rc")
  info "$line"
  summary+=("$line")
  if ((rc != 0)); then
    failed+=("$t")
    info "FAILED: $t (log $log); crash inputs:"
    find "$ARTIFACTS" -maxdepth 1 -name "$t-*" -newer "$scratch/$t.start" -print | sed 's/^/  /'
    tail -n 60 "$log"
  fi
done

printf '\n======== fuzz executions (%ss per target) ========\n' "$each"
printf '%s\n' "${summary[@]}"
print_stage_times
((${#failed[@]} == 0)) || die "fuzz targets failed: ${failed[*]} (inputs in $ARTIFACTS)"
info "tools/fuzz-all.sh: ${#targets[@]} targets ran clean"
