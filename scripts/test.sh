#!/usr/bin/env bash
# Installs what is missing, checks that every C++ file is formatted as .clang-format
# says and that no function runs over 80 lines, then builds and runs the whole test suite twice: a normal
# build (gcc) and an AddressSanitizer + UndefinedBehaviorSanitizer build (clang, which
# also builds the libFuzzer targets); then compiles everything once more as Debug and
# as Release (gcc, compile only), so that a warning of any build type fails here rather
# than in a user's build; then runs every fuzz target for a bounded time
# (HALL_FUZZ_SECONDS each, default 30; 0 skips them). Warnings are errors in every
# build made here. The tests start (and stop) every server they need themselves:
# redis-server, mariadbd, hall, the sample logic servers, all on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."

# Checked before the long builds: a value that is no number must not skip the fuzz
# targets and still end in "all tests passed".
fuzz_seconds=${HALL_FUZZ_SECONDS:-30}
if ! [[ $fuzz_seconds =~ ^[0-9]+$ ]]; then
  echo "test.sh: HALL_FUZZ_SECONDS must be whole seconds (0 skips the fuzz targets), got '$fuzz_seconds'" >&2
  exit 2
fi

bash scripts/install-deps.sh

# The format is .clang-format's: a C++ file it would change fails the run before the
# long builds.
echo "=== format check (clang-format) ==="
if ! git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror; then
  echo "test.sh: the files above are not formatted; run clang-format -i on them" >&2
  exit 1
fi
# No function over 80 lines outside the XML reader and the log writer.
echo "=== function size check (ctags) ==="
if ! bash scripts/function-size.sh; then
  echo "test.sh: split the functions above" >&2
  exit 1
fi

# The layers: an include of a library that the including one does not link (an addition
# including the gateway, the gateway including the drain) fails the run too.
echo "=== layer check (scripts/check_layers.py) ==="
python3 scripts/check_layers.py

jobs=$(nproc)
configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
run_suite() {
  configure_and_build "$@"
  ctest --test-dir "$1" --output-on-failure -j "$((jobs * 2))" --timeout 300
}

echo "=== normal build ==="
run_suite build
echo "=== sanitizer build (address, undefined) with the fuzz targets ==="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  CC=clang CXX=clang++ run_suite build-san -DHALL_SANITIZE=ON -DHALL_FUZZ=ON
echo "=== Debug and Release builds, compile only ==="
# Debug without -g: debug information changes no diagnostic and only costs time.
configure_and_build build-debug -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 -DCMAKE_C_FLAGS_DEBUG=-O0
configure_and_build build-release -DCMAKE_BUILD_TYPE=Release
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz targets, $fuzz_seconds s each ==="
  HALL_FUZZ_BUILD=build-san bash scripts/fuzz.sh "$fuzz_seconds"
fi
echo "=== all tests passed ==="
