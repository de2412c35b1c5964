"""The condition language's lexer: the text as tokens (names, literals, functions, operators)."""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass

from tarn.expr.syntax import FUNCTIONS, MAX_U64, ExprError

# Longest first, so that "&&" is not read as two "&".
_PUNCT = (
    "&&",
    "||",
    "==",
    "!=",
    "<=",
    ">=",
    "<",
    ">",
    "!",
    "&",
    "|",
    "^",
    "+",
    "-",
    "(",
    ")",
    "[",
    "]",
    ":",
    ",",
)
_BASES = {"h": 16, "d": 10, "b": 2, "o": 8}
_NUMBER = re.compile(
    r"(?P<based>(?P<size>[0-9][0-9_]*)?'[sS]?(?P<base>[hHdDbBoO])(?P<bdigits>[0-9a-fA-F_xXzZ?]*))"
    r"|(?P<prefixed>0[xXbBoO][0-9a-fA-F_]*)"
    r"|(?P<real>(?:[0-9][0-9_]*)?\.[0-9][0-9_]*(?:[eE][+-]?[0-9]+)?|[0-9][0-9_]*[eE][+-]?[0-9]+)"
    r"|(?P<dec>[0-9][0-9_]*)"
)


@dataclass
class Token:
    kind: str  # "name", "int", "real", "str", "func", "op", "end"
    value: str | int | float | None
    pos: int
    end: int


def _ident_start(c: str) -> bool:
    return c.isascii() and (c.isalpha() or c == "_")


def _ident_char(c: str) -> bool:
    return c.isascii() and (c.isalnum() or c in "_$")


class Lexer:
    def __init__(self, text: str) -> None:
        self.text = text
        self.i = 0

    def error(self, message: str, pos: int, length: int = 1) -> ExprError:
        return ExprError(message, self.text, pos, length)

    def tokens(self) -> Iterator[Token]:
        t = self.text
        n = len(t)
        while True:
            while self.i < n and t[self.i].isspace():
                self.i += 1
            if self.i >= n:
                yield Token("end", None, n, n)
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
                        raise self.error(
                            f"unknown function {word} (known: {known})", start, j - start
                        )
                    self.i = j
                    yield Token("func", word, start, j)
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
                        yield Token("op", p, start, self.i)
                        break
                else:
                    yield self.bad_char(start)

    def bad_char(self, pos: int) -> Token:
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

    def bare_name(self) -> Token:
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
        return Token("name", t[start:j], start, j)

    def quoted_name(self) -> Token:
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
        return Token("name", name, start, j)

    def string(self) -> Token:
        t, n, start = self.text, len(self.text), self.i
        j = start + 1
        out = []
        escapes = {'"': '"', "\\": "\\", "n": "\n", "t": "\t"}
        while True:
            if j >= n:
                raise self.error("unterminated string (missing closing '\"')", start)
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
        return Token("str", "".join(out), start, j)

    def number(self) -> Token:
        t, start = self.text, self.i
        m = _NUMBER.match(t, start)
        j = m.end() if m else start
        # A number runs on over letters, digits and the like: "12ab" is one bad word, not two.
        k = j
        while k < len(t) and (
            t[k].isalnum()
            or t[k] in "_'?"
            or (t[k] == "." and k + 1 < len(t) and t[k + 1].isdigit())
        ):
            k += 1
        word = t[start:k]
        self.i = k
        if not m or k != j:
            if any(c in "xXzZ?" for c in word) and "'" in word:
                self._digits(word.rsplit("'", 1)[1][1:], 2, word, start)
            raise self.error(f"invalid number {word!r}", start, len(word))
        g = m.lastgroup
        if g == "real":
            return Token("real", float(word.replace("_", "")), start, k)
        if g == "based":
            value = self._based(m, word, start)
        elif g == "prefixed":
            base = {"x": 16, "b": 2, "o": 8}[word[1].lower()]
            value = self._digits(word[2:], base, word, start)
        else:
            value = self._digits(word, 10, word, start)
        return Token("int", self._u64(value, word, start), start, k)

    def _based(self, m: re.Match[str], word: str, pos: int) -> int:
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
