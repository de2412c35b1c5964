"""What every command of ``tarn`` shares: loading a dump (with a progress bar on a terminal),
naming signals and samples, times with units, and printing tables and JSON."""

from __future__ import annotations

import contextlib
import json
import math
import os
import signal
import sys
from collections.abc import Iterable, Iterator, Sequence
from contextvars import ContextVar
from fractions import Fraction
from typing import Any

from tarn import expr as _expr
from tarn._core import PyTrace
from tarn._display import unknown_char
from tarn._time import (
    format_time,
    index_of_time,
    stamp_of,
    timescale_text,
)
from tarn.formats import Loaded, detect_format, load_dump
from tarn.trace import Trace


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


# False for the command being run when it was given --no-convert.
CONVERT: ContextVar[bool] = ContextVar("convert", default=True)


def loaded(path: str) -> Loaded:
    """Load a dump, choosing the loader from its content or, failing that, its extension."""
    with load_progress(path):
        return load_dump(path, convert=CONVERT.get())


def load(path: str) -> Trace:
    """Load a dump as :func:`loaded` does; its warnings go to standard error."""
    dump = loaded(path)
    for warning in dump.warnings:
        print(f"tarn: warning: {warning}", file=sys.stderr)
    return dump.trace


#: Loads of files this large show a progress bar when standard error is a terminal (the
#: environment variable TARN_PROGRESS_BYTES sets another size).
PROGRESS_BYTES = int(os.environ.get("TARN_PROGRESS_BYTES", 64 << 20))


@contextlib.contextmanager
def load_progress(path: str) -> Iterator[None]:
    """A progress bar (tqdm) on standard error while a large dump loads, when that is a terminal.

    The load runs in the compiled core, which holds the interpreter; but it lets signal handlers
    run every few milliseconds, so a timer signal moves the bar, by the bytes the process has
    read (a VCD is read with read calls; other formats show the time spent).
    """
    size = os.path.getsize(path) if os.path.isfile(path) else 0
    if size < PROGRESS_BYTES or not sys.stderr.isatty() or not hasattr(signal, "setitimer"):
        yield
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield
        return
    try:
        counted = detect_format(path) == "vcd"
    except (ValueError, OSError):
        counted = False
    bar = tqdm(
        total=size if counted else None,
        unit="B",
        unit_scale=True,
        desc=os.path.basename(path),
        leave=False,
    )
    start = bytes_read()

    def tick(signum: int, frame: Any) -> None:
        if counted:
            bar.update(max(0, min(bytes_read() - start, size) - bar.n))
        else:
            bar.refresh()

    old = signal.signal(signal.SIGALRM, tick)
    signal.siginterrupt(signal.SIGALRM, False)  # restart system calls instead of failing them
    signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, old)
        bar.close()


def bytes_read() -> int:
    """Bytes this process has read so far (Linux; 0 elsewhere)."""
    try:
        with open("/proc/self/io", encoding="ascii") as f:
            for line in f:
                if line.startswith("rchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# ---------------------------------------------------------------- helpers

#: How a command names a sample: an index, "@T" (the raw time stamp T), or a time with a unit.
Sample = int | str | tuple[Fraction, str]


def index_count(trace: PyTrace) -> int:
    """Number of sample indices (max_index() cannot tell zero from one)."""
    last = trace.max_index()
    if last > 0:
        return last + 1
    # One index or none: a trace with one index has a value or a time there, or signals.
    for name in trace.signal_names():
        if trace.signal_value(name, 0) is not None:
            return 1
    return 1 if trace.timestamp(0) else 0


def full_name(trace: PyTrace, name: str) -> str:
    """The full signal name meant by ``name`` (full, or the unique last part of one)."""
    full, ambiguous = _expr.lookup(trace, name)
    if full is not None:
        return full
    if ambiguous:
        shown = ", ".join(ambiguous[:5]) + (", ..." if len(ambiguous) > 5 else "")
        raise CliError(f"ambiguous signal name {name!r} matches {shown}")
    hint = _expr.suggest(trace, name)
    raise CliError(
        f"unknown signal {name!r}" + (f" (did you mean {', '.join(hint)}?)" if hint else "")
    )


def sample_index(trace: PyTrace, sample: Sample, what: str = "index") -> int:
    """The sample index a command-line argument names: a bare number is an index; a time with a
    unit ("250ns") or "@T" (the raw time stamp T) is the last sample at or before that time."""
    last = trace.max_index()
    if isinstance(sample, int):
        if sample > last:
            raise CliError(f"{what} {sample} is beyond the last index {last}")
        return sample
    if isinstance(sample, str):
        stamp, shown = int(sample[1:]), sample
    else:
        amount, unit = sample
        try:
            stamp = stamp_of(trace, amount, unit)
        except ValueError as e:
            raise CliError(f"{what}: {e}") from None
        shown = f"{amount} {unit}"
    index = index_of_time(trace, stamp)
    if index is None:
        raise CliError(f"{what} {shown} is before the first time stamp")
    return index


def time_text(trace: PyTrace, index: int) -> str:
    """The time of a sample index as tables show it, with its unit."""
    return format_time(trace, trace.timestamp(index))


def timed(trace: PyTrace, doc: dict[str, Any]) -> dict[str, Any]:
    """A JSON document with times: they count the unit its "timescale" field names (null when
    the dump does not say)."""
    return {**doc, "timescale": timescale_text(trace)}


def show(
    value: Any,
    trace: PyTrace | None = None,
    name: str = "",
    index: int = 0,
    hex_values: bool = False,
) -> str:
    """A value as a table shows it; None (no two-state value) as "z" or "x"."""
    if value is None:
        return "x" if trace is None else unknown_char(trace, trace.signal_id(name), index)
    if isinstance(value, float):
        return repr(value)
    if hex_values and isinstance(value, int):
        return f"0x{value:X}"
    return str(value)


def json_value(value: Any) -> Any:
    # JSON has no NaN or infinity; spell them as strings rather than emit invalid JSON.
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value


def table(headers: Sequence[str], rows: Iterable[Sequence[str]], right: Sequence[bool]) -> None:
    """Print rows under headers, columns aligned (numbers flush right)."""
    rows = [list(r) for r in rows]
    widths = [len(h) for h in headers]
    for r in rows:
        for i, cell in enumerate(r):
            widths[i] = max(widths[i], len(cell))

    def line(cells: Sequence[str]) -> str:
        out = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return "  ".join(out).rstrip()

    print(line(headers))
    for r in rows:
        print(line(r))


def emit_json(doc: Any) -> None:
    print(json.dumps(doc, indent=2, ensure_ascii=False))


def more(shown: int, total: int) -> None:
    if total > shown:
        print(f"... and {total - shown} more")
