#!/usr/bin/env bash
# The end-to-end test of the window on a real X server: Xvfb, openbox, the
# real build/brivasto driven with xdotool in Spanish (tests/desktop). The
# screenshots of the window and of each dialog stay in build/desktop-test/.
# Usage: scripts/desktop-test.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
cmake -S . -B "$dir" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target brivasto
# Bounded: a dialog that never comes fails each wait after 30 seconds, and
# the whole test after five minutes.
timeout --kill-after=10 300 /usr/bin/python3 tests/desktop/desktop_test.py "$dir"
