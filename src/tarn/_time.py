"""Time as people read it: a dump's time stamps shown with their unit, and times with a unit
(``250ns``, ``1.5 us``) turned into time stamps and sample indices."""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

from tarn._core import PyTrace

if TYPE_CHECKING:
    from fractions import Fraction

__all__ = [
    "UNITS",
    "format_time",
    "format_stamp",
    "timescale_text",
    "parse_time",
    "stamp_of",
    "index_of_time",
]

#: Time units and their power of ten in seconds.
UNITS = {"s": 0, "ms": -3, "us": -6, "ns": -9, "ps": -12, "fs": -15}

_TIME = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*(s|ms|us|ns|ps|fs)\s*")


def timescale_text(trace: PyTrace) -> str | None:
    """The unit of the time stamps as text ("10 ps"), or None when the dump does not say."""
    ts = trace.timescale()
    return None if ts is None else f"{ts[0]} {ts[1]}"


def format_time(trace: PyTrace, stamp: int) -> str:
    """A time stamp with its unit: stamp 25 of a dump counting 10 ps is "250 ps". Without a unit
    the bare number."""
    return format_stamp(stamp, timescale_text(trace))


def format_stamp(stamp: int, scale: str | None) -> str:
    """The same for a unit given as text ("10 ps", as `timescale_text` writes it, or None)."""
    if scale is None:
        return str(stamp)
    multiplier, unit = scale.split()
    return f"{stamp * int(multiplier)} {unit}"


def parse_time(text: str) -> tuple[Fraction, str] | None:
    """A time with a unit ("250ns", "1.5 us") as (amount, unit); None when ``text`` is not one."""
    from fractions import Fraction

    m = _TIME.fullmatch(text)
    if not m:
        return None
    return Fraction(m.group(1)), m.group(2)


def stamp_of(trace: PyTrace, amount: Fraction, unit: str) -> int:
    """The time stamp (in the dump's own unit, rounded down) of a time with a unit. Raises
    ValueError when the dump does not say what its unit is."""
    ts = trace.timescale()
    if ts is None:
        raise ValueError(
            f"the dump does not say what unit its time stamps count, so {amount} {unit} "
            "cannot be placed; give a sample index, or @T for the raw time stamp T"
        )
    from fractions import Fraction

    mult, base = ts
    seconds = amount * Fraction(10) ** UNITS[unit]
    per_stamp = mult * Fraction(10) ** UNITS[base]
    return int(seconds / per_stamp)


def index_of_time(trace: PyTrace, stamp: int) -> int | None:
    """The last sample index whose time stamp is at or before ``stamp``; None before the first."""
    if stamp < 0:
        return None
    return trace.index_at(min(stamp, 2**64 - 1))
