"""tarn: load waveform dumps (VCD, FST, FSDB, SHM, VPD, WLF) and query them from Python.

The compiled core lives in :mod:`tarn._core`; its two classes are re-exported here, beside a
format-detecting loader and a compiler for written conditions::

    import tarn
    trace = tarn.open("dump.vcd")                 # the format is told from the file
    trace.signal_value("top.clk", 0)
    hits = trace.find(tarn.compile(trace, "top.valid && top.ready"))
"""

from typing import TYPE_CHECKING, Any

from tarn._core import PyExpr, PyTrace
from tarn.formats import FORMATS, detect_format
from tarn.formats import open as open

if TYPE_CHECKING:
    from tarn.expr import ExprError
    from tarn.expr import compile as compile


def __getattr__(name: str) -> Any:
    # The condition compiler and what it imports load on first use: a script that only loads
    # dumps and queries them does not pay for them in start-up time or memory.
    if name in ("compile", "ExprError"):
        from tarn import expr

        return getattr(expr, name)
    raise AttributeError(f"module 'tarn' has no attribute {name!r}")


# open and compile are left out of the star-import list: they would shadow the builtins of the
# same names. Use them as tarn.open and tarn.compile.
__all__ = ["PyExpr", "PyTrace", "detect_format", "ExprError", "FORMATS"]
__version__ = "0.1.0"
