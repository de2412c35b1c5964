"""tarn: load waveform dumps (VCD, FST, FSDB, SHM, VPD, WLF) and query them from Python.

The compiled core lives in :mod:`tarn._core`; its two classes are re-exported here, beside a
format-detecting loader and a compiler for written conditions::

    import tarn
    trace = tarn.open("dump.vcd")                 # the format is told from the file
    trace.signal_value("top.clk", 0)
    hits = trace.find(tarn.compile(trace, "top.valid && top.ready"))
    frame = trace.to_pandas(["top.valid", "top.data"])  # pandas, with tarn[pandas]
    hits = tarn.scan("runs/*/dump.vcd.gz", "top.valid && top.data > 100")  # many dumps
"""

from typing import TYPE_CHECKING, Any

from tarn._core import PyExpr, PyTrace
from tarn.formats import FORMATS, BestEffortWarning, ConverterWarning, detect_format
from tarn.formats import open as open
from tarn.scanning import scan
from tarn.trace import Changes, Signal, Trace, Wave

if TYPE_CHECKING:
    from tarn.expr import ExprError
    from tarn.expr import compile as compile


def __getattr__(name: str) -> Any:
    # The condition compiler and the package metadata load on first use: a script that only
    # loads dumps and queries them does not pay for them in start-up time or memory.
    if name in ("compile", "ExprError"):
        from tarn import expr

        return getattr(expr, name)
    if name == "__version__":
        global __version__
        __version__ = _version()
        return __version__
    raise AttributeError(f"module 'tarn' has no attribute {name!r}")


def _version() -> str:
    """The installed distribution's version, or for a run from a source checkout the version its
    pyproject.toml declares (an installed tarn elsewhere may be another version)."""
    import pathlib
    import re
    from importlib import metadata

    package = pathlib.Path(__file__).resolve().parent
    try:
        dist: metadata.Distribution | None = metadata.distribution("tarn")
    except metadata.PackageNotFoundError:
        dist = None
    if dist is not None:
        installed = pathlib.Path(str(dist.locate_file("tarn/__init__.py"))).resolve()
        if installed == package / "__init__.py":
            return dist.version
    pyproject = package.parents[1] / "pyproject.toml"
    if pyproject.is_file():
        found = re.search(r'^version = "([^"]+)"', pyproject.read_text(encoding="utf-8"), re.M)
        if found:
            return found.group(1)
    return dist.version if dist is not None else "0+unknown"


# open and compile are left out of the star-import list: they would shadow the builtins of the
# same names. Use them as tarn.open and tarn.compile.
__all__ = [
    "PyExpr",
    "PyTrace",
    "Trace",
    "Signal",
    "scan",
    "Changes",
    "Wave",
    "detect_format",
    "ExprError",
    "FORMATS",
    "BestEffortWarning",
    "ConverterWarning",
]
__version__: str
