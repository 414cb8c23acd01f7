#!/usr/bin/env python3
"""Makes the sample Talvenor solution for the sample school.

Reads the assignments (ASIGT) and rooms (AULAT) that an export of the sample
document wrote into EXPORT_DIR, and writes into OUT_DIR what Talvenor leaves
there after building a timetable:

- DIASHORAST.DBF: the day/hour frame, five days of seven periods
  (8:00-8:55 ... 14:00-14:55, a break after the third), with the fields
  Brivasto created the table with;
- SOLUC.DBF: one row per lesson, placed greedily so that no group or
  teacher has two lessons at once. Day and hour are numeric fields, as
  Talvenor writes them. Besides ordinary rows the solution holds, on purpose,
  a lesson Talvenor could not place (day 0), a lesson in a room that has no
  room record (LAB9) and a lesson without a room.

Usage: make_solution.py EXPORT_DIR OUT_DIR
The output is deterministic: the same tables always give the same files.
"""

import datetime
import math
import struct
import sys
from pathlib import Path

CODE_PAGE = "cp1252"
LANGUAGE_DRIVER = 0x57  # Windows ANSI (code page 1252)


# --------------------------------------------------------------------------
# dBase files


def find_table(directory, name):
    """The table's file in any letter case."""
    for entry in Path(directory).iterdir():
        if entry.name.upper() == name.upper() + ".DBF":
            return entry
    raise SystemExit(f"No existe la tabla {name} en {directory}")


def read_table(directory, name):
    """The live records of a dBase III/IV or level-7 table, as dicts."""
    data = find_table(directory, name).read_bytes()
    level7 = (data[0] & 7) == 4
    count = struct.unpack_from("<I", data, 4)[0]
    header_length, record_length = struct.unpack_from("<HH", data, 8)
    fields = []
    position = 68 if level7 else 32
    size = 48 if level7 else 32
    while data[position] != 0x0D:
        if level7:
            name_bytes = data[position:position + 32]
            kind, length, decimals = chr(data[position + 32]), data[position + 33], data[position + 34]
        else:
            name_bytes = data[position:position + 11]
            kind, length, decimals = chr(data[position + 11]), data[position + 16], data[position + 17]
        fields.append((name_bytes.split(b"\0")[0].decode("ascii"), kind, length, decimals))
        position += size
    records = []
    for index in range(count):
        start = header_length + index * record_length
        raw = data[start:start + record_length]
        if len(raw) < record_length:
            break
        if raw[0:1] == b"*":
            continue
        offset = 1
        record = {}
        for field_name, kind, length, _ in fields:
            value = raw[offset:offset + length]
            offset += length
            record[field_name] = decode(kind, value)
        records.append(record)
    return records


def decode(kind, value):
    if kind in "NF":
        text = value.decode("ascii").strip()
        return float(text) if text and text[0] != "*" else 0.0
    if kind in "I+":
        unsigned = struct.unpack(">I", value)[0] ^ 0x80000000
        return unsigned - (1 << 32) if unsigned >= (1 << 31) else unsigned
    if kind == "O":
        bits = struct.unpack(">Q", value)[0]
        bits = bits ^ (1 << 63) if bits & (1 << 63) else bits ^ ((1 << 64) - 1)
        return struct.unpack(">d", struct.pack(">Q", bits))[0]
    return value.decode(CODE_PAGE).rstrip(" ")


def write_table(path, fields, records):
    """A dBase III table with character (C) and numeric (N) fields."""
    today = datetime.date(2026, 9, 1)  # fixed, so the files do not change
    record_length = 1 + sum(length for _, _, length, _ in fields)
    header_length = 32 + 32 * len(fields) + 1
    out = bytearray()
    out += struct.pack("<B3BIHH", 0x03, today.year - 1900, today.month, today.day,
                       len(records), header_length, record_length)
    out += bytes(17) + bytes([LANGUAGE_DRIVER]) + bytes(2)
    for name, kind, length, decimals in fields:
        out += name.encode("ascii").ljust(11, b"\0") + kind.encode("ascii") + bytes(4)
        out += bytes([length, decimals]) + bytes(14)
    out += b"\x0D"
    for record in records:
        out += b" "
        for name, kind, length, decimals in fields:
            value = record.get(name, "")
            if kind == "C":
                encoded = str(value).encode(CODE_PAGE)[:length]
                out += encoded.ljust(length, b" ")
            else:
                text = "" if value == "" else f"{value:.{decimals}f}"
                out += text.encode("ascii").rjust(length, b" ")
    out += b"\x1A"
    Path(path).write_bytes(bytes(out))


# --------------------------------------------------------------------------
# The day/hour frame

DAYS = ["Lunes", "Martes", "Miércoles", "Jueves", "Viernes"]
PERIODS = [("8:00", "8:55"), ("8:55", "9:50"), ("9:50", "10:45"), ("11:15", "12:10"),
           ("12:10", "13:05"), ("13:05", "14:00"), ("14:00", "14:55")]

DIASHORAST_FIELDS = [("DIHO", "C", 10, 0), ("CODDIHO", "C", 10, 0), ("DIA", "C", 20, 0),
                     ("TEXTODIA", "C", 20, 0), ("HORA", "C", 8, 0), ("TEXTOHOR", "C", 15, 0),
                     ("HORADESDE", "C", 8, 0), ("HORAHASTA", "C", 8, 0),
                     ("MINUTOS", "C", 8, 0), ("MARCO", "C", 1, 0), ("MARCOXML", "C", 10, 0)]


