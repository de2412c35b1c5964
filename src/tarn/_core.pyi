"""Type stubs for the compiled module ``tarn._core``."""

from collections.abc import Sequence
from typing import Any, final

# What a stored value becomes in Python: an int (Int, or the first word of a Wide), a float
# (Real), a str (Str), or None (a four-state vector with x or z bits, or no value).
_Value = int | float | str | None

@final
class PyTrace:
    """One loaded trace. Created only by the static loaders; never changes afterwards."""

    @staticmethod
    def from_vcd(path: str) -> PyTrace: ...
    @staticmethod
    def from_vcd_string(data: str) -> PyTrace: ...
    @staticmethod
    def from_fst(path: str) -> PyTrace: ...
    @staticmethod
    def from_fsdb(path: str) -> PyTrace: ...
    @staticmethod
    def from_shm(path: str) -> PyTrace: ...
    @staticmethod
    def from_vpd(path: str) -> PyTrace: ...
    @staticmethod
    def from_wlf(path: str) -> PyTrace: ...
    def signal_names(self) -> list[str]: ...
    def scopes(self) -> list[str]: ...
    def max_index(self) -> int: ...
    def timestamp(self, index: int) -> int: ...
    def signal_id(self, name: str) -> int | None: ...
    def signal_width(self, name: str) -> int: ...
    def signal_value(self, name: str, index: int) -> _Value: ...
    def signal_value_raw(self, name: str, index: int) -> int: ...
    def signal_values_range(self, name: str, start: int, end: int) -> list[_Value]: ...
    def find(self, expr: PyExpr) -> list[int]: ...
    def parallel_find(self, expr: PyExpr) -> list[int]:
        """Find matching indices using rayon parallel iteration across all CPU cores."""
    def parallel_count(self, expr: PyExpr) -> int:
        """Count matching indices using rayon parallel iteration."""
    def find_with_values(
        self, expr: PyExpr, signal_names: Sequence[str]
    ) -> list[tuple[int, list[_Value]]]:
        """Find with value extraction in one pass: returns list of (index, [values]) tuples.
        Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop."""
    def eval_expr(self, expr: PyExpr, index: int) -> _Value: ...
    def eval_expr_bool(self, expr: PyExpr, index: int) -> bool: ...
    def changed_at(self, index: int) -> list[tuple[str, _Value, _Value]]:
        """Get all signals that changed value at a specific index.
        Returns list of (name, old_value, new_value) tuples."""
    def changed_at_scope(self, index: int, scope: str) -> list[tuple[str, _Value, _Value]]:
        """Get signals that changed at index within a scope."""
    def transitions(self, name: str) -> list[tuple[int, _Value, _Value]]:
        """Get all transitions for a signal: [(index, old, new), ...]"""
    def snapshot(self, index: int) -> dict[str, _Value]:
        """Snapshot: get all signal values at a specific index as a dict.
        Uses signal_value_by_id for O(1) access per signal."""
    def snapshot_scope(self, index: int, scope: str) -> dict[str, _Value]:
        """Snapshot within a scope.
        Uses signal_value_by_id for O(1) access per signal."""
    def local_scopes(self, scope_name: str) -> list[str]: ...
    def local_signals(self, scope_name: str) -> list[str]: ...
    def resolve(self, scope_name: str, short_name: str) -> str | None: ...
    def find_signals_glob(self, pattern: str) -> list[str]:
        """Find signals matching a glob pattern."""
    def find_signals_containing(self, substring: str) -> list[str]:
        """Find signals containing a substring (case-insensitive)."""
    def signal_stats(self, name: str) -> tuple[int, int, int, int, int, int, int]:
        """Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)"""
    def bit_slice_val(self, val: int, high: int, low: int) -> int: ...
    def sign_extend_val(self, val: int, width: int) -> int: ...
    @staticmethod
    def load(path: str, format: str, signals: str | Sequence[str] | None) -> PyTrace:
        """Load the dump at path with the reader of format ("vcd", "fst", "fsdb", "shm",
        "vpd" or "wlf"), keeping only the signals whose names match one of the glob
        patterns in signals (a str is one pattern; None keeps every signal). A file compressed
        with gzip or zstd is decompressed as it is read."""
    @staticmethod
    def read_head(path: str, size: int) -> bytes:
        """The first size bytes of the file's content, decompressed when the file is
        gzip- or zstd-compressed."""
    def timescale(self) -> tuple[int, str] | None:
        """The unit of the time stamps as (multiplier, unit), unit one of s, ms, us, ns, ps,
        fs: (10, "ps") when a time stamp counts 10 ps. None when the dump does not say."""
    def index_at(self, time: int) -> int | None:
        """The index of the last time stamp at or before time (with repeated time stamps,
        the last of them); None before the first."""
    def signal_bits(self, name: str, index: int) -> str | None:
        """The value as a text of 0, 1, x and z, most significant bit first, at the signal's
        declared width (shorter values extended as a VCD reader extends them); None for
        no value, reals, texts and unknown names."""
    def signal_int(self, name: str, index: int) -> int | None:
        """The two-state value at full width as an int of any size; None when the value has
        an x or z bit, is a real or a text, or there is none."""
    def _frame(
        self, names: Sequence[str], start: int, end: int, kinds: Sequence[str]
    ) -> tuple[bytearray, bytearray, list[Any]]:
        """The rows, times and columns of a frame (see tarn.Trace.to_pandas)."""
    def _frame_at(
        self, names: Sequence[str], rows: bytes | bytearray | memoryview, kinds: Sequence[str]
    ) -> tuple[bytearray, bytearray, list[Any]]:
        """The same at given ascending rows (see tarn.Trace.values_at)."""
    def _times(self) -> bytearray:
        """Every time stamp as little-endian 64-bit words (see tarn.Trace.times)."""
    def value_kinds(self, name: str) -> frozenset[str]:
        """The kinds of value the signal holds at any index, as a frozenset of "int",
        "wide", "logic", "real" and "str"; empty for an unknown name or a signal
        without values."""
    def real_stats(self, name: str) -> tuple[float, float, float, int] | None:
        """Statistics of the signal's real values: (min, max, mean, count), each value
        weighted by the indices it holds as in signal_stats; None when it holds none. A NaN
        counts and makes the mean NaN; min and max are those of the other values (NaN when
        every value is NaN)."""

