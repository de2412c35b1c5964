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

import difflib
import re
from dataclasses import dataclass, field
from typing import Callable, Iterator, List, Optional, Sequence, Tuple

from tarn._core import PyExpr, PyTrace

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

MAX_U64 = (1 << 64) - 1
MAX_DEPTH = 256
MAX_NESTING = 100


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

    def __reduce__(self):  # type: ignore[no-untyped-def]
        # Keep the attributes when the error crosses a process boundary (multiprocessing).
        args = (self.message, self.text, self.position, self.length, self.suggestions)
        return (type(self), args)

    def pointer(self) -> str:
        """The expression text and, below it, carets under the offending characters."""
        return self.text + "\n" + " " * self.position + "^" * self.length


# ---------------------------------------------------------------- syntax tree


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
    value: int

    def __str__(self) -> str:
        return str(self.value)


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
    args: Tuple[Node, ...]
    count: Optional[int] = None

    def __str__(self) -> str:
        inner = ", ".join(str(a) for a in self.args)
        if self.count is not None:
            inner += f", {self.count}"
        return f"{self.function}({inner})"


# ---------------------------------------------------------------- tokens

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

# Longest first, so that "&&" is not read as two "&".
_PUNCT = ("&&", "||", "==", "!=", "<=", ">=", "<", ">", "!", "&", "|", "^", "+", "-", "(", ")", "[",
          "]", ":", ",")
_BASES = {"h": 16, "d": 10, "b": 2, "o": 8}
_NUMBER = re.compile(
    r"(?P<based>(?P<size>[0-9][0-9_]*)?'[sS]?(?P<base>[hHdDbBoO])(?P<bdigits>[0-9a-fA-F_xXzZ?]*))"
    r"|(?P<prefixed>0[xXbBoO][0-9a-fA-F_]*)"
    r"|(?P<real>(?:[0-9][0-9_]*)?\.[0-9][0-9_]*(?:[eE][+-]?[0-9]+)?|[0-9][0-9_]*[eE][+-]?[0-9]+)"
    r"|(?P<dec>[0-9][0-9_]*)"
)


@dataclass
class _Tok:
    kind: str  # "name", "int", "real", "str", "func", "op", "end"
    value: object
    pos: int
    end: int


def _ident_start(c: str) -> bool:
    return c.isascii() and (c.isalpha() or c == "_")


def _ident_char(c: str) -> bool:
    return c.isascii() and (c.isalnum() or c in "_$")


