"""Bytes of small files in the binary formats the best-effort readers recover: FSDB (the legacy
and the modern layout, value blobs), SHM design and transition files, VPD and WLF.

The one home of these layouts for the Python tests, the fuzz seed scripts and the FSDB fixtures
of tests/data/fsdb. The C++ tests build FSDB files with tests/cpp/fsdb_fixtures.h; a C++ test
compares its bytes with those fixtures, so the two builders cannot drift apart.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterable, Sequence

Text = str | bytes


def _bytes(s: Text) -> bytes:
    return s.encode() if isinstance(s, str) else s


def cstrings(*names: Text) -> bytes:
    """NUL-terminated strings, one after another."""
    return b"".join(_bytes(n) + b"\0" for n in names)


def put(buf: bytearray, at: int, data: bytes) -> None:
    """Write ``data`` at offset ``at``, growing ``buf`` with zero bytes as needed."""
    if len(buf) < at + len(data):
        buf.extend(bytes(at + len(data) - len(buf)))
    buf[at : at + len(data)] = data


def be32(v: int) -> bytes:
    return struct.pack(">I", v)


def le32(v: int) -> bytes:
    return struct.pack("<I", v)


# ---- FSDB ---------------------------------------------------------------------------------

FSDB_LEGACY = bytes.fromhex("FDE099C1")
FSDB_MODERN = bytes.fromhex("1C3ED948")
FSDB_HEADER_MARK = bytes.fromhex("384300040008")
FSDB_REGION_END = bytes.fromhex("440063000308")
FSDB_END_MARK = bytes.fromhex("C1210000")


def fsdb_blob(
    header: Iterable[int], region: bytes, tail: bytes | None = None, clock: bytes | None = None
) -> bytes:
    """A value blob: header numbers, the header mark, the region, then (when given) a clock
    record and the region-end pattern with the initial-value tail."""
    data = bytes(header) + FSDB_HEADER_MARK + region
    if clock is not None:
        data += b"\x08" + clock
    if tail is not None:
        data += FSDB_REGION_END + tail
    return data


def fsdb_legacy(body: bytes, at: int = 300) -> bytes:
    """A legacy-layout file with ``body`` placed at offset ``at``."""
    buf = bytearray(8)
    put(buf, 4, FSDB_LEGACY)
    put(buf, at, body)
    return bytes(buf)


def fsdb_modern(
    sections: Sequence[bytes] = (),
    streams: Sequence[bytes] = (),
    widths: bytes | None = None,
    header_word: int = 10,
    first_at: int = 1024,
    repeat_sections: int = 1,
    min_size: int = 0,
) -> bytes:
    """A modern-layout file: the header word at 40; from ``first_at`` on the sections (zlib each)
    listed in a section table (``repeat_sections`` times over), further zlib streams in the
    given order, and an optional width table. Each piece is followed by 16 zero bytes."""
    buf = bytearray(400)
    put(buf, 4, FSDB_MODERN)
    put(buf, 40, le32(header_word))
    pos = first_at
    table = []
    for s in sections:
        z = zlib.compress(s, 6)
        put(buf, pos, z)
        table.append((pos, len(z)))
        pos += len(z) + 16
    if table:
        table = table * repeat_sections
        put(buf, 264, le32(pos))
        put(buf, pos + 22, struct.pack("<H", len(table)))
        for i, (off, size) in enumerate(table):
            put(buf, pos + 24 + 12 * i, struct.pack("<III", off, 0, size))
        pos += 24 + 12 * len(table) + 16
    for s in streams:
        z = zlib.compress(s, 6)
        put(buf, pos, z)
        pos += len(z) + 16
    if widths is not None:
        z = zlib.compress(widths, 6)
        put(buf, 272, le32(pos))
        put(buf, pos, le32(len(z)) + z)
        pos += 4 + len(z)
    put(buf, max(pos + 8, min_size), b"")
    return bytes(buf)


# ---- SHM ----------------------------------------------------------------------------------

SHM_MAGIC = bytes.fromhex("A19511BF")
SHM_SCOPE = 0x00270501
SHM_SIGNAL = 0x00290700

# A design record: (tag, body) or (tag, body, third header word).
ShmRecord = tuple[int, bytes] | tuple[int, bytes, int]


def shm_records(names: Sequence[Text], scope: Text | None = None) -> list[ShmRecord]:
    """An optional scope record, then one signal record per name."""
    records: list[ShmRecord] = []
    if scope is not None:
        records.append((SHM_SCOPE, cstrings(scope)))
    records += [(SHM_SIGNAL, cstrings(n)) for n in names]
    return records


def shm_design(
    records: Sequence[ShmRecord],
    links: Sequence[int | None] | None = None,
    linked: bool = True,
    pad: int = 0,
) -> bytes:
    """A design file: the header, then the records, each followed by ``pad`` zero bytes.

    Each record links to the following one (the last to none), or, where ``links`` gives an
    index, to that record; ``linked=False`` leaves every link empty.
    """
    starts = []
    at = 128
    for r in records:
        starts.append(at)
        at += 12 + len(r[1]) + pad
    out = bytearray(SHM_MAGIC + bytes(124))
    for i, r in enumerate(records):
        tag, body = r[0], r[1]
        word = r[2] if len(r) > 2 else 0  # type: ignore[misc]
        target = links[i] if links is not None else None
        if not linked:
            nxt = 0
        elif target is not None:
            nxt = starts[target]
        else:
            nxt = starts[i + 1] if i + 1 < len(records) else 0
        out += be32(tag) + be32(nxt) + be32(word) + body + bytes(pad)
    return bytes(out + bytes(16))


def shm_transitions(blocks: Sequence[tuple], scale_code: int = 0) -> bytes:
    """A transition file: one block per (time, change count, data) or (time, change count, data,
    tail), where the tail lies between the block's data and its end."""
    head = bytearray(SHM_MAGIC + bytes(4) + be32(scale_code) + bytes(52))
    data_at = 64 + 64 * len(blocks)
    data = bytearray()
    for time, count, body, *rest in blocks:
        b = data_at + len(data)
        data += body
        c = data_at + len(data)
        data += rest[0] if rest else b""
        hdr = bytearray(64)
        hdr[0:4] = bytes.fromhex("001B2200")
        hdr[28:32] = be32(time)
        hdr[40:44] = be32(count)
        hdr[48:52] = be32(data_at + len(data))
        hdr[52:56] = be32(b)
        hdr[56:60] = be32(c)
        head += hdr
    return bytes(head + data + bytes(8))


