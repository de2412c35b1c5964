"""The condition language's parser: precedence climbing over the lexer's tokens."""

from __future__ import annotations

from collections.abc import Callable
from typing import cast

from tarn.expr.lexer import Lexer, Token
from tarn.expr.syntax import (
    BINARY_OPERATORS,
    FUNCTIONS,
    MAX_DEPTH,
    MAX_NESTING,
    MAX_U64,
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
    children,
    walk,
)

# The node each kind of operand token becomes (the lexer gives the value its type).
_LEAVES: dict[str, Callable[..., Node]] = {"name": Name, "int": Int, "real": Real, "str": Str}


class Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.toks = list(Lexer(text).tokens())
        self.k = 0
        self.depth = 0

    @property
    def tok(self) -> Token:
        return self.toks[self.k]

    def error(self, message: str, tok: Token | None = None) -> ExprError:
        tok = tok or self.tok
        return ExprError(message, self.text, tok.pos, max(1, tok.end - tok.pos))

    def at(self, op: str) -> bool:
        """Whether the current token is the operator or punctuation ``op``."""
        return self.tok.kind == "op" and self.tok.value == op

    def describe(self, tok: Token) -> str:
        if tok.kind == "end":
            return "end of expression"
        return repr(self.text[tok.pos : tok.end])

    def expect(self, op: str) -> Token:
        tok = self.tok
        if not self.at(op):
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
            op = tok.value
            prec = BINARY_OPERATORS[op][0]
            if prec < min_prec:
                return left
            self.k += 1
            right = self.binary(prec + 1)
            left = Binary(op, left, right, pos=left.pos)

    def unary(self) -> Node:
        tok = self.tok
        if self.at("!"):
            self.k += 1
            self.enter()
            operand = self.unary()
            self.depth -= 1
            return Unary("!", operand, pos=tok.pos)
        if self.at("-"):
            nxt = self.toks[self.k + 1]
            if nxt.kind == "int":
                self.k += 2
                return self.postfix(Int(-cast(int, nxt.value) & MAX_U64, True, pos=tok.pos))
            if nxt.kind == "real":
                self.k += 2
                return self.postfix(Real(-cast(float, nxt.value), pos=tok.pos))
            raise self.error("unary '-' applies only to number literals; write '0 - e'")
        return self.postfix(self.primary())

    def postfix(self, node: Node) -> Node:
        while self.at("["):
            open_tok = self.tok
            self.k += 1
            high = self.index_literal("bit index")
            low = high
            if self.at(":"):
                self.k += 1
                low = self.index_literal("low bit index")
            self.expect("]")
            if high < low:
                raise ExprError(
                    f"slice [{high}:{low}] has its high bit below its low bit; "
                    f"write [{low}:{high}]",
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
        return cast(int, tok.value)

    def primary(self) -> Node:
        tok = self.tok
        leaf = _LEAVES.get(tok.kind)
        if leaf is not None:
            self.k += 1
            return leaf(tok.value, pos=tok.pos)
        if tok.kind == "func":
            return self.call()
        if self.at("("):
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
        name = cast(str, ftok.value)
        self.k += 1
        self.expect("(")
        self.enter()
        arg = self.binary(1)
        self.depth -= 1
        lo, hi = FUNCTIONS[name]
        count = None
        if self.at(","):
            if hi < 2:
                raise self.error(f"{name} takes one argument")
            self.k += 1
            ctok = self.tok
            if ctok.kind != "int":
                raise self.error(f"{name}: the sample count must be an integer literal")
            count = cast(int, ctok.value)
            if count > (1 << 63) - 1:
                raise self.error(f"{name}: the sample count is too large")
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
    tree = Parser(text).parse()
    # Building, copying and evaluating trees recurses once per level: keep the depth modest.
    depth = {id(tree): 1}
    for node in walk(tree):
        d = depth[id(node)]
        if d > MAX_DEPTH:
            raise ExprError(
                f"expression nested too deeply (more than {MAX_DEPTH} levels)", text, node.pos
            )
        for child in children(node):
            depth[id(child)] = d + 1
    return tree
