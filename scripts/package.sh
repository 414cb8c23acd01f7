#!/usr/bin/env bash
# Builds the Debian package in build-package/ (optimised, with the debug
# information stripped from the packaged programs), installs it into the system,
# runs the installed programs on the sample document, and removes the
# package again. Run as root; safe to run again on the same machine.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-package
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVASTO_BUILD_TESTS=OFF
cmake --build "$dir" -j 2
rm -f "$dir"/brivasto_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/brivasto_*.deb)
dpkg-deb --info "$deb" | sed -n '/Depends/p'

export DEBIAN_FRONTEND=noninteractive
# A copy from an earlier run goes first, so the package is installed afresh.
if dpkg-query -W -f='${Status}' brivasto 2>/dev/null | grep -q 'install ok installed'; then
  apt-get remove -y -qq brivasto
fi
apt-get install -y -qq "./$deb"

work=$(mktemp -d)
trap 'rm -rf "$work"; apt-get remove -y -qq brivasto >/dev/null || true' EXIT
test -x /usr/bin/brivasto && test -x /usr/bin/brivasto-cli
test -f /usr/share/applications/brivasto.desktop
test -f /usr/share/icons/hicolor/scalable/apps/brivasto.svg
test -f /usr/share/doc/brivasto/manual.html
/usr/bin/brivasto-cli --version
mkdir "$work/zwork"
cp samples/saga-ejemplo.xml "$work/centro.xml"
/usr/bin/brivasto-cli --zwork "$work/zwork" export "$work/centro.xml"
for table in ASIGNOMT PROFT AULAT GRUPOST ASIGT DIASHORAST; do
  test -s "$work/zwork/$table.DBF"
done
echo "El paquete $deb se instala y exporta el ejemplo."
