"""Choosing a loader for a dump file: by its magic bytes first, then by its extension.

A file's content is more trustworthy than its name (FST files are often saved as ``.vcd``, and a
VCD text may sit under a ``.fsdb`` name), so the leading bytes decide whenever they are
recognised. The extension is only consulted for files whose first bytes say nothing, for example
an empty VCD file. A file compressed as a whole with gzip or zstd is judged by its decompressed
content, and by its name without the ``.gz`` or ``.zst`` ending.

FSDB, SHM, VPD and WLF are read by recovery rules, not full parsers. For them a vendor converter
on ``PATH`` is preferred (:mod:`tarn.convert`), and a recovery that gives no values or names
that are not identifiers is reported with a :class:`BestEffortWarning`.
"""

from __future__ import annotations

import builtins
import os
import re
import warnings
from collections.abc import Iterable, Sequence
from typing import NamedTuple, Union

from tarn._core import PyTrace
from tarn.trace import Trace

# open is not star-exported: it would shadow the builtin.
__all__ = [
    "FORMATS",
    "EXTENSIONS",
    "BEST_EFFORT",
    "BestEffortWarning",
    "COMPRESSED_EXTENSIONS",
    "ConverterWarning",
    "Loaded",
    "detect_format",
    "is_identifier",
    "load_dump",
    "recovery_note",
    "sniff",
]

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


class BestEffortWarning(UserWarning):
    """A dump of a format tarn reads by recovery rules (FSDB, SHM, VPD, WLF) gave partial or
    doubtful data: no values, or names that are not identifiers."""


class ConverterWarning(BestEffortWarning):
    """The vendor's converter for a dump failed, so tarn's recovery reader was used instead."""


#: The formats read by recovery rules rather than by a full parser.
BEST_EFFORT = ("fsdb", "shm", "vpd", "wlf")

_ADVICE = "convert the file to VCD with your simulator's tools for full data"
_FALLBACK = "using tarn's recovery reader instead"

# The parts of a hierarchical name: a Verilog or VHDL identifier (also a tool's "$rootio" or
# "$unit"), or a Verilog escaped identifier (a backslash, then anything printable up to white
# space, which a VHDL extended identifier without spaces also is); each may be followed by
# selects, with or without a space before them: [3], [7:0], (3), (7 downto 0). Some writers put
# an empty root scope first (".clk").
_SIMPLE = re.compile(r"\$?[A-Za-z_][A-Za-z0-9_$]*")
_ESCAPED = re.compile(r"\\[!-~]+ ?")
_SELECT = re.compile(
    r" *(?:\[ *-?[0-9]+ *(?:: *-?[0-9]+ *)?\]|\( *-?[0-9]+ *(?:(?:downto|to) +-?[0-9]+ *)?\))"
)


def is_identifier(name: str) -> bool:
    """Whether ``name`` is a hierarchical name a design could have: dotted parts, each an
    identifier (simple or escaped) with optional bit or array selects."""
    pos, end = (1 if name.startswith(".") else 0), len(name)
    while True:
        part = (_ESCAPED if name.startswith("\\", pos) else _SIMPLE).match(name, pos)
        if part is None:
            return False
        pos = part.end()
        while select := _SELECT.match(name, pos):
            pos = select.end()
        if pos == end:
            return True
        if name[pos] != "." or pos + 1 == end:
            return False
        pos += 1


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def _group(items: Sequence[str], bad: Sequence[str], word: str) -> str:
    """How many ``items`` there are and how many of them are ``bad``, in words: for example
    "12 names", "no names", "3 scopes (2 not identifiers, e.g. 'h)|U')"."""
    text = _plural(len(items), word) if items else f"no {word}s"
    if bad:
        example = bad[0] if len(bad[0]) <= 40 else bad[0][:37] + "..."
        if len(items) == 1:
            text += f" (not an identifier: {example!r})"
        elif len(bad) == len(items):
            text += f" (none an identifier, e.g. {example!r})"
        elif len(bad) == 1:
            text += f" (1 not an identifier: {example!r})"
        else:
            text += f" ({len(bad)} not identifiers, e.g. {example!r})"
    return text


