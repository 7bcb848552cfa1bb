#!/usr/bin/env bash
# Builds the port IOCTL fuzzer with clang (build-fuzz/, -DZEL_FUZZ=ON, the fuzzer target only)
# and runs it for the given seconds (default 60) on a copy of fuzz/corpus/port_ioctl, so the
# checked-in corpus is never written. Any crash, hang, leak or verifier report fails the run;
# the input that caused it is kept in <build>/fuzz-artifacts/. Arguments after the seconds go
# to libFuzzer (e.g. -runs=1000000, -fork=2). ZEL_FUZZ_BUILD_DIR picks the build directory.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
root=$(zel_root)
cd "$root"
seconds=${1:-60}
[[ $# -gt 0 ]] && shift
build=${ZEL_FUZZ_BUILD_DIR:-build-fuzz}

# libFuzzer's runtime (libclang_rt.fuzzer) is only recommended by clang, not pulled in.
ZEL_PACKAGES+=(clang libclang-rt-14-dev)
zel_ensure_packages

generator=()
if [[ ! -f $build/CMakeCache.txt ]]; then
  generator=(-G Ninja)
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" -DZEL_FUZZ=ON
cmake --build "$build" -j "$ZEL_JOBS" --target port_ioctl_fuzzer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r fuzz/corpus/port_ioctl "$work/corpus"
mkdir -p "$work/artifacts" "$build/fuzz-artifacts"
# The run's own checks replace libFuzzer's per-input leak check (which would run every input
# twice on the machine kept across inputs); LeakSanitizer still checks the whole process at exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
(cd "$work" && "$root/$build/fuzz/port_ioctl_fuzzer" -max_total_time="$seconds" -detect_leaks=0 -timeout=60 \
  -rss_limit_mb=4096 -dict="$root/fuzz/port_ioctl.dict" -artifact_prefix="$work/artifacts/" \
  -print_final_stats=1 "$@" "$work/corpus") 2>&1 | tee "$work/log" || status=$?
if compgen -G "$work/artifacts/*" >/dev/null || compgen -G "$work/port_ioctl_series-*" >/dev/null; then
  cp -r "$work"/artifacts/* "$work"/port_ioctl_series-* "$build/fuzz-artifacts/" 2>/dev/null || true
  echo "==== fuzz: inputs kept in $build/fuzz-artifacts/ (replay: $build/fuzz/port_ioctl_fuzzer FILE)"
  status=1
fi
runs=$(grep -E '^stat::number_of_executed_units:' "$work/log" | awk '{print $2}' || true)
rate=$(grep -E '^stat::average_exec_per_sec:' "$work/log" | awk '{print $2}' || true)
echo "==== fuzz: ${runs:-?} inputs in ${seconds} s (${rate:-?}/s), corpus $(ls "$work/corpus" | wc -l) inputs"
if [[ $status -ne 0 ]]; then
  echo "==== fuzz: FAILED"
fi
exit "$status"
