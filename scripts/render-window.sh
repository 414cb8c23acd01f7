#!/usr/bin/env bash
# Draws Brivasto's window, as it first appears, into a PNG on Qt's offscreen
# platform (no display needed). Usage: scripts/render-window.sh [FILE.png]
# (default docs/window.png).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window.png}"
mkdir -p "$(dirname "$out")"
cmake -S . -B build >/dev/null
cmake --build build -j 2 --target brivasto-render >/dev/null
QT_QPA_PLATFORM=offscreen build/tools/brivasto-render "$out"
echo "Ventana dibujada en $out"
