"""The trace :func:`tarn.open` returns: every :class:`tarn.PyTrace` method, and a Pythonic
surface over them.

* ``trace.times``: every time stamp as a NumPy ``uint64`` array;
* ``trace["top.cpu.pc"]``: a :class:`Signal` view (an unknown name raises ``KeyError`` naming the
  closest known names; a short name resolves as on the command line);
* ``trace.to_pandas(names)``, ``trace.to_arrow(names)``: the values of several signals at the
  samples where any of them changes, as a ``pandas.DataFrame`` or ``pyarrow.Table``;
* ``trace.wave(names)``: a timing diagram that Jupyter shows inline; the trace itself shows as a
  summary table there.

Bulk data (time stamps, change points, frame columns) is produced by the compiled core and handed
to NumPy as whole arrays, never one Python object per element. NumPy is required; pandas,
pyarrow and matplotlib are optional extras (``pip install 'tarn[pandas]'``, ``tarn[arrow]``).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

from tarn._core import PyTrace
from tarn._time import format_time, parse_time, stamp_of, timescale_text

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd
    import pyarrow as pa

    # To a type checker a Trace is a PyTrace with more; at run time it forwards to one (the
    # compiled class cannot be subclassed).
    _Base = PyTrace
else:
    _Base = object

__all__ = ["Trace", "Signal", "Changes", "Wave"]

#: A sample as the Python layer takes it: an index, or a time with its unit ("250ns").
SampleLike = int | str


def _need(module: str, extra: str, what: str) -> Any:
    """Import an optional dependency, or say which extra brings it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"{what} needs {module.split('.')[0]}: pip install 'tarn[{extra}]'"
        ) from None


class Changes(NamedTuple):
    """A signal's change points: the sample indices, time stamps and values of its first sample
    and of every sample where its value changes."""

    indices: np.ndarray
    times: np.ndarray
    values: np.ndarray


