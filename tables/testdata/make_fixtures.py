#!/usr/bin/env python3
"""Builds the small tables the table engine and import tests read.

- dbase3.dbf, dbase7.dbf, foxpro.dbf: the same five records (one of them
  deleted) as a dBase III table, as a dBase level 7 table with binary I, O
  and + fields, and as a Visual FoxPro table with I, B, Y and T fields and a
  column that can be null.
- solution/*/: a few lessons of the sample school's timetable (SOLUC) and
  part of its day/hour frame (DIASHORAST), taken from samples/talvenor, in
  the sample's own layout (solution/sample) and in the layouts other
  programs write: level 7 with empty binary values, Visual FoxPro with I and
  B fields and null values, code pages 850 and 437 named by their language
  driver bytes, and byte 29 = 0 with a .cpg file naming CP850 or UTF-8.

Run it from this directory: python3 make_fixtures.py
"""
import os
import struct

# NOMBRE, DIA, HORA, ACTIVO, FECHA, NUM; the second record is deleted.
RECORDS = [
    ("Álgebra", 0, 0.0, "T", "20240102", 1, False),
    ("Borrado", 7, 7.5, "F", "20240103", 2, True),
    ("Niño €", -1, 43.65, "F", "", 3, False),
    ("Química", 5000000, -199.99, " ", "19991231", 4, False),
    ("", 2147483647, 0.5, "?", "20000229", 5, False),
]


def long_bytes(value):
    """Level 7 I and +: big-endian, top bit inverted."""
    return struct.pack(">I", (value & 0xFFFFFFFF) ^ 0x80000000)


def double_bytes(value):
    """Level 7 O: big-endian double; positive: sign bit set, negative: all bits inverted."""
    (raw,) = struct.unpack(">Q", struct.pack(">d", value))
    raw = raw | (1 << 63) if raw >> 63 == 0 else raw ^ 0xFFFFFFFFFFFFFFFF
    return struct.pack(">Q", raw)


# The encodings of the dBase format note.
assert long_bytes(0).hex() == "80000000"
assert long_bytes(1).hex() == "80000001"
assert long_bytes(-1).hex() == "7fffffff"
assert long_bytes(5000000).hex() == "804c4b40"
assert double_bytes(0.0).hex() == "8000000000000000"
assert double_bytes(43.65).hex() == "c045d33333333333"
assert double_bytes(-199.99).hex() == "3f970051eb851eb7"


def text(value, width):
    data = value.encode("cp1252")
    assert len(data) <= width
    return data.ljust(width, b" ")


def dbase3():
    fields = [("NOMBRE", "C", 12, 0), ("DIA", "N", 11, 0), ("HORA", "F", 20, 4),
              ("ACTIVO", "L", 1, 0), ("FECHA", "D", 8, 0), ("NUM", "N", 11, 0)]
    header_length = 32 + 32 * len(fields) + 1
    record_length = 1 + sum(f[2] for f in fields)
    out = bytearray(struct.pack("<B3BIHH", 0x03, 124, 5, 6, len(RECORDS), header_length,
                                record_length))
    out += bytes(17) + b"\x58" + bytes(2)  # language driver 0x58: Windows 1252
    for name, kind, width, decimals in fields:
        out += name.encode().ljust(11, b"\0") + kind.encode() + bytes(4)
        out += bytes([width, decimals]) + bytes(14)
    out += b"\x0d"
    for name, day, hour, active, date, num, deleted in RECORDS:
        out += b"*" if deleted else b" "
        out += text(name, 12) + str(day).rjust(11).encode() + f"{hour:20.4f}".encode()
        out += active.encode() + date.ljust(8).encode() + str(num).rjust(11).encode()
    out += b"\x1a"
    return bytes(out)


def dbase7():
    fields = [("NOMBRE", "C", 12), ("DIA", "I", 4), ("HORA", "O", 8), ("ACTIVO", "L", 1),
              ("FECHA", "D", 8), ("NUM", "+", 4)]
    header_length = 68 + 48 * len(fields) + 1
    record_length = 1 + sum(f[2] for f in fields)
    out = bytearray(struct.pack("<B3BIHH", 0x04, 124, 5, 6, len(RECORDS), header_length,
                                record_length))
    out += bytes(20)  # language driver byte 0: the name below says it
    out += b"DBWINES0".ljust(32, b"\0") + bytes(4)
    for name, kind, width in fields:
        out += name.encode().ljust(32, b"\0") + kind.encode() + bytes([width, 0])
        next_value = len(RECORDS) + 1 if kind == "+" else 0
        out += bytes(5) + struct.pack("<I", next_value) + bytes(4)
    out += b"\x0d"
    for name, day, hour, active, date, num, deleted in RECORDS:
        out += b"*" if deleted else b" "
        out += text(name, 12) + long_bytes(day) + double_bytes(hour)
        out += active.encode() + date.ljust(8).encode() + long_bytes(num)
    out += b"\x1a"
    return bytes(out)


