"""The condition language's syntax: its operators and functions, the syntax tree the parser
builds, and the error every stage raises."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

MAX_U64 = (1 << 64) - 1
# The deepest tree the parser returns, and the deepest nesting of brackets, calls and "!".
MAX_DEPTH = 256
MAX_NESTING = 100

# Binary operators: text -> (precedence, PyExpr method). Higher binds tighter.
BINARY_OPERATORS = {
    "||": (1, "or_"),
    "&&": (2, "and_"),
    "|": (3, "bit_or"),
    "^": (4, "bit_xor"),
    "&": (5, "bit_and"),
    "==": (6, "eq_"),
    "!=": (6, "neq"),
    "<": (7, "lt_"),
    "<=": (7, "lte"),
    ">": (7, "gt_"),
    ">=": (7, "gte"),
    "+": (8, "add"),
    "-": (8, "sub"),
}

# Function name -> (minimum, maximum) number of arguments; a second argument is a sample count.
FUNCTIONS = {
    "$past": (1, 2),
    "$future": (1, 2),
    "$isx": (1, 1),
    "$isz": (1, 1),
    "$signed": (1, 1),
    "$changed": (1, 1),
    "$stable": (1, 1),
    "$rose": (1, 1),
    "$fell": (1, 1),
}


class ExprError(ValueError):
    """A problem in an expression's text.

    ``str(err)`` is one line: the message and the column. ``err.position`` is the 0-based offset
    of the problem in ``err.text``, ``err.column`` the same counted from 1, ``err.length`` the
    number of characters concerned, ``err.suggestions`` close signal names (possibly empty).
    :meth:`pointer` gives the text with a caret line under the problem.
    """

    def __init__(
        self,
        message: str,
        text: str,
        position: int,
        length: int = 1,
        suggestions: Sequence[str] = (),
    ) -> None:
        self.message = message
        self.text = text
        self.position = position
        self.column = position + 1
        self.length = max(1, length)
        self.suggestions = list(suggestions)
        line = f"{message} at column {self.column}"
        if self.suggestions:
            line += " (did you mean " + ", ".join(self.suggestions) + "?)"
        super().__init__(line)

    def __reduce__(self) -> tuple[type[ExprError], tuple[str, str, int, int, list[str]]]:
        # Keep the attributes when the error crosses a process boundary (multiprocessing).
        args = (self.message, self.text, self.position, self.length, self.suggestions)
        return (type(self), args)

    def pointer(self) -> str:
        """The expression text and, below it, carets under the offending characters."""
        return self.text + "\n" + " " * self.position + "^" * self.length


# Shown, and pickled, under the package that exports it.
ExprError.__module__ = "tarn.expr"


@dataclass(frozen=True)
class Node:
    """Base of the syntax tree. ``pos`` is the 0-based offset where the node starts."""

    pos: int = field(default=0, compare=False, kw_only=True)


@dataclass(frozen=True)
class Name(Node):
    name: str

    def __str__(self) -> str:
        return "`" + self.name.replace("`", "``") + "`"


@dataclass(frozen=True)
class Int(Node):
    """An integer literal: ``value`` is its unsigned 64-bit value. ``negative`` marks a literal
    written with a minus sign (``-5``), whose value is the two's complement: beside a real it
    reads as the negative number."""

    value: int
    negative: bool = False

    def __str__(self) -> str:
        return f"-{self.magnitude()}" if self.negative else str(self.value)

    def magnitude(self) -> int:
        """The number written after the minus sign (the value itself without one)."""
        return (-self.value) & MAX_U64 if self.negative else self.value

    def as_float(self) -> float:
        """The literal as a float: negative when written with a minus sign."""
        return -float(self.magnitude()) if self.negative else float(self.value)


@dataclass(frozen=True)
class Real(Node):
    value: float

    def __str__(self) -> str:
        return repr(self.value)


@dataclass(frozen=True)
class Str(Node):
    value: str

    def __str__(self) -> str:
        s = self.value.replace("\\", "\\\\").replace('"', '\\"')
        return '"' + s.replace("\n", "\\n").replace("\t", "\\t") + '"'


@dataclass(frozen=True)
class Unary(Node):
    op: str
    operand: Node

    def __str__(self) -> str:
        return f"({self.op}{self.operand})"


@dataclass(frozen=True)
class Binary(Node):
    op: str
    left: Node
    right: Node

    def __str__(self) -> str:
        return f"({self.left} {self.op} {self.right})"


@dataclass(frozen=True)
class Slice(Node):
    operand: Node
    high: int
    low: int

    def __str__(self) -> str:
        return f"{self.operand}[{self.high}:{self.low}]"


@dataclass(frozen=True)
class Call(Node):
    function: str
    args: tuple[Node, ...]
    count: int | None = None

    def __str__(self) -> str:
        inner = ", ".join(str(a) for a in self.args)
        if self.count is not None:
            inner += f", {self.count}"
        return f"{self.function}({inner})"


def children(n: Node) -> tuple[Node, ...]:
    if isinstance(n, (Unary, Slice)):
        return (n.operand,)
    if isinstance(n, Binary):
        return (n.left, n.right)
    if isinstance(n, Call):
        return n.args
    return ()


def walk(node: Node) -> Iterator[Node]:
    """Every node of the tree, parents before children, left to right."""
    stack = [node]
    while stack:
        n = stack.pop()
        yield n
        stack.extend(reversed(children(n)))