class Trace(_Base):  # type: ignore[misc]
    """A loaded dump. Every :class:`tarn.PyTrace` method works on it unchanged."""

    def __init__(self, core: PyTrace, path: str | None = None, format: str | None = None):
        self._core = core
        self.path = path
        self.format = format
        self._stamps: np.ndarray | None = None

    def __getattr__(self, name: str) -> Any:
        # Every PyTrace method; bound once, then found in the instance like any attribute.
        if name.startswith("__"):
            raise AttributeError(name)
        attr = getattr(self._core, name)
        self.__dict__[name] = attr
        return attr

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(dir(self._core)))

    @property
    def core(self) -> PyTrace:
        """The compiled trace this object wraps."""
        return self._core

    # ------------------------------------------------------------ time

    @property
    def times(self) -> np.ndarray:
        """Every time stamp, in index order, as a read-only NumPy ``uint64`` array."""
        if self._stamps is None:
            import numpy as np

            times = np.frombuffer(self._core._times(), dtype="<u8").astype(np.uint64, copy=False)
            times.flags.writeable = False
            self._stamps = times
        return self._stamps

    def index_of(self, time: int | str) -> int | None:
        """The last sample at or before ``time``: a time stamp in the dump's own unit (an int),
        or a time with its unit ("250ns", "1.5 us"). None before the first time stamp."""
        if isinstance(time, str):
            parsed = parse_time(time)
            if parsed is None:
                raise ValueError(f"not a time with a unit (such as 250ns): {time!r}")
            time = stamp_of(self._core, *parsed)
        if time < 0:
            return None
        return self._core.index_at(min(int(time), 2**64 - 1))

    def _sample_count(self) -> int:
        return len(self.times)

    def _bounds(self, start: SampleLike | None, end: SampleLike | None) -> tuple[int, int]:
        """[start, end) as sample indices; times with units name the samples from the last one at
        or before ``start`` to the last one before ``end``."""
        n = self._sample_count()
        lo = 0 if start is None else self._sample(start, first=True)
        hi = n if end is None else self._sample(end, first=False)
        return max(lo, 0), min(max(hi, 0), n)

    def _sample(self, sample: SampleLike, first: bool) -> int:
        if isinstance(sample, str):
            parsed = parse_time(sample)
            if parsed is None:
                raise ValueError(f"not a sample index or a time with a unit: {sample!r}")
            stamp = stamp_of(self._core, *parsed)
            if first:
                index = self._core.index_at(stamp)
                return 0 if index is None else index
            index = self._core.index_at(stamp - 1) if stamp > 0 else None
            return 0 if index is None else index + 1
        return int(sample)

    # ------------------------------------------------------------ names and signals

    def full_name(self, name: str) -> str:
        """The full signal name ``name`` stands for: itself, or the unique full name it ends;
        raises KeyError naming the closest names, or every match of an ambiguous short name."""
        from tarn import expr

        full, ambiguous = expr.lookup(self._core, name)
        if full is not None:
            return full
        if ambiguous:
            raise KeyError(f"ambiguous signal name {name!r} matches {', '.join(ambiguous)}")
        hint = expr.suggest(self._core, name)
        tail = f" (did you mean {', '.join(hint)}?)" if hint else ""
        raise KeyError(f"unknown signal {name!r}{tail}")

    def __getitem__(self, name: str) -> Signal:
        return Signal(self, self.full_name(name))

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._core.signal_id(name) is not None

    # ------------------------------------------------------------ frames

    def _kind(self, name: str) -> str:
        kinds = self._core.value_kinds(name)
        if "str" in kinds:
            return "str"
        if "real" in kinds:
            return "real"
        if "wide" in kinds or self._core.signal_width(name) > 64:
            return "wide"
        return "uint"

    def _frame_data(
        self,
        names: Sequence[str],
        start: SampleLike | None,
        end: SampleLike | None,
        rows: Sequence[int] | None = None,
    ) -> tuple[np.ndarray, np.ndarray, list[str], list[Any]]:
        import numpy as np

        full = [self.full_name(n) for n in names]
        kinds = [self._kind(n) for n in full]
        if rows is None:
            lo, hi = self._bounds(start, end)
            got = self._core._frame(full, lo, hi, kinds)
        else:
            at = np.asarray(rows, dtype=np.uint64)
            if at.ndim != 1 or (len(at) > 1 and bool((at[1:] < at[:-1]).any())):
                raise ValueError("the indices must be one ascending sequence")
            got = self._core._frame_at(full, at.astype("<u8").tobytes(), kinds)
        index = np.frombuffer(got[0], dtype="<u8").astype(np.uint64, copy=False)
        time = np.frombuffer(got[1], dtype="<u8").astype(np.uint64, copy=False)
        return index, time, kinds, got[2]

    def _pandas(
        self, names: Sequence[str], frame: tuple[np.ndarray, np.ndarray, list[str], list[Any]]
    ) -> pd.DataFrame:
        pd = _need("pandas", "pandas", "a pandas frame")
        index, time, kinds, columns = frame
        data: dict[str, Any] = {"index": index, "time": time}
        for name, kind, col in zip(names, kinds, columns):
            data[name] = pandas_column(kind, col)
        return pd.DataFrame(data, copy=False)  # the arrays are the frame's own already

    def to_pandas(
        self, names: Sequence[str], start: SampleLike | None = None, end: SampleLike | None = None
    ) -> pd.DataFrame:
        """The values of ``names`` as a ``pandas.DataFrame``: columns ``index`` and ``time``,
        then one per name in the order given; one row for the first sample of [start, end) and
        for every later sample where any of the signals changes. ``start`` and ``end`` are
        sample indices or times with a unit ("1us"). Two-state signals up to 64 bits are
        nullable ``UInt64`` (x, z and no value are ``<NA>``), reals ``float64`` (NaN without a
        value), wider signals Python ints, texts pandas ``string``."""
        names = [names] if isinstance(names, str) else list(names)
        _need("pandas", "pandas", "to_pandas")
        return self._pandas(names, self._frame_data(names, start, end))

    def values_at(self, names: Sequence[str], indices: Sequence[int]) -> pd.DataFrame:
        """The values of ``names`` at the ascending sample ``indices`` (the matches of a search,
        say), as a frame with the columns and types of :meth:`to_pandas`."""
        names = [names] if isinstance(names, str) else list(names)
        _need("pandas", "pandas", "values_at")
        return self._pandas(names, self._frame_data(names, None, None, rows=indices))

    def to_arrow(
        self, names: Sequence[str], start: SampleLike | None = None, end: SampleLike | None = None
    ) -> pa.Table:
        """The frame of :meth:`to_pandas` as a ``pyarrow.Table``: ``uint64`` columns with nulls
        for x, z and no value, ``float64`` reals (null without a value), wider signals as
        ``decimal256`` when they fit 76 digits (else their decimal text), texts ``string``."""
        import decimal

        import numpy as np

        pa = _need("pyarrow", "arrow", "to_arrow")
        names = [names] if isinstance(names, str) else list(names)
        index, time, kinds, columns = self._frame_data(names, start, end)
        arrays = [pa.array(index, type=pa.uint64()), pa.array(time, type=pa.uint64())]
        for kind, col in zip(kinds, columns):
            if kind in ("uint", "real"):
                dtype = "<u8" if kind == "uint" else "<f8"
                values = np.frombuffer(col[0], dtype=dtype)
                missing = np.frombuffer(col[1], dtype=np.bool_)
                arrow_type = pa.uint64() if kind == "uint" else pa.float64()
                arrays.append(pa.array(values, mask=missing, type=arrow_type))
            elif kind == "wide":
                if all(v is None or v < 10**76 for v in col):
                    digits = [None if v is None else decimal.Decimal(v) for v in col]
                    arrays.append(pa.array(digits, type=pa.decimal256(76, 0)))
                else:
                    arrays.append(pa.array([None if v is None else str(v) for v in col]))
            else:
                arrays.append(pa.array(col, type=pa.string()))
        labels = ["index", "time", *names]
        return pa.Table.from_arrays(arrays, names=labels)

    # ------------------------------------------------------------ pictures

    def wave(
        self,
        names: Sequence[str],
        start: SampleLike | None = None,
        end: SampleLike | None = None,
        hex: bool = False,
    ) -> Wave:
        """A timing diagram of ``names`` over the samples [start, end) (64 samples from
        ``start`` when ``end`` is not given), time to scale; Jupyter shows it inline."""
        from tarn import wave

        if isinstance(names, str):
            names = [names]
        full = [self.full_name(n) for n in names]
        n = self._sample_count()
        lo = 0 if start is None else self._sample(start, first=True)
        hi = min(n, lo + wave.DEFAULT_SPAN) if end is None else self._sample(end, first=False)
        hi = min(hi, n)
        if hi <= lo:
            raise ValueError(f"no samples between {start!r} and {end!r}")
        if hi - lo > wave.MAX_SVG_SPAN:
            raise ValueError(f"{hi - lo} samples are too many for one diagram")
        title = os.path.basename(self.path) if self.path else None
        return Wave(wave.svg(self._core, full, lo, hi - 1, hex_values=hex, title=title))

    def _summary(self) -> list[tuple[str, str]]:
        n = self._sample_count()
        rows = [
            ("file", self.path or "(text)"),
            ("format", self.format or "vcd"),
            ("timescale", timescale_text(self._core) or "not given"),
            ("signals", str(len(self._core.signal_names()))),
            ("scopes", str(len(self._core.scopes()))),
            ("samples", str(n)),
        ]
        if n:
            first = format_time(self._core, int(self.times[0]))
            last = format_time(self._core, int(self.times[-1]))
            rows.append(("time", f"{first} to {last}"))
        return rows

    def __repr__(self) -> str:
        info = dict(self._summary())
        span = f", {info['time']}" if "time" in info else ""
        return (
            f"<tarn.Trace {info['file']!r} ({info['format']}): {info['signals']} signals, "
            f"{info['samples']} samples{span}>"
        )

    def _repr_html_(self) -> str:
        import html

        cells = "".join(
            f"<tr><th style='text-align:left'>{html.escape(k)}</th>"
            f"<td style='text-align:left'>{html.escape(v)}</td></tr>"
            for k, v in self._summary()
        )
        return f"<table><caption>tarn trace</caption>{cells}</table>"


