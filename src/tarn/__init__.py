"""tarn: load waveform dumps (VCD, FST, FSDB, SHM, VPD, WLF) and query them from Python.

The compiled core lives in :mod:`tarn._core`; its two classes are re-exported here, beside a
format-detecting loader and a compiler for written conditions::

    import tarn
    trace = tarn.open("dump.vcd")                 # the format is told from the file
    trace.signal_value("top.clk", 0)
    hits = trace.find(tarn.compile(trace, "top.valid && top.ready"))
"""

from tarn._core import PyExpr, PyTrace
from tarn.expr import ExprError, compile
from tarn.formats import FORMATS, detect_format, open

# open and compile are left out of the star-import list: they would shadow the builtins of the
# same names. Use them as tarn.open and tarn.compile.
__all__ = ["PyExpr", "PyTrace", "detect_format", "ExprError", "FORMATS"]
__version__ = "0.1.0"