class _Lexer:
    def __init__(self, text: str) -> None:
        self.text = text
        self.i = 0

    def error(self, message: str, pos: int, length: int = 1) -> ExprError:
        return ExprError(message, self.text, pos, length)

    def tokens(self) -> Iterator[_Tok]:
        t = self.text
        n = len(t)
        while True:
            while self.i < n and t[self.i].isspace():
                self.i += 1
            if self.i >= n:
                yield _Tok("end", None, n, n)
                return
            start = self.i
            c = t[start]
            if c.isdigit() or c == "'" or (c == "." and start + 1 < n and t[start + 1].isdigit()):
                yield self.number()
            elif c == '"':
                yield self.string()
            elif c == "`":
                yield self.quoted_name()
            elif c == "$" and start + 1 < n and _ident_start(t[start + 1]):
                j = start + 1
                while j < n and _ident_char(t[j]):
                    j += 1
                k = j
                while k < n and t[k].isspace():
                    k += 1
                word = t[start:j]
                if k < n and t[k] == "(" and (j >= n or t[j] != "."):
                    if word not in FUNCTIONS:
                        known = ", ".join(FUNCTIONS)
                        raise self.error(f"unknown function {word} (known: {known})", start, j - start)
                    self.i = j
                    yield _Tok("func", word, start, j)
                elif word in FUNCTIONS:
                    raise self.error(f"{word} needs its arguments in parentheses", start, j - start)
                else:
                    yield self.bare_name()
            elif _ident_start(c) or c == "\\" or c == "$":
                yield self.bare_name()
            else:
                for p in _PUNCT:
                    if t.startswith(p, start):
                        self.i = start + len(p)
                        yield _Tok("op", p, start, self.i)
                        break
                else:
                    yield self.bad_char(start)

    def bad_char(self, pos: int) -> _Tok:
        c = self.text[pos]
        hints = {
            "=": "'=' is not an operator; compare with '=='",
            "~": "'~' (bitwise not) is not supported; use 'e ^ MASK'",
            "*": "'*' is not supported; only + and - do arithmetic",
            "/": "'/' is not supported; only + and - do arithmetic",
            "%": "'%' is not supported; only + and - do arithmetic",
            "?": "'?:' is not supported",
        }
        raise self.error(hints.get(c, f"unexpected character {c!r}"), pos)

    def bare_name(self) -> _Tok:
        t, n, start = self.text, len(self.text), self.i
        j = start
        while True:
            if j < n and t[j] == "\\":
                # Verilog escaped identifier: everything up to white space belongs to it.
                k = j + 1
                while k < n and not t[k].isspace():
                    k += 1
                if k == j + 1:
                    raise self.error("empty escaped identifier", j)
                j = k
                break
            if j < n and (_ident_start(t[j]) or t[j] == "$"):
                j += 1
                while j < n and _ident_char(t[j]):
                    j += 1
            else:
                raise self.error("expected a name component after '.'", j)
            if j + 1 < n and t[j] == "." and (_ident_start(t[j + 1]) or t[j + 1] in "\\$"):
                j += 1
                continue
            if j < n and t[j] == ".":
                raise self.error("expected a name component after '.'", j + 1)
            break
        self.i = j
        return _Tok("name", t[start:j], start, j)

    def quoted_name(self) -> _Tok:
        t, n, start = self.text, len(self.text), self.i
        j = start + 1
        out = []
        while True:
            k = t.find("`", j)
            if k < 0:
                raise self.error("unterminated quoted name (missing closing '`')", start)
            out.append(t[j:k])
            if k + 1 < n and t[k + 1] == "`":
                out.append("`")
                j = k + 2
                continue
            j = k + 1
            break
        name = "".join(out)
        if not name:
            raise self.error("empty quoted name", start, j - start)
        self.i = j
        return _Tok("name", name, start, j)

    def string(self) -> _Tok:
        t, n, start = self.text, len(self.text), self.i
        j = start + 1
        out = []
        escapes = {'"': '"', "\\": "\\", "n": "\n", "t": "\t"}
        while True:
            if j >= n:
                raise self.error('unterminated string (missing closing \'"\')', start)
            c = t[j]
            if c == '"':
                j += 1
                break
            if c == "\\":
                if j + 1 >= n or t[j + 1] not in escapes:
                    raise self.error('unknown escape in string (use \\", \\\\, \\n or \\t)', j, 2)
                out.append(escapes[t[j + 1]])
                j += 2
                continue
            out.append(c)
            j += 1
        self.i = j
        return _Tok("str", "".join(out), start, j)

    def number(self) -> _Tok:
        t, start = self.text, self.i
        m = _NUMBER.match(t, start)
        j = m.end() if m else start
        # A number runs on over letters, digits and the like: "12ab" is one bad word, not two.
        k = j
        while k < len(t) and (t[k].isalnum() or t[k] in "_'?" or (t[k] == "." and k + 1 < len(t) and t[k + 1].isdigit())):
            k += 1
        word = t[start:k]
        self.i = k
        if not m or k != j:
            if any(c in "xXzZ?" for c in word) and "'" in word:
                self._digits(word.rsplit("'", 1)[1][1:], 2, word, start)
            raise self.error(f"invalid number {word!r}", start, len(word))
        g = m.lastgroup
        if g == "real":
            return _Tok("real", float(word.replace("_", "")), start, k)
        if g == "based":
            value = self._based(m, word, start)
        elif g == "prefixed":
            base = {"x": 16, "b": 2, "o": 8}[word[1].lower()]
            value = self._digits(word[2:], base, word, start)
        else:
            value = self._digits(word, 10, word, start)
        return _Tok("int", self._u64(value, word, start), start, k)

    def _based(self, m: "re.Match[str]", word: str, pos: int) -> int:
        base = _BASES[m.group("base").lower()]
        value = self._digits(m.group("bdigits"), base, word, pos)
        size_text = m.group("size")
        if size_text:
            size = int(size_text.replace("_", ""))
            if size == 0:
                raise self.error(f"literal {word} has size 0", pos, len(word))
            if value >> size:
                raise self.error(f"literal {word} does not fit in {size} bits", pos, len(word))
        return value

    def _digits(self, digits: str, base: int, word: str, pos: int) -> int:
        if any(c in "xz?" for c in digits):
            raise self.error(
                f"x and z digits are not supported in literals ({word}); test with $isx/$isz",
                pos,
                len(word),
            )
        clean = digits.replace("_", "")
        if not clean or digits.startswith("_") or "__" in digits:
            raise self.error(f"invalid number {word!r}", pos, len(word))
        try:
            return int(clean, base)
        except ValueError:
            raise self.error(f"invalid number {word!r}", pos, len(word)) from None

    def _u64(self, value: int, word: str, pos: int) -> int:
        if value > MAX_U64:
            raise self.error(f"literal {word} does not fit in 64 bits", pos, len(word))
        return value


