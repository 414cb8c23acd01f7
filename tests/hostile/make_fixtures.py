#!/usr/bin/env python3
"""Writes the fixtures of the hostile-input catalogue (cases/<case>/...).

Each case folder is laid over a base (see catalogue.tsv and hostile_test.cpp):
a `saga.xml` replaces the SAGA document, files under `zwork/` replace or add
exchange tables. The large inputs (names of 100,000 characters, thousands of
fields, deep nesting) are made by the test itself, not here.

    python3 tests/hostile/make_fixtures.py
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = os.path.join(HERE, "cases")


def dbf(fields, records, version=0x03, count=None, record_length=None,
        header_length=None, driver=0x58, end=True):
    """A dBase III table. fields: (name, type, width, decimals); records: one
    text per field (padded here: text left, numbers right); a record may be
    raw bytes instead."""
    n = len(fields)
    hlen = 32 + 32 * n + 1 if header_length is None else header_length
    rlen = 1 + sum(f[2] for f in fields) if record_length is None else record_length
    cnt = len(records) if count is None else count
    out = bytearray(struct.pack("<B3BIHH", version, 126, 12, 10, cnt, hlen, rlen))
    out += bytes(16) + bytes([0, driver]) + bytes(2)
    for name, kind, width, decimals in fields:
        out += name.encode("ascii").ljust(11, b"\0") + kind.encode("ascii") + bytes(4)
        out += bytes([width & 0xFF, decimals]) + bytes(14)
    out += b"\r"
    out = out.ljust(hlen, b"\0")
    for record in records:
        if isinstance(record, (bytes, bytearray)):
            out += record
            continue
        row = b" "
        for (name, kind, width, decimals), value in zip(fields, record):
            raw = value.encode("cp1252")
            row += raw.ljust(width)[:width] if kind == "C" else raw.rjust(width)[:width]
        out += row
    if end:
        out += b"\x1a"
    return bytes(out)


# SOLUC as the sample Talvenor solution lays it out, with codes of the sample
# school's export (group 1ESO A, subject LCL, teacher MJGL, room A1).
SOLUC_FIELDS = [("NUMERO", "N", 6, 0), ("CODGRUPO", "C", 10, 0), ("ASIG", "C", 10, 0),
                ("PROF", "C", 10, 0), ("AULA", "C", 10, 0), ("DIA", "N", 2, 0),
                ("HORA", "N", 3, 0), ("SESIONES", "N", 5, 2)]
SOLUC_ROWS = [["1", "1ESO A", "LCL", "MJGL", "A1", "1", "1", "1.00"],
              ["2", "1ESO A", "LCL", "MJGL", "A1", "2", "1", "1.00"]]


def soluc(**changes):
    return dbf(SOLUC_FIELDS, SOLUC_ROWS, **changes)


def soluc_with(field, value, kind=None, width=None):
    """SOLUC whose second row holds `value` in `field` (the field may be made
    a text field of another width)."""
    fields = [(n, kind or k, width or w, 0 if kind == "C" else d) if n == field else (n, k, w, d)
              for n, k, w, d in SOLUC_FIELDS]
    rows = [list(r) for r in SOLUC_ROWS]
    rows[1][[f[0] for f in SOLUC_FIELDS].index(field)] = value
    return dbf(fields, rows)


def level7(fields, records):
    """A dBase level 7 table; fields (name, type, width); values already as
    bytes of the field's width."""
    hlen = 68 + 48 * len(fields) + 1
    rlen = 1 + sum(f[2] for f in fields)
    out = bytearray(struct.pack("<B3BIHH", 0x04, 126, 12, 10, len(records), hlen, rlen))
    out += bytes(20) + b"DBWINUS0".ljust(32, b"\0") + bytes(4)
    for name, kind, width in fields:
        out += name.encode("ascii").ljust(32, b"\0") + kind.encode("ascii")
        out += bytes([width, 0]) + bytes(13)
    out += b"\r"
    for record in records:
        out += b" " + b"".join(record)
    return bytes(out + b"\x1a")


def long7(value):
    return struct.pack(">I", (value & 0xFFFFFFFF) ^ 0x80000000)


def double7(value):
    (raw,) = struct.unpack(">Q", struct.pack(">d", value))
    raw = raw ^ 0xFFFFFFFFFFFFFFFF if raw >> 63 else raw | (1 << 63)
    return struct.pack(">Q", raw)


def soluc7(hour):
    fields = [("CODGRUPO", "C", 10), ("ASIG", "C", 10), ("PROF", "C", 10), ("AULA", "C", 10),
              ("DIA", "I", 4), ("HORA", "O", 8), ("SESIONES", "O", 8)]
    row = [b"1ESO A".ljust(10), b"LCL".ljust(10), b"MJGL".ljust(10), b"A1".ljust(10)]
    return level7(fields, [row + [long7(1), double7(1.0), double7(1.0)],
                           row + [long7(2), double7(hour), double7(0.5)]])