def pandas_column(kind: str, column: Any) -> Any:
    """A frame column as pandas takes it, from the core's data for one column: for ``uint`` and
    ``real`` the value buffer and the mask (1 where there is no value), else the list of
    values."""
    import numpy as np
    import pandas as pd

    if kind == "uint":
        values = np.frombuffer(column[0], dtype="<u8").astype(np.uint64, copy=False)
        return pd.arrays.IntegerArray(values, np.frombuffer(column[1], dtype=np.bool_))
    if kind == "real":
        return np.frombuffer(column[0], dtype="<f8").astype(np.float64, copy=False)
    if kind == "wide":
        return pd.Series(column, dtype=object)
    return pd.array(column, dtype="string")


class Signal:
    """One signal of a trace: ``sig[i]`` is its value at sample index ``i`` (a slice gives a
    list), ``sig.at("250ns")`` its value at a time."""

    __slots__ = ("trace", "name", "width", "id")

    def __init__(self, trace: Trace, name: str):
        self.trace = trace
        self.name = name
        self.width: int = trace.core.signal_width(name)
        self.id: int | None = trace.core.signal_id(name)

    def __getitem__(self, index: int | slice) -> Any:
        core = self.trace.core
        if isinstance(index, slice):
            lo, hi, step = index.indices(len(self.trace.times))
            if step == 1:
                return core.signal_values_range(self.name, lo, max(hi, lo))
            return [core.signal_value(self.name, i) for i in range(lo, hi, step)]
        if index < 0:
            index += len(self.trace.times)
            if index < 0:
                raise IndexError("sample index out of range")
        return core.signal_value(self.name, index)

    def at(self, time: int | str) -> Any:
        """The value at a time (a time stamp, or a time with its unit such as "250ns"): that of
        the last sample at or before it; None before the first."""
        index = self.trace.index_of(time)
        return None if index is None else self.trace.core.signal_value(self.name, index)

    def bits(self, index: int) -> str | None:
        """The value's bits as text (0, 1, x, z), most significant first, at the declared width."""
        return self.trace.core.signal_bits(self.name, index)

    def integer(self, index: int) -> int | None:
        """The two-state value at full width as an int of any size; None with x or z bits."""
        return self.trace.core.signal_int(self.name, index)

    @property
    def kinds(self) -> frozenset[str]:
        """The kinds of value the signal holds ("int", "wide", "logic", "real", "str")."""
        return self.trace.core.value_kinds(self.name)

    def transitions(self) -> list[tuple[int, Any, Any]]:
        """Every change: (index, old value, new value)."""
        return self.trace.core.transitions(self.name)

    def to_numpy(self) -> Changes:
        """The change points as arrays: sample index and time stamp (``uint64``), and the value:
        ``uint64`` for two-state signals up to 64 bits (a masked array where some change point
        has no two-state value), ``float64`` for reals (NaN without a value), objects for wider
        signals and texts."""
        import numpy as np

        index, time, kinds, columns = self.trace._frame_data([self.name], None, None)
        col = columns[0]
        value: np.ndarray
        if kinds[0] == "uint":
            values = np.frombuffer(col[0], dtype="<u8").astype(np.uint64, copy=False)
            missing = np.frombuffer(col[1], dtype=np.bool_)
            value = np.ma.masked_array(values, mask=missing) if missing.any() else values
        elif kinds[0] == "real":
            value = np.frombuffer(col[0], dtype="<f8").astype(np.float64, copy=False)
        else:
            value = np.empty(len(col), dtype=object)
            value[:] = col
        return Changes(index, time, value)

    def __repr__(self) -> str:
        return f"<tarn.Signal {self.name!r} width {self.width}>"


class Wave:
    """A timing diagram as SVG text; Jupyter draws it inline."""

    def __init__(self, svg: str):
        self.svg = svg

    def _repr_svg_(self) -> str:
        return self.svg

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the SVG to ``path``."""
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.svg)