# ---------------------------------------------------------------- parser


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.toks = list(_Lexer(text).tokens())
        self.k = 0
        self.depth = 0

    @property
    def tok(self) -> _Tok:
        return self.toks[self.k]

    def error(self, message: str, tok: Optional[_Tok] = None) -> ExprError:
        tok = tok or self.tok
        return ExprError(message, self.text, tok.pos, max(1, tok.end - tok.pos))

    def describe(self, tok: _Tok) -> str:
        if tok.kind == "end":
            return "end of expression"
        return repr(self.text[tok.pos : tok.end])

    def expect(self, op: str) -> _Tok:
        tok = self.tok
        if tok.kind != "op" or tok.value != op:
            raise self.error(f"expected '{op}', found {self.describe(tok)}")
        self.k += 1
        return tok

    def parse(self) -> Node:
        if self.tok.kind == "end":
            raise self.error("empty expression")
        node = self.binary(1)
        if self.tok.kind != "end":
            raise self.error(f"unexpected {self.describe(self.tok)} after a complete expression")
        return node

    def enter(self) -> None:
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise self.error(f"expression nested too deeply (more than {MAX_NESTING} levels)")

    def binary(self, min_prec: int) -> Node:
        # Precedence climbing: one loop per precedence level actually used.
        left = self.unary()
        while True:
            tok = self.tok
            if tok.kind != "op" or tok.value not in BINARY_OPERATORS:
                return left
            prec = BINARY_OPERATORS[str(tok.value)][0]
            if prec < min_prec:
                return left
            self.k += 1
            right = self.binary(prec + 1)
            left = Binary(str(tok.value), left, right, pos=left.pos)

    def unary(self) -> Node:
        tok = self.tok
        if tok.kind == "op" and tok.value == "!":
            self.k += 1
            self.enter()
            operand = self.unary()
            self.depth -= 1
            return Unary("!", operand, pos=tok.pos)
        if tok.kind == "op" and tok.value == "-":
            nxt = self.toks[self.k + 1]
            if nxt.kind == "int":
                self.k += 2
                return self.postfix(Int((-int(nxt.value)) & MAX_U64, pos=tok.pos))  # type: ignore[call-overload]
            if nxt.kind == "real":
                self.k += 2
                return self.postfix(Real(-float(nxt.value), pos=tok.pos))  # type: ignore[arg-type]
            raise self.error("unary '-' applies only to number literals; write '0 - e'")
        return self.postfix(self.primary())

    def postfix(self, node: Node) -> Node:
        while self.tok.kind == "op" and self.tok.value == "[":
            open_tok = self.tok
            self.k += 1
            high = self.index_literal("bit index")
            low = high
            if self.tok.kind == "op" and self.tok.value == ":":
                self.k += 1
                low = self.index_literal("low bit index")
            self.expect("]")
            if high < low:
                raise ExprError(
                    f"slice [{high}:{low}] has its high bit below its low bit; write [{low}:{high}]",
                    self.text,
                    open_tok.pos,
                    self.toks[self.k - 1].end - open_tok.pos,
                )
            node = Slice(node, high, low, pos=node.pos)
        return node

    def index_literal(self, what: str) -> int:
        tok = self.tok
        if tok.kind != "int":
            raise self.error(f"expected an integer {what}, found {self.describe(tok)}")
        self.k += 1
        return int(tok.value)  # type: ignore[call-overload]

    def primary(self) -> Node:
        tok = self.tok
        if tok.kind == "name":
            self.k += 1
            return Name(str(tok.value), pos=tok.pos)
        if tok.kind == "int":
            self.k += 1
            return Int(int(tok.value), pos=tok.pos)  # type: ignore[call-overload]
        if tok.kind == "real":
            self.k += 1
            return Real(float(tok.value), pos=tok.pos)  # type: ignore[arg-type]
        if tok.kind == "str":
            self.k += 1
            return Str(str(tok.value), pos=tok.pos)
        if tok.kind == "func":
            return self.call()
        if tok.kind == "op" and tok.value == "(":
            self.k += 1
            self.enter()
            node = self.binary(1)
            self.depth -= 1
            if self.tok.kind == "end":
                raise self.error("unclosed '('", tok)
            self.expect(")")
            return node
        raise self.error(f"expected a signal name, a literal or '(', found {self.describe(tok)}")

    def call(self) -> Node:
        ftok = self.tok
        name = str(ftok.value)
        self.k += 1
        self.expect("(")
        self.enter()
        arg = self.binary(1)
        self.depth -= 1
        lo, hi = FUNCTIONS[name]
        count = None
        if self.tok.kind == "op" and self.tok.value == ",":
            if hi < 2:
                raise self.error(f"{name} takes one argument")
            self.k += 1
            ctok = self.tok
            if ctok.kind != "int":
                raise self.error(f"{name}: the sample count must be an integer literal")
            if int(ctok.value) > (1 << 63) - 1:  # type: ignore[call-overload]
                raise self.error(f"{name}: the sample count is too large")
            count = int(ctok.value)  # type: ignore[call-overload]
            self.k += 1
        self.expect(")")
        return Call(name, (arg,), count, pos=ftok.pos)


