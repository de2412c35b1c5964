#!/usr/bin/env python3
"""Writes FSDB-shaped inputs for fuzz_fsdb: small seeds into fuzz/corpus/fsdb/ and hostile
files (memory and time bombs that must stay bounded) into fuzz/regressions/fsdb/."""
import pathlib
import sys
import zlib

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from builders import FSDB_MODERN, cstrings, fsdb_blob, fsdb_legacy, fsdb_modern  # noqa: E402

OUT = HERE / "corpus" / "fsdb"
HOSTILE = HERE / "regressions" / "fsdb"


def modern(**kw):
    # The seeds leave more room before the first stream than the tests' files do.
    return fsdb_modern(first_at=2048, **kw)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    legacy = fsdb_legacy(cstrings("top.cpu.clk", "top.cpu.rst", "run.log", "top.data[3]"))
    many = cstrings(*[f"top.u{i}.sig_{i}" for i in range(12)])
    few = cstrings("top.a", "top.b", "top.c")
    values = fsdb_blob([1, 2, 3, 0, 7, 1], bytes.fromhex("0003020408000501" "8101"),
                       tail=bytes.fromhex("0A0B01220C000000"), clock=bytes.fromhex("40000431"))
    plain = fsdb_blob([0, 0, 0, 0], bytes.fromhex("000501070203"))
    ended = bytes([5, 0, 0, 2]) + bytes(6) + bytes.fromhex("0002010304") + bytes.fromhex("C1210000")
    widths = bytes.fromhex("010043000001006a01007d0100780200000001000a")
    seeds = {
        "legacy": legacy,
        "modern_sections": modern(sections=[values, plain], streams=[many, few], widths=widths),
        "modern_streams": modern(streams=[few, values, ended]),
        "modern_tail": modern(header_word=99) + bytes(4096) + b"\x02top\0sig\0\x01",
    }
    for name, data in seeds.items():
        (OUT / name).write_bytes(data)

    HOSTILE.mkdir(parents=True, exist_ok=True)
    deep = "a." * 2_000_000 + "x"
    # One separated piece of many pairs makes the largest time huge, and a clock of half period
    # 2 would then tick about 10^9 times.
    ticking = fsdb_blob([], bytes.fromhex("003F") * 1_500_000, clock=bytes.fromhex("40000131"))
    # Many markers over many events for many names: events = markers x pairs.
    crossed = fsdb_blob([], bytes.fromhex("0001") * 200_000 + bytes.fromhex("8100") * 200_000)
    many_names = cstrings(*[f"n{i}" for i in range(60_000)])
    # Zlib headers hidden in stored blocks between fully flushed chunks: every one starts a
    # stream that inflates megabytes before failing, which would make the scan quadratic.
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    chain = bytearray(b"\x78\x9c")
    for _ in range(60):
        chain += c.compress(bytes(64 << 10)) + c.flush(zlib.Z_FULL_FLUSH)
        chain += bytes.fromhex("000200FDFF789C")
    chain += b"\x07"  # an invalid block type ends every one of them
    hostile = {
        # A name with two million dots: its prefixes would fill terabytes.
        "deep_scopes": modern(streams=[cstrings("a.b", "a.c", "a.d", deep)]),
        # 3000 table entries naming one section that inflates to 4 MiB.
        "section_bomb": modern(sections=[ticking], streams=[cstrings("s.a", "s.b", "s.c")],
                               repeat_sections=3000),
        "clock_and_markers": modern(streams=[many_names, crossed, ticking]),
        # A width table inflating to 80 MiB (the reader keeps 16 MiB of it).
        "scan_chain": bytes(4) + FSDB_MODERN + bytes(400) + bytes(chain) * 24,
        "width_bomb": modern(streams=[cstrings("w.a", "w.b", "w.c")], widths=bytes(80 << 20)),
    }
    for name, data in hostile.items():
        (HOSTILE / name).write_bytes(data)


if __name__ == "__main__":
    main()
