#!/usr/bin/env python3
"""The sample school's solution written by other dBase writers imports to the
sample's expected section.

SOLUC and DIASHORAST are rewritten from the sample's data (samples/talvenor)
with python3-dbf (dBase III, and Visual FoxPro with I and B fields and a
column that can be null) and with GDAL's ogr2ogr (its default, CP850 and
UTF-8 named in a .cpg file); each set goes into an exchange directory that
the sample document was exported to, and `brivasto-cli import` must write
exactly samples/talvenor/expected-time-tables.xml. A writer that is not
installed is skipped; with neither, the test exits 77 (skipped).

Usage: other_writers.py BRIVASTO_CLI SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

try:
    import dbf  # python3-dbf
except ImportError:
    dbf = None

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tables", "testdata"))
from make_fixtures import read_dbase3  # noqa: E402

SKIPPED = 77
TABLES = ("SOLUC", "DIASHORAST")


def run(command, **options):
    result = subprocess.run(command, capture_output=True, text=True, **options)
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command)} -> {result.returncode}\n"
                         f"{result.stdout}{result.stderr}")
    return result


def canonical(element):
    return ET.canonicalize(ET.tostring(element, encoding="unicode"), strip_text=True)


def write_with_dbf(sample, out, dialect):
    for name in TABLES:
        fields, records = read_dbase3(os.path.join(sample, name + ".DBF"))
        columns = []
        for field, kind, width, decimals in fields:
            if kind == "C":
                # Visual FoxPro: text columns that can be null, an empty one null.
                columns.append(f"{field} C({width})" + (" NULL" if dialect == "vfp" else ""))
            elif dialect == "vfp":
                columns.append(f"{field} " + ("B" if decimals else "I"))
            else:
                columns.append(f"{field} N({width},{decimals})")
        table = dbf.Table(os.path.join(out, name + ".DBF"), "; ".join(columns),
                          dbf_type=dialect, codepage="cp1252")
        table.open(dbf.READ_WRITE)
        for record in records:
            values = []
            for field, kind, _, decimals in fields:
                value = record[field]
                if kind == "C":
                    # Visual FoxPro: an empty text is null.
                    value = dbf.Null if dialect == "vfp" and value == "" else value
                elif value is None:
                    value = 0 if dialect == "vfp" else None
                elif decimals == 0:
                    value = int(value)
                values.append(value)
            table.append(tuple(values))
        table.close()


def write_with_ogr2ogr(sample, out, encoding):
    for name in TABLES:
        command = ["ogr2ogr", "-f", "ESRI Shapefile"]
        if encoding:
            command += ["-lco", f"ENCODING={encoding}"]
        # The sample's driver byte 0x57 is read by GDAL as ISO-8859-1; the
        # sample's text lies where that and 1252 agree.
        run(command + [os.path.join(out, name + ".dbf"), os.path.join(sample, name + ".DBF")])


def main(cli, source):
    sample = os.path.join(source, "samples", "talvenor")
    writers = []
    if dbf is not None:
        writers += [("python3-dbf, dBase III", lambda out: write_with_dbf(sample, out, "db3")),
                    ("python3-dbf, Visual FoxPro", lambda out: write_with_dbf(sample, out, "vfp"))]
    if shutil.which("ogr2ogr"):
        writers += [(f"ogr2ogr {label}", lambda out, e=encoding: write_with_ogr2ogr(sample, out, e))
                    for label, encoding in (("default", None), ("CP850", "CP850"),
                                            ("UTF-8", "UTF-8"))]
    if not writers:
        print("neither python3-dbf nor ogr2ogr is installed: skipped")
        return SKIPPED
    expected = canonical(ET.parse(os.path.join(sample, "expected-time-tables.xml")).getroot())
    failures = []
    with tempfile.TemporaryDirectory() as temp:
        exported = os.path.join(temp, "exported")
        os.mkdir(exported)
        shutil.copy(os.path.join(source, "samples", "saga-ejemplo.xml"), temp)
        run([cli, "--zwork", exported, "export", os.path.join(temp, "saga-ejemplo.xml")])
        for number, (label, write) in enumerate(writers):
            work = os.path.join(temp, str(number))
            zwork = os.path.join(work, "zwork")
            written = os.path.join(work, "written")
            shutil.copytree(exported, zwork)
            os.mkdir(written)
            write(written)
            # The written tables take the place of the exported ones, whatever
            # the letter case of their names.
            for entry in os.listdir(zwork):
                if os.path.splitext(entry)[0].upper() in TABLES:
                    os.remove(os.path.join(zwork, entry))
            for entry in os.listdir(written):
                shutil.copy(os.path.join(written, entry), zwork)
            document = os.path.join(work, "saga-ejemplo.xml")
            shutil.copy(os.path.join(source, "samples", "saga-ejemplo.xml"), document)
            result = subprocess.run([cli, "--zwork", zwork, "import", document],
                                    capture_output=True, text=True)
            if result.returncode != 0:
                failures.append(f"{label}: exit {result.returncode}: {result.stderr.strip()}")
                continue
            section = ET.parse(document).getroot().find("time-tables")
            if section is None or canonical(section) != expected:
                failures.append(f"{label}: the section differs from expected-time-tables.xml")
            else:
                print(f"{label}: as expected")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
