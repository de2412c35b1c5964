#!/usr/bin/env python3
"""Writes small seed inputs for fuzz_shm, fuzz_vpd and fuzz_wlf into fuzz/corpus/, and hostile
headers into fuzz/regressions/."""
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from builders import (  # noqa: E402
    be32,
    shm_design,
    shm_records,
    shm_transitions,
    vpd,
    wlf,
    wlf_value_page,
)

ROOT = HERE / "corpus"


def design(names, linked=True):
    """A scope, a nested scope, the signals, and a record that shares a name through a
    backward pointer; 4 bytes of padding after every record."""
    records = shm_records(names, scope=b"top")
    records.insert(1, (0x00070601, b"u1\0"))
    records.append((0x00090700, b"", 128 + 12 * 3 + 6))
    return shm_design(records, linked=linked, pad=4)


def shm_input(dsn, t1, t2=b""):
    # fuzz_shm's framing: the design file and the first transition file, each after its length.
    return struct.pack("<H", len(dsn)) + dsn + struct.pack("<H", len(t1)) + t1 + t2


def main():
    names = [b"clk", b"rst_n", b"data", b"valid", b"ready", b"q0", b"q1", b"q2"]
    code13 = bytes.fromhex("0013400000200001040 18F00".replace(" ", ""))
    code12 = bytes.fromhex("00128000000211018100 0000".replace(" ", ""))
    seeds = {
        "shm": {
            "initial_toggle": shm_input(design(names), shm_transitions([(10, 3, b"\x10\x08\x10")])),
            "bit6_packed": shm_input(
                design(names),
                shm_transitions([(0, 1, b"\x40\x00"), (30, 2, b"\xa5\x80\x01\x00")], 5),
            ),
            "time_codes": shm_input(
                design(names[:2]),
                shm_transitions([(1000, 1, b"\x10", code13)]),
                shm_transitions([(5000, 1, b"\x08", code12)], 6),
            ),
            "unlinked": shm_input(design(names, linked=False),
                                  shm_transitions([(0, 1, b"\xff\xff"), (0, 1, b"")])),
        },
        "vpd": {
            "names": vpd([b"top.u1.sig\0top.clk\0top.rst\0top.u1.q\0",
                          b"FoldedTop\0" + bytes(130) + b"top.late\0"]),
            "three": vpd([b"aa\0bb\0cc\0", b"expected\0x.y\0"]),
        },
        "wlf": {
            "values": wlf(b"top.a\0top.b\0top.c\0", 3,
                          [wlf_value_page(b"\x01\x05\xff\x01\x07\x00\x02\x03\xff")]),
            "name_pages": wlf(b"top.a\0", 5, [bytes(100) + b"top.extra\0" + bytes(8082)]),
            "header_only": wlf(b"\x05hello\x03abctop.x\0", 0),
        },
    }
    # Hostile headers, replayed as regressions: huge counts, lengths and offsets, links that point
    # at themselves or backwards.
    selfish = bytearray(design(names))
    selfish[128 + 4 : 128 + 8] = be32(128)  # a record linking to itself
    selfish[128 + 24 : 128 + 28] = be32(64)  # a link backwards
    vpd_far = bytearray(vpd([b"top.a\0top.b\0top.c\0top.d\0"]))
    vpd_far[52:128] = struct.pack("<19I", *([0xFFFFFFFF] * 9 + [129] * 10))
    wlf_huge = bytearray(wlf(b"top.a\0", 0xFFFF, [wlf_value_page(b"\x01\x02\xff" * 100)]))
    wlf_huge[2:4] = b"\xff\xff"
    wlf_huge[8192 + 2 : 8192 + 4] = b"\xff\xff"
    huge_blocks = [(0xFFFFFFFF, 0xFFFFFFFF, b"\x10")] * 40
    far = bytearray(shm_transitions([(5, 3, b"\x10\x10")] * 3))
    far[64 + 48 : 64 + 60] = be32(0xFFFFFFFF) * 3  # a, b and c past the end
    far[128 + 52 : 128 + 60] = be32(100) + be32(50)  # b after c
    regressions = {
        "shm": {
            "huge_counts": shm_input(design(names * 5 + [b"x%d" % i for i in range(40)]),
                                     shm_transitions(huge_blocks)),
            "self_and_backward_links": shm_input(bytes(selfish), far),
        },
        "vpd": {"far_and_repeated_offsets": bytes(vpd_far)},
        "wlf": {"huge_lengths": bytes(wlf_huge)},
    }
    for kind, files in regressions.items():
        out = ROOT.parent / "regressions" / kind
        out.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (out / name).write_bytes(data)
    for kind, files in seeds.items():
        out = ROOT / kind
        out.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
