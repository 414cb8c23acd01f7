#!/usr/bin/env bash
# Builds Brivasto in build/ and runs every test. With --sanitize, builds in
# build-asan/ with AddressSanitizer and UndefinedBehaviorSanitizer instead.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
flags=()
if [[ "${1:-}" == "--sanitize" ]]; then
  dir=build-asan
  flags=(-DBRIVASTO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$dir" "${flags[@]}"
cmake --build "$dir" -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
