#!/usr/bin/env bash
# Builds Brivasto and runs the round trip on the bundled sample school: the
# export of a copy of the sample SAGA document into build/demo-zwork,
# Talvenor's sample solution put there as Talvenor would leave it, the
# import, and the `time-tables` section it wrote into the copy.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build
cmake --build build -j "$(nproc)"
echo "Brivasto construido en build/."

# --- Export: a copy of the sample SAGA document into a fresh exchange directory. ---
sample=samples/saga-ejemplo.xml
demo=build/demo
zwork=build/demo-zwork
rm -rf "$demo" "$zwork"
mkdir -p "$demo" "$zwork"
document="$demo/$(basename "$sample")"
cp "$sample" "$document"
echo
echo "== brivasto-cli export $document --zwork $zwork"
build/brivasto-cli export "$document" --zwork "$zwork"

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

# --- Talvenor builds its timetable: the sample solution for this school. ---
solution=samples/talvenor
echo
echo "== Talvenor deja su horario: DIASHORAST y SOLUC de $solution"
cp "$solution/DIASHORAST.DBF" "$solution/SOLUC.DBF" "$zwork/"

# --- The check before importing: both sides, nothing written. ---
echo
echo "== brivasto-cli check $document --zwork $zwork"
build/brivasto-cli check "$document" --zwork "$zwork"

# --- Import: the timetable back into the copy of the document. ---
echo
echo "== brivasto-cli import $document --zwork $zwork"
build/brivasto-cli import "$document" --zwork "$zwork"

echo
echo "== La sección time-tables escrita en $document"
echo "   (la sección entera: xmllint --xpath '/*/time-tables' $document | xmllint --format -)"
xmllint --xpath '/*/time-tables/time-table/days/day[1]' "$document" | xmllint --encode UTF-8 --format - | sed 1d

# The first lessons one to a line, the size of each list, and a check that
# everything outside the section is as it was: the two documents compared
# without their top-level time-tables sections and the layout white space.
/usr/bin/python3 - "$sample" "$document" <<'PY'
import sys
import xml.etree.ElementTree as ET

section = ET.parse(sys.argv[2]).getroot().find("time-tables/time-table")
print("   las primeras actividades:")
for activity in section.findall("activities/activity")[:3]:
    print(f"   {activity.get('id'):4} {activity.get('subject')} {activity.get('name')}")
print("   las primeras sesiones (una fila de SOLUC con día 0 no da sesión; la ubicación")
print("   sin registro en AULAT lleva el código del aula, y la que no tiene aula, ningún id):")
for entry in section.findall("inputs/input")[:8]:
    references = "  ".join(
        f"{kind}={entry.find(f'{kinds}/{kind}').get('id', '(sin id)')}"
        for kinds, kind in (("groups", "group"), ("members", "member"), ("locations", "location")))
    print(f"   {entry.get('id'):8} día {entry.get('day')} {entry.get('interval'):4} "
          f"{entry.get('activity'):4} {references}")
print("   días: %d, intervalos: %d, grupos: %d, profesores: %d, actividades: %d, sesiones: %d" % (
    len(section.findall("days/day")), len(section.findall("days/day/interval")),
    len(section.findall("groups/group")), len(section.findall("members/member")),
    len(section.findall("activities/activity")), len(section.findall("inputs/input"))))

def content(path):
    root = ET.parse(path).getroot()
    for old in root.findall("time-tables"):
        root.remove(old)
    for element in root.iter():
        if element.text is not None and not element.text.strip():
            element.text = None
        if element.tail is not None and not element.tail.strip():
            element.tail = None
    return ET.tostring(root)

if content(sys.argv[1]) != content(sys.argv[2]):
    sys.exit("El documento ha cambiado fuera de la sección time-tables.")
print()
print("Fuera de la sección time-tables el documento no ha cambiado;",
      "la versión anterior queda en", sys.argv[2] + ".bak.")
PY