# ---- VPD ----------------------------------------------------------------------------------

VPD_MAGIC = struct.pack("<I", 0x12345678)


def vpd(sections: Sequence[bytes], offsets: Sequence[int] | None = None) -> bytes:
    """A header whose offset table points at the sections (or at ``offsets``), then the
    sections, each after one byte."""
    head = bytearray(VPD_MAGIC + bytes(124))
    body = bytearray()
    starts = []
    for s in sections:
        starts.append(128 + 1 + len(body))
        body += b"\x01" + s
    for i, v in enumerate(offsets if offsets is not None else starts):
        head[48 + 4 * i : 52 + 4 * i] = struct.pack("<I", v)
    return bytes(head + body)


# ---- WLF ----------------------------------------------------------------------------------

WLF_PAGE = 8192


def wlf_header(area: bytes, expected: int) -> bytearray:
    """The header page: the name area after three empty length-prefixed strings at 40 to 42,
    and the expected signal count at 24."""
    page = bytearray(WLF_PAGE)
    page[2:4] = struct.pack(">H", 43 + len(area))
    page[24:26] = struct.pack(">H", expected)
    page[43 : 43 + len(area)] = area
    return page


def wlf_value_page(data: bytes) -> bytearray:
    page = bytearray(WLF_PAGE)
    page[0:4] = b"\xff\xff" + struct.pack(">H", len(data))
    page[16 : 16 + len(data)] = data
    page[WLF_PAGE - 16 :] = b"\x01" * 16  # enough non-zero bytes to count as a value page
    return page


def wlf(area: bytes, expected: int, pages: Iterable[bytes] = ()) -> bytes:
    """A header page, then ``pages``."""
    return bytes(wlf_header(area, expected)) + b"".join(bytes(p) for p in pages)