@final
class PyExpr:
    """An immutable expression tree; every method returns a new expression."""

    @staticmethod
    def signal(id: int) -> PyExpr: ...
    @staticmethod
    def const_int(val: int) -> PyExpr: ...
    @staticmethod
    def const_float(val: float) -> PyExpr: ...
    @staticmethod
    def const_str(val: str) -> PyExpr: ...
    @staticmethod
    def always_true() -> PyExpr: ...
    def rel_eval(self, offset: int) -> PyExpr: ...
    def not_(self) -> PyExpr: ...
    def and_(self, other: PyExpr) -> PyExpr: ...
    def or_(self, other: PyExpr) -> PyExpr: ...
    def eq_(self, other: PyExpr) -> PyExpr: ...
    def neq(self, other: PyExpr) -> PyExpr: ...
    def gt_(self, other: PyExpr) -> PyExpr: ...
    def lt_(self, other: PyExpr) -> PyExpr: ...
    def gte(self, other: PyExpr) -> PyExpr: ...
    def lte(self, other: PyExpr) -> PyExpr: ...
    def add(self, other: PyExpr) -> PyExpr: ...
    def sub(self, other: PyExpr) -> PyExpr: ...
    def bit_and(self, other: PyExpr) -> PyExpr: ...
    def bit_or(self, other: PyExpr) -> PyExpr: ...
    def bit_xor(self, other: PyExpr) -> PyExpr: ...
    # Bits high..low of the unsigned 64-bit reading: 0 when high < low, and 0 when low >= 64
    # (there are no bits above the reading).
    def slice(self, high: int, low: int) -> PyExpr: ...
    def signed(self) -> PyExpr: ...
    def is_x(self) -> PyExpr: ...
    def is_z(self) -> PyExpr: ...
    def real_eq(self, other: PyExpr) -> PyExpr:
        """Whether self == other as 64-bit floats: 1 or 0, or None when either has no float
        reading. A real reads as its number, an int, wide or logic value without x or z as its
        unsigned value (nearest double), a text as a float when it is one; NaN equals nothing."""
    def real_neq(self, other: PyExpr) -> PyExpr:
        """The negation of real_eq: 1 where it is 0 or None."""
    def real_lt(self, other: PyExpr) -> PyExpr:
        """self < other as 64-bit floats (see real_eq): 1, 0, or None without both readings."""
    def real_gt(self, other: PyExpr) -> PyExpr:
        """self > other as 64-bit floats (see real_eq): 1, 0, or None without both readings."""
    def real_lte(self, other: PyExpr) -> PyExpr:
        """self <= other as 64-bit floats (see real_eq): 1, 0, or None without both readings."""
    def real_gte(self, other: PyExpr) -> PyExpr:
        """self >= other as 64-bit floats (see real_eq): 1, 0, or None without both readings."""
    def real_add(self, other: PyExpr) -> PyExpr:
        """self + other as a 64-bit float (see real_eq); None without both readings."""
    def real_sub(self, other: PyExpr) -> PyExpr:
        """self - other as a 64-bit float (see real_eq); None without both readings."""
