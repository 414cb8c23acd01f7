#!/usr/bin/env bash
# Fails when a source file includes a header of another folder that is not
# one of that folder's public headers (cmake/public_headers.txt), naming the
# file, the line and the header.
set -euo pipefail
cd "$(dirname "$0")/.."
public=$(grep -v '^#' cmake/public_headers.txt | tr ' ' '\n' | grep '/' | sort -u)
git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' |
  xargs grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' |
  awk -v public="$public" '
    BEGIN { n = split(public, list, "\n"); for (i = 1; i <= n; i++) allowed[list[i]] = 1 }
    {
      split($0, parts, ":"); file = parts[1]; line = parts[2]
      match($0, /"[^"]*"/); header = substr($0, RSTART + 1, RLENGTH - 2)
      own = file; sub(/\/.*/, "", own)
      folder = header; if (!sub(/\/.*/, "", folder)) next  # a header beside the file
      if (folder != own && !(header in allowed)) {
        printf "%s:%s: includes %s, a header private to %s/\n", file, line, header, folder
        bad = 1
      }
    }
    END { exit bad }'
