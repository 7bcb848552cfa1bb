#!/usr/bin/env bash
# Installs what is missing, then builds and runs the tests three times: every test in the normal
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build, and the simulated kernel's
# and the driver's tests in the race detector build (ThreadSanitizer); then fuzzes the port's
# requests for ZEL_FUZZ_SECONDS (default 60; 0 leaves the phase out) with tools/run-fuzz.sh.
# Arguments go to every ctest run (e.g. -R Purge). ZEL_BUILD_DIR, ZEL_ASAN_BUILD_DIR,
# ZEL_TSAN_BUILD_DIR and ZEL_FUZZ_BUILD_DIR pick the build directories (default: build,
# build-asan, build-tsan, build-fuzz).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
root=$(zel_root)
cd "$root"
build=${ZEL_BUILD_DIR:-build}
asan_build=${ZEL_ASAN_BUILD_DIR:-build-asan}
tsan_build=${ZEL_TSAN_BUILD_DIR:-build-tsan}
fuzz_seconds=${ZEL_FUZZ_SECONDS:-60}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

zel_ensure_packages

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# run_suite <name> <build directory> [cmake options...]
run_suite() {
  local name=$1 dir=$2
  shift 2
  echo "==== $name: build ($dir)"
  if ! zel_build "$dir" "$@"; then
    echo "==== $name: BUILD FAILED"
    echo "build failed" >"$logs/$name.summary"
    return 1
  fi
  echo "==== $name: tests"
  local rc=0
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$ZEL_JOBS" "${ctest_args[@]}" |
    tee "$logs/$name.log" || rc=$?
  grep -E '^[0-9]+% tests passed' "$logs/$name.log" >"$logs/$name.summary" ||
    echo "no summary from ctest" >"$logs/$name.summary"
  return "$rc"
}

ctest_args=("$@")
status=0
start=$SECONDS
run_suite normal "$build" || status=1
# Unoptimised: the sanitizers find the same faults, and it builds much faster than at -O2.
run_suite sanitized "$asan_build" -DZEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug || status=1
run_suite race-detector "$tsan_build" -DZEL_RACE_DETECTOR=ON || status=1

# The fuzz phase counts as one test: passed when the run ended without a finding.
phases=(normal sanitized race-detector)
fuzz_failed=0
if [[ $fuzz_seconds -gt 0 ]]; then
  phases+=(fuzz)
  echo "==== fuzz: $fuzz_seconds s (${ZEL_FUZZ_BUILD_DIR:-build-fuzz})"
  if "$root/tools/run-fuzz.sh" "$fuzz_seconds" 2>&1 | tee "$logs/fuzz.log"; then
    :
  else
    fuzz_failed=1
    status=1
  fi
  grep -E '^==== fuzz: [0-9?]+ inputs' "$logs/fuzz.log" | sed 's/^==== fuzz: //' >"$logs/fuzz.summary" ||
    echo "no summary from the fuzzer" >"$logs/fuzz.summary"
  if [[ $fuzz_failed -ne 0 ]]; then
    echo "FAILED: $(cat "$logs/fuzz.summary")" >"$logs/fuzz.summary"
  fi
fi

echo "==== summary ($((SECONDS - start)) s)"
passed=0
failed=0
skipped=0
for name in "${phases[@]}"; do
  echo "$name: $(cat "$logs/$name.summary")"
  if [[ $name == fuzz ]]; then
    if [[ $fuzz_failed -ne 0 ]]; then failed=$((failed + 1)); else passed=$((passed + 1)); fi
    continue
  fi
  [[ -f $logs/$name.log ]] || continue
  line=$(grep -E '^[0-9]+% tests passed' "$logs/$name.log" || true)
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    s=$(grep -c '(Skipped)' "$logs/$name.log" || true)
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1] - s))
    skipped=$((skipped + s))
  fi
done
echo "$passed passed, $failed failed, $skipped skipped"
if [[ $status -ne 0 ]]; then
  echo "TESTS FAILED"
fi
exit "$status"
