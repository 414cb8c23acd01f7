#!/usr/bin/env bash
# Builds Brivasto and runs it on the bundled sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build
cmake --build build -j "$(nproc)"
echo "Brivasto construido en build/."
