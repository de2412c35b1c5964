#!/usr/bin/env python3
"""Writes the FSDB files of this folder with the tests' Python builder (tests/python/builders.py).

The C++ tests build the same files with their own builder (tests/cpp/fsdb_fixtures.h) and
compare the bytes; tests/python/test_fsdb.py checks that these files are what the Python
builder writes today. Run this after changing the Python builder, then make the C++ one agree.
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))

from builders import cstrings, fsdb_blob, fsdb_legacy, fsdb_modern  # noqa: E402


def files() -> dict[str, bytes]:
    h = bytes.fromhex
    return {
        "legacy.fsdb": fsdb_legacy(cstrings("top.cpu.clk", "run.log", "9x", "top.b")),
        "modern.fsdb": fsdb_modern(
            sections=[
                fsdb_blob([0, 0, 0, 2], h("00 05 01 07 02 09")),
                fsdb_blob([], h("01 05"), tail=h("0A 90 05 C1 21 00 00 0B 0C")),
                cstrings("sec.a", "sec.b", "sec.c"),
            ],
            streams=[
                cstrings("top.a", "top.b", "top.c", "/bin/sh"),
                cstrings(*[f"top.u.s{i}" for i in range(11)]),
            ],
            widths=h("01 00 43 00 00 01 00 6A"),
        ),
        "modern_streams.fsdb": fsdb_modern(
            header_word=85,
            streams=[cstrings("top.a", "top.b", "top.c"), fsdb_blob([], h("00 09 01 02"))],
            widths=h("01 00 43 00 00"),
            min_size=5000,
        ),
    }


def main() -> None:
    for name, data in files().items():
        (HERE / name).write_bytes(data)


if __name__ == "__main__":
    main()