def parse(text: str) -> Node:
    """Parse ``text`` into a syntax tree (names are not looked up). Raises :class:`ExprError`.

    ``str()`` of the tree is a fully parenthesised form of the expression, which parses back to
    the same tree.
    """
    if not isinstance(text, str):
        raise TypeError(f"expression must be a str, not {type(text).__name__}")
    tree = _Parser(text).parse()
    # Building, copying and evaluating trees recurses once per level: keep the depth modest.
    depth = {id(tree): 1}
    for node in _walk(tree):
        d = depth[id(node)]
        if d > MAX_DEPTH:
            raise ExprError(
                f"expression nested too deeply (more than {MAX_DEPTH} levels)", text, node.pos
            )
        for child in _children(node):
            depth[id(child)] = d + 1
    return tree


# ---------------------------------------------------------------- names and building


def _children(n: Node) -> Tuple[Node, ...]:
    if isinstance(n, (Unary, Slice)):
        return (n.operand,)
    if isinstance(n, Binary):
        return (n.left, n.right)
    if isinstance(n, Call):
        return n.args
    return ()


def _walk(node: Node) -> Iterator[Node]:
    """Every node of the tree, parents before children, left to right."""
    stack = [node]
    while stack:
        n = stack.pop()
        yield n
        stack.extend(reversed(_children(n)))


