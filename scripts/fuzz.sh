#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer, UBSan) in
# build-fuzz and runs each for a bounded time on a scratch copy of its committed seed
# corpus (tests/fuzz/corpus/<target>). Any crash, sanitizer report, leak, time-out or
# failed check is a finding: the script prints it, keeps the input under
# tests/fuzz/corpus-work/<target>/ and exits non-zero.
#
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target ...]
#   targets: packet markup ini client_stream logic_stream order stats_request token proxy_header
#   ws_head ws_frames (default: all)
# Environment: HALL_FUZZ_BUILD (build directory), HALL_FUZZ_JOBS (build jobs, default 2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-30}
shift || true
build=${HALL_FUZZ_BUILD:-$root/build-fuzz}
jobs=${HALL_FUZZ_JOBS:-2}
corpus=$root/tests/fuzz/corpus
work=$root/tests/fuzz/corpus-work

if ! [[ $secs =~ ^[0-9]+$ ]] || [ "$secs" -lt 1 ]; then
  echo "fuzz.sh: seconds must be a positive number, got '$secs'" >&2
  exit 2
fi
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is required (apt-get install clang)" >&2
  exit 2
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for d in "$corpus"/*/; do targets+=("$(basename "$d")"); done
fi

echo "== building fuzz targets in $build"
mkdir -p "$build"
# A build directory already configured for fuzzing (the test command's sanitizer build,
# which also holds the test suite) is used as it is.
if ! grep -q '^HALL_FUZZ:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DHALL_FUZZ=ON -DHALL_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
fi
fuzz_bins=()
for t in "${targets[@]}"; do fuzz_bins+=("fuzz_$t"); done
cmake --build "$build" -j"$jobs" --target "${fuzz_bins[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
failed=0
for t in "${targets[@]}"; do
  bin=$build/tests/fuzz/fuzz_$t
  if [ ! -d "$corpus/$t" ] || [ ! -x "$bin" ]; then
    echo "fuzz_$t: no such target" >&2
    failed=$((failed + 1))
    continue
  fi
  rm -rf "$work/$t"
  mkdir -p "$work/$t/corpus" "$work/$t/findings"
  cp "$corpus/$t"/* "$work/$t/corpus/"
  echo "== fuzz_$t for ${secs}s"
  # -timeout: one input may take at most 10 s; -rss_limit_mb bounds memory.
  if "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$t/findings/" "$work/$t/corpus" >"$work/$t/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log" | tail -n 1)
    echo "fuzz_$t: ok, ${runs:-?} inputs, corpus $(ls "$work/$t/corpus" | wc -l) files"
    passed=$((passed + 1))
  else
    echo "fuzz_$t: FINDING (log and input in $work/$t)"
    grep -E 'ERROR|fuzz check failed|SUMMARY|runtime error|Test unit written|Base64' "$work/$t/log" |
      sort -u | head -n 20 || true
    failed=$((failed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
