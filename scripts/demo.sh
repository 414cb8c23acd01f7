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

sample=samples/instituto.xml
solution=samples/talvenor
cli=build/brivasto-cli
demo=build/demo
zwork=build/demo-zwork
rm -rf "$demo" "$zwork"
mkdir -p "$demo" "$zwork"
document="$demo/$(basename "$sample")"
cp "$sample" "$document"

echo
echo "== Exportación: $document -> $zwork"
"$cli" export "$document" --zwork "$zwork"
ls "$zwork"

echo
echo "== Talvenor deja su horario: DIASHORAST y SOLUC de $solution"
cp "$solution/DIASHORAST.DBF" "$solution/SOLUC.DBF" "$zwork/"

echo
echo "== Importación: $zwork -> $document"
"$cli" import "$document" --zwork "$zwork"

echo
echo "== Sección time-tables de $document (las primeras 60 líneas)"
xmllint --xpath '/*/time-tables' "$document" | xmllint --format - | sed -n '2,61p'
count() { xmllint --xpath "count($1)" "$document"; }
echo "..."
echo "días: $(count '/*/time-tables/time-table/days/day')," \
  "intervalos: $(count '/*/time-tables/time-table/days/day/interval')," \
  "grupos: $(count '/*/time-tables/time-table/groups/group')," \
  "profesores: $(count '/*/time-tables/time-table/members/member')," \
  "actividades: $(count '/*/time-tables/time-table/activities/activity')," \
  "sesiones: $(count '/*/time-tables/time-table/inputs/input')"

# Everything outside the section is as it was: the two documents compared
# without their top-level time-tables sections and the layout white space.
python3 - "$sample" "$document" <<'EOF'
import sys
import xml.etree.ElementTree as ET

def content(path):
    root = ET.parse(path).getroot()
    for section in root.findall("time-tables"):
        root.remove(section)
    for element in root.iter():
        if element.text is not None and not element.text.strip():
            element.text = None
        if element.tail is not None and not element.tail.strip():
            element.tail = None
    return ET.tostring(root)

if content(sys.argv[1]) != content(sys.argv[2]):
    sys.exit("El documento ha cambiado fuera de la sección time-tables.")
print("Fuera de la sección time-tables el documento no ha cambiado;",
      "la versión anterior queda en", sys.argv[2] + ".bak.")
EOF