def suggest(trace: PyTrace, name: str, limit: int = 3) -> List[str]:
    """Up to ``limit`` signal names of ``trace`` that look like ``name`` (best first).

    Names containing the last component of ``name`` come first; failing those, names that are
    spelled alike.
    """
    last = name.rsplit(".", 1)[-1]
    contain = trace.find_signals_containing(last) if last else []
    if contain:
        ratio = {n: difflib.SequenceMatcher(None, name, n).ratio() for n in contain[:10000]}
        return sorted(ratio, key=lambda n: -ratio[n])[:limit]
    names = trace.signal_names()
    if len(names) > 20000:  # fuzzy matching costs too much on very large name lists
        return []
    close = difflib.get_close_matches(name, names, n=limit, cutoff=0.85)
    tails: dict = {}
    for full in names:
        tails.setdefault(full.rsplit(".", 1)[-1], full)
    for t in difflib.get_close_matches(last, list(tails), n=limit, cutoff=0.7):
        if tails[t] not in close:
            close.append(tails[t])
    return close[:limit]


def lookup(trace: PyTrace, name: str, scope: Optional[str] = None) -> Tuple[Optional[str], List[str]]:
    """Find the full signal name meant by ``name``, the way expressions resolve names.

    Returns ``(full_name, [])`` when found, ``(None, candidates)`` when ``name`` is the last part
    of several names (an ambiguous short name), and ``(None, [])`` when nothing fits.
    """
    if trace.signal_id(name) is not None:
        return name, []
    if scope is not None:
        return trace.resolve(scope, name), []
    tails = [n for n in trace.signal_names() if n.endswith("." + name)]
    if len(tails) == 1:
        return tails[0], []
    return None, tails


def _resolve(trace: PyTrace, node: Name, text: str, scope: Optional[str]) -> str:
    name = node.name
    full, ambiguous = lookup(trace, name, scope)
    if full is not None:
        return full
    if ambiguous:
        shown = ", ".join(ambiguous[:5]) + (", ..." if len(ambiguous) > 5 else "")
        raise ExprError(
            f"ambiguous signal name {name!r} matches {shown}; write the full name or pass a scope",
            text,
            node.pos,
            len(name),
        )
    where = f" in scope {scope!r}" if scope else ""
    message = f"unknown signal {name!r}{where}"
    # "top.mem[3]" written bare parses as a slice of "top.mem": point at the quoted form.
    end = node.pos + len(name)
    if text.startswith("[", end):
        close = text.find("]", end)
        if close > 0 and trace.signal_id(text[node.pos : close + 1]) is not None:
            quoted = "`" + text[node.pos : close + 1] + "`"
            message += f"; a name containing brackets is written in backquotes: {quoted}"
            raise ExprError(message, text, node.pos, len(name))
    raise ExprError(message, text, node.pos, len(name), suggest(trace, name))


def signal_names(trace: PyTrace, text: str, scope: Optional[str] = None) -> List[str]:
    """The full names of the signals ``text`` refers to, in order of first mention."""
    seen: List[str] = []
    for node in _walk(parse(text)):
        if isinstance(node, Name):
            full = _resolve(trace, node, text, scope)
            if full not in seen:
                seen.append(full)
    return seen


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
        method = BINARY_OPERATORS[node.op][1]
        return getattr(_build(node.left, ids), method)(_build(node.right, ids))
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


def compile(trace: PyTrace, text: str, scope: Optional[str] = None) -> PyExpr:  # noqa: A001
    """Compile the condition ``text`` over the signals of ``trace`` into a :class:`PyExpr`.

    ``scope`` names the scope from which names that are not full names are resolved. The result
    can be passed to ``trace.find``, ``parallel_find``, ``parallel_count``, ``find_with_values``,
    ``eval_expr`` and ``eval_expr_bool``. Raises :class:`ExprError` for a syntax error or a name
    that is not found (the message gives the column and close names).
    """
    tree = parse(text)
    ids: dict = {}
    for node in _walk(tree):
        if isinstance(node, Name) and node.name not in ids:
            # A resolved name always has an id.
            ids[node.name] = trace.signal_id(_resolve(trace, node, text, scope))
    return _build(tree, lambda node: int(ids[node.name]))
