"""Choosing a loader for a dump file: by its magic bytes first, then by its extension.

A file's content is more trustworthy than its name (FST files are often saved as ``.vcd``, and a
VCD text may sit under a ``.fsdb`` name), so the leading bytes decide whenever they are
recognised. The extension is only consulted for files whose first bytes say nothing, for example
an empty VCD file.
"""

from __future__ import annotations

import builtins
import os
from collections.abc import Callable
from typing import Union

from tarn._core import PyTrace
from tarn.trace import Trace

# open is not star-exported: it would shadow the builtin.
__all__ = ["FORMATS", "EXTENSIONS", "detect_format", "sniff"]

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

_LOADERS: dict[str, Callable[[str], PyTrace]] = {
    "vcd": PyTrace.from_vcd,
    "fst": PyTrace.from_fst,
    "fsdb": PyTrace.from_fsdb,
    "shm": PyTrace.from_shm,
    "vpd": PyTrace.from_vpd,
    "wlf": PyTrace.from_wlf,
}

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


def sniff(head: bytes, size: int) -> str | None:
    """Return the format whose magic bytes ``head`` (the file's first bytes) carries, or None.

    ``size`` is the whole file's length in bytes.
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
    if size >= 8192 and size % 8192 == 0 and head[:2] in (b"\x10\x76", b"\x13\x64"):
        if head[2] == 0:
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
    by its magic bytes, then by its extension. Raises ``ValueError`` naming what was tried when
    nothing fits, and ``OSError`` (e.g. ``FileNotFoundError``) when the path cannot be read.
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
        size = os.fstat(f.fileno()).st_size
    fmt = sniff(head, size)
    if fmt is not None:
        return fmt
    ext = os.path.splitext(p)[1].lower()
    if ext in EXTENSIONS:
        return EXTENSIONS[ext]
    raise ValueError(f"cannot tell the format of {p!r}: tried the {_TRIED}")


def open(path: PathLike, format: str | None = None) -> Trace:  # noqa: A001 (tarn.open)
    """Load the dump at ``path`` with the loader its content (or, failing that, its name) calls for.

    ``path`` is a ``str``, ``bytes`` or path-like object naming a VCD, FST, FSDB, VPD or WLF file,
    or an SHM database (its directory, ``.dsn`` or ``.trn`` file). ``format`` (one of
    :data:`FORMATS`) skips detection and forces a loader.

    Raises ``ValueError`` when the format cannot be told or the loader rejects the file (with the
    loader's message), and ``OSError`` when the path cannot be read.
    """
    p = _fspath(path)
    if format is None:
        fmt = detect_format(p)
    else:
        fmt = str(format).lower()
        if fmt not in _LOADERS:
            raise ValueError(f"unknown format {format!r}; expected one of {', '.join(FORMATS)}")
        if not os.path.exists(p):
            raise FileNotFoundError(2, "No such file or directory", p)
    return Trace(_LOADERS[fmt](p), path=p, format=fmt)
