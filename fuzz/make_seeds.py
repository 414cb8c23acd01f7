#!/usr/bin/env python3
"""Writes the seed inputs of the import harness (fuzz/corpus/import/): two
bytes giving the length of a DIASHORAST table, that table, then a SOLUC
table, with the codes the harness's fixed school exports to.

    python3 fuzz/make_seeds.py
"""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "hostile"))
import make_fixtures as fx  # noqa: E402

SOLUC_ROWS = [["1", "1ESO A", "Matemá", "MJG", "A1", "1", "1", "1.00"],
              ["2", "1ESO A", "Lengua", "JG", "", "2", "3", "0.50"],
              ["3", "1ESO A", "lengua", "XX", "LAB9", "0", "2", "1.00"]]


def seed(diashorast, soluc):
    return struct.pack("<H", len(diashorast)) + diashorast + soluc


def main():
    out = os.path.join(ROOT, "fuzz", "corpus", "import")
    os.makedirs(out, exist_ok=True)
    seeds = {
        "sample.bin": seed(fx.dias(), fx.dbf(fx.SOLUC_FIELDS, SOLUC_ROWS)),
        "text-fields.bin": seed(fx.dias(day="2", hour="3"), fx.dbf(
            [(n, "C", 8, 0) if k == "N" else (n, k, w, d) for n, k, w, d in fx.SOLUC_FIELDS],
            SOLUC_ROWS)),
        "empty-solution.bin": seed(fx.dias(), fx.dbf(fx.SOLUC_FIELDS, [])),
    }
    for name, content in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
