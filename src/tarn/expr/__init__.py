"""A small condition language compiled to :class:`tarn.PyExpr` trees.

``tarn.compile(trace, "top.valid && top.ready && top.data[7:4] == 3")`` parses the text, looks
the signal names up in ``trace`` and builds the same tree one would build by hand with
``PyExpr.signal``, ``eq_``, ``and_`` and friends. Evaluation is the module's: values are unsigned
64-bit numbers, x/z and missing values make numeric results unknown, and unknown is false.

Operators, from the loosest binding to the tightest (all binary operators associate left)::

    ||                  logical or                PyExpr.or_
    &&                  logical and               PyExpr.and_
    |                   bitwise or                PyExpr.bit_or
    ^                   bitwise xor               PyExpr.bit_xor
    &                   bitwise and               PyExpr.bit_and
    ==  !=              equality                  PyExpr.eq_, neq
    <  <=  >  >=        unsigned ordering         PyExpr.lt_, lte, gt_, gte
    +  -                wrapping add, subtract    PyExpr.add, sub
    !                   logical not (prefix)      PyExpr.not_
    e[h:l]  e[i]        bit slice (postfix)       PyExpr.slice

This is the precedence of Verilog and C: ``a & 3 == 3`` means ``a & (3 == 3)``; write
``(a & 3) == 3``.

Operands:

* signal names: dotted paths of identifiers (``top.cpu.pc``; letters, digits, ``_`` and ``$``,
  not starting with a digit). A component starting with a backslash is a Verilog escaped
  identifier and runs to the next white space (``top.\\bus.data [3:0]``). Any other name is
  written between backquotes, a doubled backquote standing for one (`` `top.mem[3]` ``).
  A ``[`` right after a bare name always starts a slice.
* integers: ``42``, ``1_000``, ``0x2A``, ``0b101010``, ``0o52``, and Verilog based literals
  ``'h2A``, ``8'b0010_1010``, ``'d42``, ``'o52`` (the size, if given, must hold the value);
  at most 64 bits, no x or z digits. A ``-`` before a literal negates it: a real becomes
  negative, an integer wraps to its two's complement in 64 bits.
* reals: ``2.5``, ``1e-3``; strings: ``"text"`` with ``\\"``, ``\\\\``, ``\\n`` and ``\\t``.
* functions: ``$past(e)``, ``$past(e, n)`` (e, n samples earlier), ``$future(e)``,
  ``$future(e, n)`` (n samples later), ``$isx(e)``, ``$isz(e)``, ``$signed(e)`` (the module's
  ``signed()``: the value as an unsigned 64-bit integer, without sign extension),
  ``$changed(e)`` (``e != $past(e)``, never at sample 0), ``$stable(e)`` (``!$changed(e)``),
  ``$rose(e)`` and ``$fell(e)`` (bit 0 of ``e`` became 1 or 0, from any other value).
  ``n`` is an integer literal.

Names are looked up exactly first. With a ``scope``, a name that is not a full name is resolved
from that scope by ``PyTrace.resolve``. Without one, a name that is the last part of exactly one
full name (``valid`` for ``top.valid``) is taken as that name. Errors are :class:`ExprError`
(a ``ValueError``) and carry the column of the problem and close signal names.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import cast

from tarn._core import PyExpr, PyTrace
from tarn.expr.names import lookup, resolve, signal_names, suggest
from tarn.expr.parser import parse
from tarn.expr.syntax import (
    BINARY_OPERATORS,
    FUNCTIONS,
    Binary,
    Call,
    ExprError,
    Int,
    Name,
    Node,
    Real,
    Slice,
    Str,
    Unary,
    walk,
)
from tarn.expr.syntax import MAX_DEPTH as MAX_DEPTH
from tarn.expr.syntax import MAX_NESTING as MAX_NESTING
from tarn.expr.syntax import MAX_U64 as MAX_U64

__all__ = [
    "ExprError",
    "Node",
    "Name",
    "Int",
    "Real",
    "Str",
    "Unary",
    "Binary",
    "Slice",
    "Call",
    "parse",
    "signal_names",
    "lookup",
    "suggest",
    "FUNCTIONS",
    "BINARY_OPERATORS",
]


def _build(node: Node, ids: Callable[[Name], int]) -> PyExpr:
    if isinstance(node, Name):
        return PyExpr.signal(ids(node))
    if isinstance(node, Int):
        return PyExpr.const_int(node.value)
    if isinstance(node, Real):
        return PyExpr.const_float(node.value)
    if isinstance(node, Str):
        return PyExpr.const_str(node.value)
    if isinstance(node, Unary):
        return _build(node.operand, ids).not_()
    if isinstance(node, Binary):
        method = getattr(_build(node.left, ids), BINARY_OPERATORS[node.op][1])
        built: PyExpr = method(_build(node.right, ids))
        return built
    if isinstance(node, Slice):
        return _build(node.operand, ids).slice(node.high, node.low)
    if isinstance(node, Call):
        return _build_call(node, _build(node.args[0], ids))
    raise TypeError(f"not an expression node: {node!r}")


def _after_first() -> PyExpr:
    # True at every sample but the first: the previous sample of a constant exists.
    return PyExpr.always_true().rel_eval(-1)


def _build_call(node: Call, e: PyExpr) -> PyExpr:
    f = node.function
    n = 1 if node.count is None else node.count
    if f == "$past":
        return e.rel_eval(-n)
    if f == "$future":
        return e.rel_eval(n)
    if f == "$isx":
        return e.is_x()
    if f == "$isz":
        return e.is_z()
    if f == "$signed":
        return e.signed()
    changed = e.neq(e.rel_eval(-1)).and_(_after_first())
    if f == "$changed":
        return changed
    if f == "$stable":
        return changed.not_()
    bit, past_bit = e.slice(0, 0), e.rel_eval(-1).slice(0, 0)
    level = PyExpr.const_int(1 if f == "$rose" else 0)
    return bit.eq_(level).and_(past_bit.neq(level)).and_(_after_first())


def compile(trace: PyTrace, text: str, scope: str | None = None) -> PyExpr:  # noqa: A001
    """Compile the condition ``text`` over the signals of ``trace`` into a :class:`PyExpr`.

    ``scope`` names the scope from which names that are not full names are resolved. The result
    can be passed to ``trace.find``, ``parallel_find``, ``parallel_count``, ``find_with_values``,
    ``eval_expr`` and ``eval_expr_bool``. Raises :class:`ExprError` for a syntax error or a name
    that is not found (the message gives the column and close names).
    """
    tree = parse(text)
    ids: dict[str, int] = {}
    for node in walk(tree):
        if isinstance(node, Name) and node.name not in ids:
            # A resolved name is one of the trace's names, so it has an id.
            ids[node.name] = cast(int, trace.signal_id(resolve(trace, node, text, scope)))
    return _build(tree, lambda node: ids[node.name])
