"""How the command's tables and the diagrams show a value without a two-state reading."""

from __future__ import annotations

from tarn._core import PyExpr, PyTrace

# One is_z test per signal id. Expressions name signals by id only, so one serves every trace.
_IS_Z: dict[int, PyExpr] = {}


def unknown_char(trace: PyTrace, sid: int | None, index: int) -> str:
    """The letter shown for such a value of signal ``sid`` at ``index``: "z" when it has z bits,
    else "x" (also when there is no such signal)."""
    if sid is None:
        return "x"
    test = _IS_Z.get(sid)
    if test is None:
        if len(_IS_Z) > 4096:
            _IS_Z.clear()
        test = _IS_Z[sid] = PyExpr.signal(sid).is_z()
    return "z" if trace.eval_expr_bool(test, index) else "x"
