#!/usr/bin/env bash
# Fails when a C++ source or header is not laid out as .clang-format says,
# naming each place (clang-format --dry-run -Werror).
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' |
  xargs clang-format --dry-run -Werror
