"""How callers use tarn, for mypy: CI type-checks this file against the package and the stubs of
the compiled module (it is never run). Each line marked ``type: ignore`` is a mistake the stubs
must reject; mypy's ``warn_unused_ignores`` fails the check when one is accepted."""

import warnings

import tarn
from tarn import PyExpr, PyTrace
from tarn.expr import ExprError, Node, parse


def first_rise(trace: PyTrace, clock: str) -> int | None:
    sid = trace.signal_id(clock)
    if sid is None:
        return None
    clk = PyExpr.signal(sid)
    one, zero = PyExpr.const_int(1), PyExpr.const_int(0)
    rising = clk.eq_(one).and_(clk.rel_eval(-1).eq_(zero))
    hits: list[int] = trace.find(rising)
    return hits[0] if hits else None


def summary(path: str) -> dict[str, object]:
    trace: PyTrace = tarn.open(path)
    cpu: PyTrace = tarn.open(path + ".gz", signals=["top.cpu.*", "top.clk"])
    one: PyTrace = PyTrace.load(path, "vcd", "top.clk")
    head: bytes = PyTrace.read_head(path, 4096)
    print(cpu, one, head)
    names: list[str] = trace.signal_names()
    last: int = trace.max_index()
    value = trace.signal_value(names[0], last)
    if isinstance(value, int):
        value += 1
    condition: PyExpr = tarn.compile(trace, "top.valid && top.ready", scope="top")
    rows: list[tuple[int, list[int | float | str | None]]] = trace.find_with_values(
        condition, names[:2]
    )
    count: int = trace.parallel_count(condition)
    stats: tuple[int, int, int, int, int, int, int] = trace.signal_stats(names[0])
    changes = [(name, old, new) for name, old, new in trace.changed_at(1)]
    snapshot: dict[str, int | float | str | None] = trace.snapshot_scope(1, "top")
    try:
        tree: Node = parse("$rose(top.clk)")
    except ExprError as e:
        return {"error": e.column, "pointer": e.pointer()}
    return {
        "format": tarn.detect_format(path),
        "version": tarn.__version__,
        "rows": rows,
        "count": count,
        "stats": stats,
        "changes": changes,
        "snapshot": snapshot,
        "tree": str(tree),
        "width": trace.signal_width(names[0]),
        "formats": tarn.FORMATS,
    }


def below(trace: PyTrace, name: str, limit: float) -> tuple[list[int], float | None]:
    sid = trace.signal_id(name)
    assert sid is not None
    hits = trace.find(PyExpr.signal(sid).real_lt(PyExpr.const_float(limit)))
    stats = trace.real_stats(name)
    if stats is None:
        return hits, None
    low, high, mean, count = stats
    return hits, mean


def mistakes(trace: PyTrace) -> None:
    trace.find("top.valid")  # type: ignore[arg-type]
    PyExpr.signal("top.clk")  # type: ignore[arg-type]
    trace.signal_value("top.clk")  # type: ignore[call-arg]
    index: str = trace.max_index()  # type: ignore[assignment]
    PyExpr.const_int(1).and_(1)  # type: ignore[arg-type]
    tarn.compile(trace, "a", "top", 3)  # type: ignore[call-arg]
    trace.signal_id("a") + 1  # type: ignore[operator]
    tarn.open("w.fsdb", "fsdb", None, False)  # type: ignore[call-arg]
    trace.real_stats("r")[2]  # type: ignore[index]
    tarn.open("dump.vcd", signals=3)  # type: ignore[arg-type]
    print(index)


def recovered_only(path: str) -> PyTrace:
    # The recovery reader's own data, a doubtful recovery being an error.
    with warnings.catch_warnings():
        warnings.simplefilter("error", tarn.BestEffortWarning)
        return tarn.open(path, convert=False)


def converted_or_nothing(path: str) -> PyTrace:
    with warnings.catch_warnings():
        warnings.simplefilter("error", tarn.ConverterWarning)
        return tarn.open(path)


class Derived(PyTrace):  # type: ignore[misc]
    """The classes are final."""
