#!/usr/bin/env python3
"""Writes small seed inputs for fuzz_shm, fuzz_vpd and fuzz_wlf into fuzz/corpus/."""
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"
SHM_MAGIC = bytes.fromhex("A19511BF")


def be32(v):
    return struct.pack(">I", v)


def shm_design(names, scope=b"top", linked=True):
    out = bytearray(SHM_MAGIC + bytes(124))
    records = [(0x00270501, scope + b"\0"), (0x00070601, b"u1\0")]
    records += [(0x00290700, n + b"\0") for n in names]
    records.append((0x00090700, b""))  # shares a name through a backward pointer
    for i, (tag, body) in enumerate(records):
        start = len(out)
        nxt = start + 12 + len(body) + 4 if linked and i + 1 < len(records) else 0
        ptr = 128 + 12 * 3 + 6 if not body else 0
        out += be32(tag) + be32(nxt) + be32(ptr) + body + bytes(4)
    return bytes(out + bytes(16))


def shm_trn(blocks, scale=0):
    head = bytearray(SHM_MAGIC + bytes(4) + be32(scale) + bytes(52))
    data_at = 64 + 64 * len(blocks)
    data = bytearray()
    for time, count, body, tail in blocks:
        b = data_at + len(data)
        data += body
        c = data_at + len(data)
        data += tail
        hdr = bytearray(64)
        hdr[0:4] = bytes.fromhex("001B2200")
        hdr[28:32] = be32(time)
        hdr[40:44] = be32(count)
        hdr[48:52] = be32(data_at + len(data))
        hdr[52:56] = be32(b)
        hdr[56:60] = be32(c)
        head += hdr
    return bytes(head + data + bytes(8))


def shm_input(dsn, t1, t2=b""):
    return struct.pack("<H", len(dsn)) + dsn + struct.pack("<H", len(t1)) + t1 + t2


def vpd(sections):
    head = bytearray(struct.pack("<I", 0x12345678) + bytes(124))
    body = bytearray()
    for i, s in enumerate(sections):
        head[48 + 4 * i : 52 + 4 * i] = struct.pack("<I", 128 + 1 + len(body))
        body += b"\x01" + s
    return bytes(head + body)


def wlf(area, expected, pages=()):
    page = bytearray(8192)
    page[2:4] = struct.pack(">H", 43 + len(area))
    page[24:26] = struct.pack(">H", expected)
    page[43 : 43 + len(area)] = area
    return bytes(page) + b"".join(pages)


def wlf_value_page(data):
    page = bytearray(8192)
    page[0:4] = b"\xff\xff" + struct.pack(">H", len(data))
    page[16 : 16 + len(data)] = data
    page[8192 - 16 :] = b"\x01" * 16
    return bytes(page)


def main():
    names = [b"clk", b"rst_n", b"data", b"valid", b"ready", b"q0", b"q1", b"q2"]
    code13 = bytes.fromhex("0013400000200001040 18F00".replace(" ", ""))
    code12 = bytes.fromhex("00128000000211018100 0000".replace(" ", ""))
    seeds = {
        "shm": {
            "initial_toggle": shm_input(shm_design(names), shm_trn([(10, 3, b"\x10\x08\x10", b"")])),
            "bit6_packed": shm_input(
                shm_design(names),
                shm_trn([(0, 1, b"\x40\x00", b""), (30, 2, b"\xa5\x80\x01\x00", b"")], 5),
            ),
            "time_codes": shm_input(
                shm_design(names[:2]),
                shm_trn([(1000, 1, b"\x10", code13)]),
                shm_trn([(5000, 1, b"\x08", code12)], 6),
            ),
            "unlinked": shm_input(shm_design(names, linked=False), shm_trn([(0, 1, b"\xff\xff", b""), (0, 1, b"", b"")])),
        },
        "vpd": {
            "names": vpd([b"top.u1.sig\0top.clk\0top.rst\0top.u1.q\0", b"FoldedTop\0" + bytes(130) + b"top.late\0"]),
            "three": vpd([b"aa\0bb\0cc\0", b"expected\0x.y\0"]),
        },
        "wlf": {
            "values": wlf(b"top.a\0top.b\0top.c\0", 3, [wlf_value_page(b"\x01\x05\xff\x01\x07\x00\x02\x03\xff")]),
            "name_pages": wlf(b"top.a\0", 5, [bytes(100) + b"top.extra\0" + bytes(8082)]),
            "header_only": wlf(b"\x05hello\x03abctop.x\0", 0),
        },
    }
    # Hostile headers, replayed as regressions: huge counts, lengths and offsets, links that point
    # at themselves or backwards.
    selfish = bytearray(shm_design(names))
    selfish[128 + 4 : 128 + 8] = be32(128)  # a record linking to itself
    selfish[128 + 24 : 128 + 28] = be32(64)  # a link backwards
    vpd_far = bytearray(vpd([b"top.a\0top.b\0top.c\0top.d\0"]))
    vpd_far[52:128] = struct.pack("<19I", *([0xFFFFFFFF] * 9 + [129] * 10))
    wlf_huge = bytearray(wlf(b"top.a\0", 0xFFFF, [wlf_value_page(b"\x01\x02\xff" * 100)]))
    wlf_huge[2:4] = b"\xff\xff"
    wlf_huge[8192 + 2 : 8192 + 4] = b"\xff\xff"
    huge_blocks = [(0xFFFFFFFF, 0xFFFFFFFF, b"\x10", b"")] * 40
    far = bytearray(shm_trn([(5, 3, b"\x10\x10", b"")] * 3))
    far[64 + 48 : 64 + 60] = be32(0xFFFFFFFF) * 3  # a, b and c past the end
    far[128 + 52 : 128 + 60] = be32(100) + be32(50)  # b after c
    regressions = {
        "shm": {
            "huge_counts": shm_input(shm_design(names * 5 + [b"x%d" % i for i in range(40)]), shm_trn(huge_blocks)),
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