def recovery_note(trace: PyTrace, fmt: str) -> str | None:
    """What a recovery reader got from a dump, when that is doubtful: no values at all, or
    signal or scope names that are not identifiers. None when the recovery looks sound, and
    always for the fully parsed formats (VCD, FST)."""
    if fmt not in BEST_EFFORT:
        return None
    names = trace.signal_names()
    scopes = trace.scopes()
    bad_names = [n for n in names if not is_identifier(n)]
    bad_scopes = [s for s in scopes if not is_identifier(s)]
    valued = sum(1 for n in names if trace.value_kinds(n))
    if valued and not bad_names and not bad_scopes:
        return None
    parts = [_group(names, bad_names, "name")]
    if bad_scopes:
        parts.append(_group(scopes, bad_scopes, "scope"))
    if not valued:
        parts.append("no values")
    elif valued == len(names):
        parts.append("values for every name")
    else:
        parts.append(f"values for {valued} of {len(names)} names")
    return f"{fmt.upper()}: {', '.join(parts)} recovered; {_ADVICE}"


class Loaded(NamedTuple):
    """A loaded dump: the trace, its format, the converter whose VCD it was read from (None for
    a direct load), and the warnings the load gives."""

    trace: Trace
    format: str
    converter: str | None
    warnings: tuple[BestEffortWarning, ...]


def _patterns(signals: str | Iterable[str] | None) -> str | list[str] | None:
    if signals is None or isinstance(signals, str):
        return signals
    return list(signals)


def _compressed(path: str) -> bool:
    try:
        with builtins.open(path, "rb") as f:
            return f.read(4).startswith(_COMPRESSED_MAGIC)
    except OSError:
        return False


def load_dump(
    path: PathLike,
    format: str | None = None,
    signals: str | Iterable[str] | None = None,
    *,
    convert: bool = True,
) -> Loaded:
    """Load a dump as :func:`open` does, returning the warnings instead of emitting them."""
    p = _fspath(path)
    if format is None:
        fmt = detect_format(p)
    else:
        fmt = str(format).lower()
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {format!r}; expected one of {', '.join(FORMATS)}")
        if not os.path.exists(p):
            raise FileNotFoundError(2, "No such file or directory", p)
    patterns = _patterns(signals)
    notes: list[BestEffortWarning] = []
    # A vendor's converter reads its own files, not compressed copies of them.
    if convert and fmt in BEST_EFFORT and not _compressed(p):
        converted = _converted(p, fmt, patterns, notes)
        if converted is not None:
            return converted
    trace = PyTrace.load(p, fmt, patterns)
    note = recovery_note(trace, fmt)
    if note is not None:
        notes.append(BestEffortWarning(note))
    return Loaded(Trace(trace, path=p, format=fmt), fmt, None, tuple(notes))


def _converted(
    path: str, fmt: str, patterns: str | list[str] | None, notes: list[BestEffortWarning]
) -> Loaded | None:
    """The dump as its vendor's converter gives it, or None (no converter, or it failed: then
    ``notes`` says why)."""
    # Imported here: a script that never opens these formats does not pay for subprocess & co.
    from tarn import convert as _convert

    what = fmt.upper()
    try:
        converter = _convert.find_converter(fmt)
    except _convert.ConversionFailed as e:
        notes.append(ConverterWarning(f"{what}: {e}; {_FALLBACK}"))
        return None
    if converter is None:
        return None
    try:
        trace = _convert.run(converter, path, patterns)
    except _convert.ConversionFailed as e:
        notes.append(ConverterWarning(f"{what}: {converter.program} failed ({e}); {_FALLBACK}"))
        return None
    return Loaded(Trace(trace, path=path, format=fmt), fmt, converter.program, ())


def open(  # noqa: A001 (tarn.open)
    path: PathLike,
    format: str | None = None,
    signals: str | Iterable[str] | None = None,
    *,
    convert: bool = True,
) -> Trace:
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

    FSDB, SHM, VPD and WLF are read by recovery rules. When the vendor's converter for the
    format is on ``PATH`` (``fsdb2vcd``, ``simvisdbutil``, ``vpd2vcd``, ``wlf2vcd``; the command
    lines are set by ``TARN_FSDB2VCD``, ``TARN_SIMVISDBUTIL``, ``TARN_VPD2VCD``,
    ``TARN_WLF2VCD``), the VCD it writes is loaded instead, unless ``convert`` is false. A
    converter that fails is reported with a :class:`ConverterWarning`, and a recovery that gives
    no values or names that are not identifiers with a :class:`BestEffortWarning`.

    Raises ``ValueError`` when the format cannot be told, the loader rejects the file (with the
    loader's message) or a converter setting cannot be used, and ``OSError`` when the path cannot
    be read.
    """
    loaded = load_dump(path, format, signals, convert=convert)
    for warning in loaded.warnings:
        warnings.warn(warning, stacklevel=2)
    return loaded.trace