def little_double(value):
    return struct.pack("<d", value)


def julian_day(date):
    """The Julian day number of "YYYYMMDD" (Gregorian calendar)."""
    y, m, d = int(date[:4]), int(date[4:6]), int(date[6:])
    a = (14 - m) // 12
    y, m = y + 4800 - a, m + 12 * a - 3
    return d + (153 * m + 2) // 5 + 365 * y + y // 4 - y // 100 + y // 400 - 32045


assert julian_day("20000101") == 2451545


def foxpro_table(fields, records, driver=0x03):
    """A Visual FoxPro table (version 0x30). fields: (name, type, width,
    decimals, can be null); records: (values, deleted), a value of None is
    null. Values are bytes already sized to their width."""
    nullable = [f for f in fields if f[4]]
    all_fields = list(fields)
    if nullable:
        all_fields.append(("_NullFlags", "0", (len(nullable) + 7) // 8, 0, False))
    header_length = 32 + 32 * len(all_fields) + 1 + 263
    record_length = 1 + sum(f[2] for f in all_fields)
    out = bytearray(struct.pack("<B3BIHH", 0x30, 124, 5, 6, len(records), header_length,
                                record_length))
    out += bytes(17) + bytes([driver]) + bytes(2)
    offset = 1
    for name, kind, width, decimals, can_be_null in all_fields:
        flags = 0x05 if kind == "0" else (0x02 if can_be_null else 0)
        out += name.encode().ljust(11, b"\0") + kind.encode() + struct.pack("<I", offset)
        out += bytes([width, decimals, flags]) + bytes(13)
        offset += width
    out += b"\x0d" + bytes(263)  # the backlink to a database container: none
    for values, deleted in records:
        out += b"*" if deleted else b" "
        flags = 0
        for (name, kind, width, _, can_be_null), value in zip(fields, values):
            if value is None:
                flags |= 1 << nullable.index((name, kind, width, _, can_be_null))
                value = bytes(width) if kind in "IBYT" else b" " * width
            assert len(value) == width, (name, value)
            out += value
        if nullable:
            out += flags.to_bytes((len(nullable) + 7) // 8, "little")
    return bytes(out)  # no end mark, as some FoxPro writers leave it


def foxpro():
    fields = [("NOMBRE", "C", 12, 0, True), ("DIA", "I", 4, 0, False),
              ("HORA", "B", 8, 2, False), ("ACTIVO", "L", 1, 0, False),
              ("FECHA", "D", 8, 0, False), ("NUM", "Y", 8, 4, False),
              ("CUANDO", "T", 8, 0, True)]
    records = []
    for n, (name, day, hour, active, date, num, deleted) in enumerate(RECORDS):
        # The first record has a date and time, the others none (null or
        # zeros); the last name is null.
        when = (struct.pack("<ii", julian_day("20240102"), (8 * 3600 + 30 * 60) * 1000)
                if n == 0 else (None if n == 2 else bytes(8)))
        records.append(([None if not name else text(name, 12), struct.pack("<i", day),
                         little_double(hour), active.encode(), date.ljust(8).encode(),
                         struct.pack("<q", num * 10000), when], deleted))
    return foxpro_table(fields, records)


# --------------------------------------------------------------------------
# The sample school's solution in other programs' layouts

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples",
                      "talvenor")
# The lessons kept: the first twenty (a lesson on day 0, one in a room without
# record, one without room, accented subject codes) and three half sessions.
KEPT_LESSONS = set(range(1, 21)) | {106, 257, 289}


def read_dbase3(path):
    """The fields and live records of a dBase III table in code page 1252:
    records as dicts, N values as float (None when blank), text stripped."""
    data = open(path, "rb").read()
    count = struct.unpack_from("<I", data, 4)[0]
    header_length, record_length = struct.unpack_from("<HH", data, 8)
    fields, position = [], 32
    while data[position] != 0x0D:
        d = data[position:position + 32]
        fields.append((d[:11].split(b"\0")[0].decode(), chr(d[11]), d[16], d[17]))
        position += 32
    records = []
    for k in range(count):
        raw = data[header_length + k * record_length:header_length + (k + 1) * record_length]
        if raw[:1] == b"*":
            continue
        record, offset = {}, 1
        for name, kind, width, _ in fields:
            value = raw[offset:offset + width].decode("cp1252").strip(" ")
            record[name] = (float(value) if value else None) if kind == "N" else value
            offset += width
        records.append(record)
    return fields, records


def dbase3_table(fields, records, driver, encoding):
    """A dBase III table of C and N fields; a value of None is blank."""
    header_length = 32 + 32 * len(fields) + 1
    record_length = 1 + sum(f[2] for f in fields)
    out = bytearray(struct.pack("<B3BIHH", 0x03, 126, 9, 1, len(records), header_length,
                                record_length))
    out += bytes(17) + bytes([driver]) + bytes(2)
    for name, kind, width, decimals in fields:
        out += name.encode().ljust(11, b"\0") + kind.encode() + bytes(4)
        out += bytes([width, decimals]) + bytes(14)
    out += b"\x0d"
    for record in records:
        out += b" "
        for name, kind, width, decimals in fields:
            value = record[name]
            if kind == "C":
                data = value.encode(encoding)
                assert len(data) <= width, value
                out += data.ljust(width, b" ")
            else:
                out += ("" if value is None else f"{value:.{decimals}f}").rjust(width).encode()
    out += b"\x1a"
    return bytes(out)


def level7_table(fields, records):
    """A level 7 table: C fields as they are, the numbers of N fields as I
    (no decimals) or O; a number of 0 on a lesson of day 0 is left empty (zero
    bytes), as dBase leaves a field nobody filled in."""
    kinds = [(n, "C" if k == "C" else ("I" if d == 0 else "O"), w if k == "C" else
              (4 if d == 0 else 8)) for n, k, w, d in fields]
    header_length = 68 + 48 * len(kinds) + 1
    record_length = 1 + sum(w for _, _, w in kinds)
    out = bytearray(struct.pack("<B3BIHH", 0x04, 126, 9, 1, len(records), header_length,
                                record_length))
    out += bytes(20) + b"DBWINES0".ljust(32, b"\0") + bytes(4)
    for name, kind, width in kinds:
        out += name.encode().ljust(32, b"\0") + kind.encode() + bytes([width, 0]) + bytes(13)
    out += b"\x0d"
    for record in records:
        out += b" "
        unplaced = record.get("DIA") == 0
        for name, kind, width in kinds:
            value = record[name]
            if kind == "C":
                out += text(value, width)
            elif value is None or (unplaced and value == 0) or (unplaced and name == "SESIONES"):
                out += bytes(width)
            else:
                out += long_bytes(int(value)) if kind == "I" else double_bytes(value)
    out += b"\x1a"
    return bytes(out)


def foxpro_solution(fields, records):
    """Visual FoxPro: N fields as I (no decimals) or B, text fields that can
    be null, an empty one stored as null."""
    fox = [(n, "C", w, 0, True) if k == "C" else
           ((n, "I", 4, 0, False) if d == 0 else (n, "B", 8, 2, False))
           for n, k, w, d in fields]
    rows = []
    for record in records:
        values = []
        for name, kind, width, _, _ in fox:
            value = record[name]
            if kind == "C":
                values.append(text(value, width) if value else None)
            elif kind == "I":
                values.append(struct.pack("<i", int(value or 0)))
            else:
                values.append(little_double(value or 0.0))
        rows.append((values, False))
    return foxpro_table(fox, rows)


def solution_fixtures():
    soluc_fields, soluc = read_dbase3(os.path.join(SAMPLE, "SOLUC.DBF"))
    frame_fields, frame = read_dbase3(os.path.join(SAMPLE, "DIASHORAST.DBF"))
    soluc = [r for r in soluc if int(r["NUMERO"]) in KEPT_LESSONS]
    frame = [r for r in frame if int(r["DIA"]) <= 3]  # Monday to Wednesday
    tables = {"SOLUC": (soluc_fields, soluc), "DIASHORAST": (frame_fields, frame)}
    layouts = {
        "sample": lambda f, r: dbase3_table(f, r, 0x57, "cp1252"),
        "level7": level7_table,
        "foxpro": foxpro_solution,
        "cp850": lambda f, r: dbase3_table(f, r, 0x14, "cp850"),  # Spanish OEM, 850
        "cp437": lambda f, r: dbase3_table(f, r, 0x18, "cp437"),  # Spanish OEM, 437
        "cpg850": lambda f, r: dbase3_table(f, r, 0x00, "cp850"),
        "cpgutf8": lambda f, r: dbase3_table(f, r, 0x00, "utf-8"),
    }
    cpg = {"cpg850": "CP850", "cpgutf8": "UTF-8"}
    for layout, make in layouts.items():
        directory = os.path.join("solution", layout)
        os.makedirs(directory, exist_ok=True)
        for name, (fields, records) in tables.items():
            with open(os.path.join(directory, name + ".DBF"), "wb") as f:
                f.write(make(fields, records))
            if layout in cpg:
                with open(os.path.join(directory, name + ".cpg"), "w") as f:
                    f.write(cpg[layout])


def main():
    with open("dbase3.dbf", "wb") as f:
        f.write(dbase3())
    with open("dbase7.dbf", "wb") as f:
        f.write(dbase7())
    with open("foxpro.dbf", "wb") as f:
        f.write(foxpro())
    solution_fixtures()


if __name__ == "__main__":
    main()
