#!/usr/bin/env python3
"""Builds the two small tables the table engine tests read: the same five
records (one of them deleted) as a dBase III table (dbase3.dbf) and as a
dBase level 7 table with binary I, O and + fields (dbase7.dbf).

Run it from this directory: python3 make_fixtures.py
"""
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


with open("dbase3.dbf", "wb") as f:
    f.write(dbase3())
with open("dbase7.dbf", "wb") as f:
    f.write(dbase7())
