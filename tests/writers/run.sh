#!/usr/bin/env bash
# Runs other_writers.py with a Python that has python3-dbf (Debian's own
# python3 has it once the package is installed; another python3 first on
# the PATH may not).
set -euo pipefail
script="$(dirname "$0")/other_writers.py"
for python in /usr/bin/python3 python3; do
  if command -v "$python" >/dev/null && "$python" -c 'import dbf' 2>/dev/null; then
    exec "$python" "$script" "$@"
  fi
done
exec python3 "$script" "$@"
