"""A small condition language compiled to :class:`tarn.PyExpr` trees.

``tarn.compile(trace, "top.valid && top.ready && top.data[7:4] == 3")`` parses the text, looks
the signal names up in ``trace`` and builds the same tree one would build by hand with
``PyExpr.signal``, ``eq_``, ``and_`` and friends. Evaluation is the module's: values are unsigned
64-bit numbers, x/z and missing values make numeric results unknown, and unknown is false.
Comparisons and ``+``/``-`` with a real-typed side work on 64-bit floats instead (see Reals).

Operators, from the loosest binding to the tightest (all binary operators associate left)::

    ||                  logical or                PyExpr.or_
    &&                  logical and               PyExpr.and_
    |                   bitwise or                PyExpr.bit_or
    ^                   bitwise xor               PyExpr.bit_xor
    &                   bitwise and               PyExpr.bit_and
    ==  !=              equality                  PyExpr.eq_, neq        (real_eq, real_neq)
    <  <=  >  >=        unsigned ordering         PyExpr.lt_, lte, ...   (real_lt, real_lte, ...)
    +  -                wrapping add, subtract    PyExpr.add, sub        (real_add, real_sub)
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
  negative, an integer wraps to its two's complement in 64 bits (beside a real-typed side it
  is the negative number: ``r > -5`` is ``r > -5.0``).
* reals: ``2.5``, ``1e-3``; strings: ``"text"`` with ``\\"``, ``\\\\``, ``\\n`` and ``\\t``.
* functions: ``$past(e)``, ``$past(e, n)`` (e, n samples earlier), ``$future(e)``,
  ``$future(e, n)`` (n samples later), ``$isx(e)``, ``$isz(e)``, ``$signed(e)`` (the module's
  ``signed()``: the value as an unsigned 64-bit integer, without sign extension),
  ``$changed(e)`` (``e != $past(e)``, never at sample 0), ``$stable(e)`` (``!$changed(e)``),
  ``$rose(e)`` and ``$fell(e)`` (bit 0 of ``e`` became 1 or 0, from any other value).
  ``n`` is an integer literal.

Reals: an expression is real-typed when it is a real literal, a signal that holds real values
(``PyTrace.value_kinds``), ``$past``/``$future`` of a real-typed expression, or ``+``/``-``
with a real-typed side. A comparison or ``+``/``-`` with a real-typed side reads both sides as
64-bit floats: a real as its number, an integer, wide or logic value without x/z as its unsigned
value, a text as a float if it is one; an integer literal beside it is read as a float. So
``r < 0`` finds negative values and ``r == -120.0`` only -120.0. Where a side has no float
reading (x/z bits, no value) the comparison is unknown and ``!=`` holds; NaN compares as IEEE
754 says (only ``!=`` holds). ``+``/``-`` give reals. ``$changed(e)`` of a real-typed ``e``
compares numbers where both samples have one (1.2 to 1.7 is a change, a NaN that stays NaN is
not) and otherwise behaves as for integers. The other operators and functions (``&``, ``|``,
``^``, slices, ``$signed``, ``$rose``, ``$fell``) read a real as its integer part (0 when
negative).

Values wider than 64 bits: ``==``, ``!=`` and the orderings compare two values without x/z at
full width when either needs more than 64 bits (so ``$changed(w)`` sees a change above bit 63);
arithmetic, bitwise operators and slices use the lowest 64 bits.

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


# The float nodes that stand for an operator when either side is real-typed.
_REAL_METHODS = {
    "==": "real_eq",
    "!=": "real_neq",
    "<": "real_lt",
    "<=": "real_lte",
    ">": "real_gt",
    ">=": "real_gte",
    "+": "real_add",
    "-": "real_sub",
}


class _Builder:
    """Turns a syntax tree into PyExpr calls, knowing which subexpressions are real-typed: a
    real literal, a signal holding reals, ``$past``/``$future`` of a real-typed expression and
    ``+``/``-`` with a real-typed side."""

    def __init__(self, ids: Callable[[Name], int], is_real: Callable[[Name], bool]) -> None:
        self.ids = ids
        self.is_real = is_real

    def build(self, node: Node) -> tuple[PyExpr, bool]:
        """The expression and whether it is real-typed."""
        if isinstance(node, Name):
            return PyExpr.signal(self.ids(node)), self.is_real(node)
        if isinstance(node, Int):
            return PyExpr.const_int(node.value), False
        if isinstance(node, Real):
            return PyExpr.const_float(node.value), True
        if isinstance(node, Str):
            return PyExpr.const_str(node.value), False
        if isinstance(node, Unary):
            return self.build(node.operand)[0].not_(), False
        if isinstance(node, Binary):
            return self.binary(node)
        if isinstance(node, Slice):
            return self.build(node.operand)[0].slice(node.high, node.low), False
        if isinstance(node, Call):
            e, real = self.build(node.args[0])
            return _build_call(node, e, real)
        raise TypeError(f"not an expression node: {node!r}")

    def binary(self, node: Binary) -> tuple[PyExpr, bool]:
        left, left_real = self.build(node.left)
        right, right_real = self.build(node.right)
        real_method = _REAL_METHODS.get(node.op)
        if real_method is None or not (left_real or right_real):
            built: PyExpr = getattr(left, BINARY_OPERATORS[node.op][1])(right)
            return built, False
        # Integer literals beside a real side are read as floats (-5 as -5.0, not 2^64 - 5).
        if isinstance(node.left, Int):
            left = PyExpr.const_float(node.left.as_float())
        if isinstance(node.right, Int):
            right = PyExpr.const_float(node.right.as_float())
        built = getattr(left, real_method)(right)
        return built, node.op in ("+", "-")


def _after_first() -> PyExpr:
    # True at every sample but the first: the previous sample of a constant exists.
    return PyExpr.always_true().rel_eval(-1)


def _changed(e: PyExpr, real: bool) -> PyExpr:
    """``e`` differs from its value one sample earlier (at every sample but the first)."""
    past = e.rel_eval(-1)
    changed = e.neq(past)
    if real:
        # As numbers, where both samples have one: 1.2 -> 1.7 is a change although both read as
        # 1 for neq; a NaN that stays NaN is not. Where neither has a number, neq decides, so a
        # stretch without any value is no change.
        numbers = e.real_neq(past).and_(e.real_eq(e).or_(past.real_eq(past)))
        changed = changed.or_(numbers)
    return changed.and_(_after_first())


def _build_call(node: Call, e: PyExpr, real: bool) -> tuple[PyExpr, bool]:
    f = node.function
    n = 1 if node.count is None else node.count
    if f == "$past":
        return e.rel_eval(-n), real
    if f == "$future":
        return e.rel_eval(n), real
    if f == "$isx":
        return e.is_x(), False
    if f == "$isz":
        return e.is_z(), False
    if f == "$signed":
        return e.signed(), False
    if f == "$changed":
        return _changed(e, real), False
    if f == "$stable":
        return _changed(e, real).not_(), False
    bit, past_bit = e.slice(0, 0), e.rel_eval(-1).slice(0, 0)
    level = PyExpr.const_int(1 if f == "$rose" else 0)
    return bit.eq_(level).and_(past_bit.neq(level)).and_(_after_first()), False


def compile(trace: PyTrace, text: str, scope: str | None = None) -> PyExpr:  # noqa: A001
    """Compile the condition ``text`` over the signals of ``trace`` into a :class:`PyExpr`.

    ``scope`` names the scope from which names that are not full names are resolved. The result
    can be passed to ``trace.find``, ``parallel_find``, ``parallel_count``, ``find_with_values``,
    ``eval_expr`` and ``eval_expr_bool``. Raises :class:`ExprError` for a syntax error or a name
    that is not found (the message gives the column and close names).
    """
    tree = parse(text)
    full: dict[str, str] = {}
    for node in walk(tree):
        if isinstance(node, Name) and node.name not in full:
            full[node.name] = resolve(trace, node, text, scope)
    # A resolved name is one of the trace's names, so it has an id.
    ids = {name: cast(int, trace.signal_id(f)) for name, f in full.items()}
    reals = {name for name, f in full.items() if "real" in trace.value_kinds(f)}
    builder = _Builder(lambda node: ids[node.name], lambda node: node.name in reals)
    return builder.build(tree)[0]
