"""tarn: load waveform dumps (VCD, FST, FSDB, SHM, VPD, WLF) and query them from Python.

The compiled core lives in :mod:`tarn._core`; its two classes are re-exported here::

    import tarn
    trace = tarn.PyTrace.from_vcd("dump.vcd")
    trace.signal_value("top.clk", 0)
"""

from tarn._core import PyExpr, PyTrace

__all__ = ["PyExpr", "PyTrace"]
__version__ = "0.1.0"
