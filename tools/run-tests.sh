#!/usr/bin/env bash
# Installs what is missing, then builds and runs the tests three times: every test in the normal
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build, and the simulated kernel's
# and the driver's tests in the race detector build (ThreadSanitizer). Arguments go to every
# ctest run (e.g. -R Purge). ZEL_BUILD_DIR, ZEL_ASAN_BUILD_DIR and ZEL_TSAN_BUILD_DIR pick the
# build directories (default: build, build-asan, build-tsan).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
root=$(zel_root)
cd "$root"
build=${ZEL_BUILD_DIR:-build}
asan_build=${ZEL_ASAN_BUILD_DIR:-build-asan}
tsan_build=${ZEL_TSAN_BUILD_DIR:-build-tsan}
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

echo "==== summary ($((SECONDS - start)) s)"
passed=0
failed=0
skipped=0
for name in normal sanitized race-detector; do
  echo "$name: $(cat "$logs/$name.summary")"
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