DIAS_FIELDS = [("DIHO", "C", 10, 0), ("CODDIHO", "C", 10, 0), ("DIA", "C", 20, 0),
               ("TEXTODIA", "C", 20, 0), ("HORA", "C", 8, 0), ("TEXTOHOR", "C", 15, 0),
               ("HORADESDE", "C", 8, 0), ("HORAHASTA", "C", 8, 0), ("MINUTOS", "C", 8, 0),
               ("MARCO", "C", 1, 0), ("MARCOXML", "C", 10, 0)]


def dias(day="1", hour="1"):
    return dbf(DIAS_FIELDS, [["101", "101", "1", "Lunes", "1", "1ª hora", "8:00", "8:55", "55", "0", ""],
                             ["102", "102", day, "Lunes", hour, "2ª hora", "8:55", "9:50", "55", "0", ""]])


def saga(body, declaration='<?xml version="1.0" encoding="UTF-8"?>\n'):
    return (declaration + body).encode("utf-8")


SCHOOL = ('<document><subjects><subject id="1" name="Física" hours="{hours}"/></subjects>'
          '<teachers><teacher id="2">Ana Gil</teacher></teachers>'
          '<groups><group id="3" name="1ESO A"><assigned-subjects><assigned-subject id="1">'
          '<assigned-teachers><assigned-teacher id="2"/></assigned-teachers>'
          '</assigned-subject></assigned-subjects></group></groups></document>\n')

LAUGHS = "".join(
    f'<!ENTITY {chr(97 + i)} "{("&" + chr(96 + i) + ";") * 10}">\n' for i in range(1, 10))

