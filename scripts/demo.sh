#!/usr/bin/env bash
# Builds Brivasto and runs it on the bundled sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build
cmake --build build -j "$(nproc)"
echo "Brivasto construido en build/."

# --- Export: the sample SAGA document into a fresh exchange directory. ---
sample=samples/saga-ejemplo.xml
zwork=build/demo-zwork
rm -rf "$zwork"
mkdir -p "$zwork"
echo
echo "== brivasto-cli export $sample --zwork $zwork"
build/brivasto-cli export "$sample" --zwork "$zwork"

# Each table as an independent dBase reader sees it: its fields (name, type,
# width, decimals), then its first records.
echo
if /usr/bin/python3 -c 'import dbfread' 2>/dev/null; then
  /usr/bin/python3 - "$zwork" <<'PY'
import sys, dbfread
zwork = sys.argv[1]
for name in ["ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"]:
    table = dbfread.DBF(f"{zwork}/{name}.DBF", encoding="cp1252", char_decode_errors="strict")
    records = list(table)
    print(f"== {name}.DBF: {len(records)} registros")
    print("   campos: " + ", ".join(
        f"{f.name} {f.type}{f.length}" + (f".{f.decimal_count}" if f.decimal_count else "")
        for f in table.fields))
    widths = {f.name: max([len(f.name)] + [len(str(r[f.name] if r[f.name] is not None else ""))
                                            for r in records]) for f in table.fields}
    shown = [f.name for f in table.fields]
    print("   " + " | ".join(n.ljust(widths[n]) for n in shown))
    for r in records[:40]:
        print("   " + " | ".join(str(r[n] if r[n] is not None else "").ljust(widths[n])
                                 for n in shown))
    if len(records) > 40:
        print(f"   ... ({len(records) - 40} registros más)")
    print()
PY
else
  echo "(python3-dbfread no está instalado: bash scripts/install-deps.sh)"
  ls -l "$zwork"
fi
