"""Choosing a loader for a dump file: by its magic bytes first, then by its extension.

A file's content is more trustworthy than its name (FST files are often saved as ``.vcd``, and a
VCD text may sit under a ``.fsdb`` name), so the leading bytes decide whenever they are
recognised. The extension is only consulted for files whose first bytes say nothing, for example
an empty VCD file. A file compressed as a whole with gzip or zstd is judged by its decompressed
content, and by its name without the ``.gz`` or ``.zst`` ending.
"""

from __future__ import annotations

import builtins
import os
from collections.abc import Iterable
from typing import Union

from tarn._core import PyTrace

# open is not star-exported: it would shadow the builtin.
__all__ = ["FORMATS", "EXTENSIONS", "COMPRESSED_EXTENSIONS", "detect_format", "sniff"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: Format names accepted by :func:`open`'s ``format`` argument, in detection order.
FORMATS = ("fst", "fsdb", "shm", "vpd", "wlf", "vcd")

#: File extensions (lower case) and the format each one stands for.
EXTENSIONS = {
    ".vcd": "vcd",
    ".fst": "fst",
    ".fsdb": "fsdb",
    ".vpd": "vpd",
    ".wlf": "wlf",
    ".dsn": "shm",
    ".trn": "shm",
    ".shm": "shm",
}

#: Endings of files compressed as a whole, which the extension rule looks past.
COMPRESSED_EXTENSIONS = (".gz", ".zst")

# Magic bytes of a gzip member and of a zstd frame.
_COMPRESSED_MAGIC = (b"\x1f\x8b", b"\x28\xb5\x2f\xfd")

_VCD_KEYWORDS = (
    b"$date",
    b"$version",
    b"$timescale",
    b"$comment",
    b"$scope",
    b"$var",
    b"$upscope",
    b"$enddefinitions",
    b"$dumpvars",
)

# Enough for every magic number and for the white space some writers put before "$date".
_HEAD_BYTES = 4096

_TRIED = (
    "magic bytes of FST, FSDB, SHM, VPD and WLF, a VCD header, and the extensions "
    + ", ".join(EXTENSIONS)
)


def sniff(head: bytes, size: int | None) -> str | None:
    """Return the format whose magic bytes ``head`` (the file's first bytes) carries, or None.

    ``size`` is the whole file's length in bytes, or None when it is not known (the content of a
    compressed file): WLF is then told by its header page alone.
    """
    if len(head) >= 8 and head[4:8] in (b"\x1c\x3e\xd9\x48", b"\xfd\xe0\x99\xc1"):
        return "fsdb"
    if head[:4] == b"\xa1\x95\x11\xbf":
        return "shm"
    if head[:4] == b"\x78\x56\x34\x12":
        return "vpd"
    # An FST file opens with its header block: type 0 and a section length of 329.
    if len(head) >= 9 and head[0] == 0 and head[1:9] == (329).to_bytes(8, "big"):
        return "fst"
    # ... or with the gzip wrapper block: type 254, two lengths, then a gzip member.
    if len(head) >= 19 and head[0] == 0xFE and head[17:19] == b"\x1f\x8b":
        return "fst"
    # WLF has no documented magic; every writer seen (2014 to 2021) starts its header page this
    # way, and the file is a whole number of 8 KiB pages.
    whole_pages = size is None or (size >= 8192 and size % 8192 == 0)
    if whole_pages and head[:2] in (b"\x10\x76", b"\x13\x64"):
        if len(head) > 2 and head[2] == 0:
            return "wlf"
    text = head[3:] if head.startswith(b"\xef\xbb\xbf") else head
    text = text.lstrip()
    if text.startswith(_VCD_KEYWORDS):
        return "vcd"
    return None


def _fspath(path: PathLike) -> str:
    p = os.fspath(path)
    return os.fsdecode(p) if isinstance(p, bytes) else p


def detect_format(path: PathLike) -> str:
    """Return the format name of the dump at ``path`` (one of :data:`FORMATS`).

    A directory is an SHM database when it holds a ``.dsn`` or ``.trn`` file. A file is judged
    by its magic bytes, then by its extension; a gzip- or zstd-compressed file by the magic bytes
    of its decompressed content, then by its extension without ``.gz`` or ``.zst``. Raises
    ``ValueError`` naming what was tried when nothing fits or a compressed file is corrupt, and
    ``OSError`` (e.g. ``FileNotFoundError``) when the path cannot be read.
    """
    p = _fspath(path)
    if os.path.isdir(p):
        try:
            entries = os.listdir(p)
        except OSError:
            entries = []
        if any(e.lower().endswith((".dsn", ".trn")) for e in entries):
            return "shm"
        raise ValueError(
            f"cannot tell the format of directory {p!r}: only SHM databases are directories, "
            "and it holds no .dsn or .trn file"
        )
    with builtins.open(p, "rb") as f:  # this module's open is tarn.open
        head = f.read(_HEAD_BYTES)
        size: int | None = os.fstat(f.fileno()).st_size
    if head.startswith(_COMPRESSED_MAGIC):
        head = PyTrace.read_head(p, _HEAD_BYTES)
        size = None
    fmt = sniff(head, size)
    if fmt is not None:
        return fmt
    stem = p
    if stem.lower().endswith(COMPRESSED_EXTENSIONS):
        stem = os.path.splitext(stem)[0]
    ext = os.path.splitext(stem)[1].lower()
    if ext in EXTENSIONS:
        return EXTENSIONS[ext]
    raise ValueError(f"cannot tell the format of {p!r}: tried the {_TRIED}")


def open(  # noqa: A001 (tarn.open)
    path: PathLike, format: str | None = None, signals: str | Iterable[str] | None = None
) -> PyTrace:
    """Load the dump at ``path`` with the loader its content (or, failing that, its name) calls for.

    ``path`` is a ``str``, ``bytes`` or path-like object naming a VCD, FST, FSDB, VPD or WLF file,
    or an SHM database (its directory, ``.dsn`` or ``.trn`` file). A file compressed as a whole
    with gzip or zstd (``dump.vcd.gz``, ``dump.fst.zst``) is decompressed as it is read, never to
    disk. ``format`` (one of :data:`FORMATS`) skips detection and forces a loader.

    ``signals`` keeps only the signals whose full names match one of its glob patterns (the
    syntax of ``find_signals_glob``: ``*`` any run of characters, dots included, ``?`` one
    byte, anchored, case-sensitive); a single ``str`` is one pattern. Every query then sees the
    kept signals alone, and memory follows them: the other signals' values are never stored.
    ``None`` (the default) keeps every signal.

    Raises ``ValueError`` when the format cannot be told or the loader rejects the file (with the
    loader's message), and ``OSError`` when the path cannot be read.
    """
    p = _fspath(path)
    if format is None:
        fmt = detect_format(p)
    else:
        fmt = str(format).lower()
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {format!r}; expected one of {', '.join(FORMATS)}")
        if not os.path.exists(p):
            raise FileNotFoundError(2, "No such file or directory", p)
    patterns: str | list[str] | None
    if signals is None or isinstance(signals, str):
        patterns = signals
    else:
        patterns = list(signals)
    return PyTrace.load(p, fmt, patterns)