def frame_records():
    records = []
    for day, day_name in enumerate(DAYS, start=1):
        for hour, (begin, end) in enumerate(PERIODS, start=1):
            records.append({"DIHO": f"{day}{hour:02d}", "CODDIHO": f"{day}{hour:02d}",
                            "DIA": str(day), "TEXTODIA": day_name, "HORA": str(hour),
                            "TEXTOHOR": f"{hour}ª hora", "HORADESDE": begin,
                            "HORAHASTA": end, "MINUTOS": "55", "MARCO": "0"})
    return records


# --------------------------------------------------------------------------
# The solution

SOLUC_FIELDS = [("NUMERO", "N", 6, 0), ("CODGRUPO", "C", 10, 0), ("ASIG", "C", 10, 0),
                ("PROF", "C", 10, 0), ("AULA", "C", 10, 0), ("DIA", "N", 2, 0),
                ("HORA", "N", 3, 0), ("SESIONES", "N", 5, 2)]

ROOM_WITHOUT_RECORD = "LAB9"


def lessons_of(assignments):
    """(assignment index, sessions) for every lesson, in assignment order."""
    lessons = []
    for index, assignment in enumerate(assignments):
        hours = assignment["HORAS"] or 0.0
        whole = math.floor(hours)
        lessons += [(index, 1.0)] * whole
        if hours - whole >= 0.5:
            lessons.append((index, 0.5))
    return lessons


def place(lessons, assignments, group_busy, teacher_busy):
    """Day and hour of each lesson (0, 0 when it does not fit)."""
    placed = []
    days_used = set()  # (assignment, day): spread a subject over the week
    for number, (index, sessions) in enumerate(lessons):
        assignment = assignments[index]
        group, teacher = assignment["CGRUP"], assignment["CPROF"]
        # A half session names the interval 2h - 1: keep it within the day.
        hours = range(1, 5) if sessions == 0.5 else range(1, len(PERIODS) + 1)
        slot = None
        for spread in (True, False):
            for offset in range(len(DAYS)):
                day = (index + number + offset) % len(DAYS) + 1
                if spread and (index, day) in days_used:
                    continue
                for hour in hours:
                    if (group, day, hour) in group_busy:
                        continue
                    if teacher and (teacher, day, hour) in teacher_busy:
                        continue
                    slot = (day, hour)
                    break
                if slot:
                    break
            if slot:
                break
        if slot:
            day, hour = slot
            group_busy.add((group, day, hour))
            if teacher:
                teacher_busy.add((teacher, day, hour))
            days_used.add((index, day))
        placed.append(slot or (0, 0))
    return placed


def solution_records(assignments, rooms):
    assignments = [a for a in assignments if a["CASIG"]]
    if len(assignments) < 3:
        raise SystemExit("El ejemplo necesita al menos tres asignaciones en ASIGT")
    if ROOM_WITHOUT_RECORD in rooms:
        raise SystemExit(f"AULAT ya tiene el aula {ROOM_WITHOUT_RECORD}")
    groups = list(dict.fromkeys(a["CGRUP"] for a in assignments))  # in order of appearance
    home_room = {g: rooms[i % len(rooms)] if rooms else "" for i, g in enumerate(groups)}

    lessons = lessons_of(assignments)
    # The last lesson of the first assignment is one Talvenor could not place.
    unplaced = max(n for n, (index, _) in enumerate(lessons) if index == 0)
    kept = [lesson for n, lesson in enumerate(lessons) if n != unplaced]
    slots = place(kept, assignments, set(), set())
    slots.insert(unplaced, (0, 0))

    records = []
    without_record_done = without_room_done = False
    for number, ((index, sessions), (day, hour)) in enumerate(zip(lessons, slots), start=1):
        assignment = assignments[index]
        room = home_room[assignment["CGRUP"]]
        if day and index == 1 and not without_record_done:
            room, without_record_done = ROOM_WITHOUT_RECORD, True
        elif day and index == 2 and not without_room_done:
            room, without_room_done = "", True
        records.append({"NUMERO": number, "CODGRUPO": assignment["CGRUP"],
                        "ASIG": assignment["CASIG"], "PROF": assignment["CPROF"],
                        "AULA": room, "DIA": day, "HORA": hour, "SESIONES": sessions})
    return records


def main(argv):
    if len(argv) != 3:
        raise SystemExit(__doc__)
    export_dir, out_dir = Path(argv[1]), Path(argv[2])
    assignments = read_table(export_dir, "ASIGT")
    rooms = [r["ABREV"] for r in read_table(export_dir, "AULAT") if r["ABREV"]]
    out_dir.mkdir(parents=True, exist_ok=True)
    write_table(out_dir / "DIASHORAST.DBF", DIASHORAST_FIELDS, frame_records())
    records = solution_records(assignments, rooms)
    write_table(out_dir / "SOLUC.DBF", SOLUC_FIELDS, records)
    placed = sum(1 for r in records if r["DIA"])
    print(f"DIASHORAST: {len(DAYS) * len(PERIODS)} registros; "
          f"SOLUC: {len(records)} registros ({placed} colocados)")


if __name__ == "__main__":
    main(sys.argv)