FILES = {
    # --- The SAGA document ---------------------------------------------------
    "xml-empty/saga.xml": b"",
    "xml-binary/saga.xml": bytes(range(256)) * 4,
    "xml-invalid-utf8/saga.xml": b'<?xml version="1.0" encoding="UTF-8"?>\n<document><subjects>'
                                 b'<subject id="1" name="F\xedsica"/></subjects></document>\n',
    "xml-truncated/saga.xml": saga(SCHOOL.format(hours="3"))[:150],
    "xml-wrong-root/saga.xml": saga("<html><body><p>Horario</p></body></html>\n"),
    "xml-utf16-wrong-root/saga.xml": '<?xml version="1.0" encoding="UTF-16"?>\n<horario/>\n'
                                     .encode("utf-16"),
    # Found by fuzzing: readable, but not writable back as readable XML.
    "xml-utf7/saga.xml": b'<?xml version="1.0" encoding="UTF-7"?>\n<document>######</document>\n',
    "xml-internal-dtd/saga.xml": saga(
        '<!DOCTYPE document [<!ELEMENT document ANY>'
        '<!ATTLIST subject hours CDATA "99">]>\n' + SCHOOL.format(hours="3")),
    "xml-external-dtd/saga.xml": saga(
        '<!DOCTYPE document SYSTEM "http://127.0.0.1:9/saga.dtd">\n' + SCHOOL.format(hours="3")),
    "xml-external-entity/saga.xml": saga(
        '<!DOCTYPE document [<!ENTITY secreto SYSTEM "file:///etc/passwd">]>\n'
        + SCHOOL.format(hours="3").replace("Ana Gil", "&secreto;")),
    "xml-external-entity-attribute/saga.xml": saga(
        '<!DOCTYPE document [<!ENTITY secreto SYSTEM "file:///etc/hostname">]>\n'
        + SCHOOL.format(hours="3").replace('name="Física"', 'name="&secreto;"')),
    "xml-parameter-entity/saga.xml": saga(
        '<!DOCTYPE document [<!ENTITY % remoto SYSTEM "http://127.0.0.1:9/x.dtd"> %remoto;]>\n'
        + SCHOOL.format(hours="3")),
    "xml-billion-laughs/saga.xml": saga(
        '<!DOCTYPE document [\n<!ENTITY a "jajajajaja">\n' + LAUGHS + "]>\n"
        + SCHOOL.format(hours="3").replace("Ana Gil", "&j;")),
    "xml-quadratic-blowup/saga.xml": saga(
        '<!DOCTYPE document [<!ENTITY x "' + "x" * 20000 + '">]>\n'
        + SCHOOL.format(hours="3").replace("Ana Gil", "&x;" * 2000)),
    "xml-undefined-entity/saga.xml": saga(SCHOOL.format(hours="3").replace("Ana Gil", "&nadie;")),
    "hours-1e20/saga.xml": saga(SCHOOL.format(hours="1e20")),
    "hours-nan/saga.xml": saga(SCHOOL.format(hours="nan")),
    "hours-inf/saga.xml": saga(SCHOOL.format(hours="inf")),
    "hours-negative-huge/saga.xml": saga(SCHOOL.format(hours="-99999999999")),
    "subject-without-id/saga.xml": saga(SCHOOL.format(hours="3").replace('subject id="1" ', "subject ")),
    "teacher-without-content/saga.xml": saga(SCHOOL.format(hours="3").replace(">Ana Gil</teacher>", "/>")),
    # --- Texts the tables cannot hold as they are -----------------------------
    "text-invisible/saga.xml": saga(SCHOOL.format(hours="3").replace(
        "Ana Gil", "Ana\u200b Gil\ufeff").replace('name="Física"', 'name="\u270f\ufe0f Física"')),
    "text-decomposed/saga.xml": saga(SCHOOL.format(hours="3").replace("Física", "Matema\u0301ticas")),
    "text-controls/saga.xml": saga(SCHOOL.format(hours="3").replace(
        "Ana Gil", "Ana\tGil&#10;P\u0081rez\u009d")),
    "id-invisible/saga.xml": saga(SCHOOL.format(hours="3").replace('"2"', '"2\u200b"')),
    "ids-outside-1252/saga.xml": saga(SCHOOL.format(hours="3").replace(
        '<teacher id="2">Ana Gil</teacher>',
        '<teacher id="T-\u01411">Ana Gil</teacher><teacher id="T-\u015a1">Eva Sanz</teacher>')
        .replace('<assigned-teacher id="2"/>', '<assigned-teacher id="T-\u015a1"/>')),
    "bom-contradicts-declaration/saga.xml": b"\xef\xbb\xbf" + saga(
        SCHOOL.format(hours="3").replace("Ana Gil", "María José"),
        '<?xml version="1.0" encoding="ISO-8859-1"?>\n'),
    "entity-makes-time-tables/saga.xml": saga(
        '<!DOCTYPE document [<!ENTITY tt "<time-tables><time-table id=\'x\'/></time-tables>">]>\n'
        + SCHOOL.format(hours="3").replace("</document>", "&tt;</document>")),
    # --- Talvenor's tables -----------------------------------------------------
    "soluc-empty-file/zwork/SOLUC.DBF": b"",
    "soluc-truncated-header/zwork/SOLUC.DBF": soluc()[:20],
    "soluc-truncated-descriptors/zwork/SOLUC.DBF": soluc()[:100],
    "soluc-garbage-header/zwork/SOLUC.DBF": bytes((i * 97 + 13) % 256 for i in range(600)),
    "soluc-dbase2/zwork/SOLUC.DBF": b"\x02" + soluc()[1:],
    "soluc-claims-2g-records/zwork/SOLUC.DBF": soluc(count=2 ** 31),
    "soluc-claims-4g-records/zwork/SOLUC.DBF": soluc(count=2 ** 32 - 1),
    "soluc-record-length-too-short/zwork/SOLUC.DBF": soluc(record_length=20),
    "soluc-record-length-too-long/zwork/SOLUC.DBF": soluc(record_length=60000),
    "soluc-header-length-past-end/zwork/SOLUC.DBF": soluc(header_length=65535)[:400],
    "soluc-unknown-field-type/zwork/SOLUC.DBF": dbf(
        [("CODGRUPO", "C", 10, 0), ("RARO", "Q", 4, 0)], [["1ESO A", "abcd"]]),
    "soluc-zero-width-field/zwork/SOLUC.DBF": dbf(
        [("CODGRUPO", "C", 10, 0), ("DIA", "N", 0, 0)], [["1ESO A"]]),
    "soluc-missing-field/zwork/SOLUC.DBF": dbf(
        [f for f in SOLUC_FIELDS if f[0] != "SESIONES"], [r[:-1] for r in SOLUC_ROWS]),
    "soluc-no-end-mark/zwork/SOLUC.DBF": soluc(end=False),
    "soluc-partial-last-record/zwork/SOLUC.DBF": soluc(end=False) + b" 3" + b"1ESO A",
    "soluc-dia-7x/zwork/SOLUC.DBF": soluc_with("DIA", "7x", kind="C", width=4),
    "soluc-dia-7x-numeric/zwork/SOLUC.DBF": soluc_with("DIA", "7x"),
    "soluc-hora-1e20/zwork/SOLUC.DBF": soluc_with("HORA", "1e20", kind="C", width=8),
    "soluc-hora-nan/zwork/SOLUC.DBF": soluc_with("HORA", "nan", kind="C", width=8),
    "soluc-hora-inf/zwork/SOLUC.DBF": soluc_with("HORA", "inf", kind="C", width=8),
    "soluc7-hora-nan/zwork/SOLUC.DBF": soluc7(float("nan")),
    "soluc7-hora-inf/zwork/SOLUC.DBF": soluc7(float("inf")),
    "soluc7-hora-huge/zwork/SOLUC.DBF": soluc7(1e300),
    "soluc-sesiones-not-a-number/zwork/SOLUC.DBF": soluc_with("SESIONES", "media", kind="C", width=8),
    "diashorast-truncated/zwork/DIASHORAST.DBF": dias()[:300],
    "diashorast-dia-7x/zwork/DIASHORAST.DBF": dias(day="7x"),
    "diashorast-hora-1e20/zwork/DIASHORAST.DBF": dias(hour="1e20"),
}


def main():
    if os.path.isdir(CASES):
        shutil.rmtree(CASES)
    for name, content in FILES.items():
        path = os.path.join(CASES, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)


if __name__ == "__main__":
    main()
