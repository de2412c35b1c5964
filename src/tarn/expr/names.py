"""Name resolution: the full signal name an expression's name stands for, and close names to
suggest when none fits."""

from __future__ import annotations

import difflib

from tarn._core import PyTrace
from tarn.expr.parser import parse
from tarn.expr.syntax import ExprError, Name, walk


def suggest(trace: PyTrace, name: str, limit: int = 3) -> list[str]:
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
    tails: dict[str, str] = {}
    for full in names:
        tails.setdefault(full.rsplit(".", 1)[-1], full)
    for t in difflib.get_close_matches(last, list(tails), n=limit, cutoff=0.7):
        if tails[t] not in close:
            close.append(tails[t])
    return close[:limit]


def lookup(trace: PyTrace, name: str, scope: str | None = None) -> tuple[str | None, list[str]]:
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


def resolve(trace: PyTrace, node: Name, text: str, scope: str | None) -> str:
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


def signal_names(trace: PyTrace, text: str, scope: str | None = None) -> list[str]:
    """The full names of the signals ``text`` refers to, in order of first mention."""
    seen: list[str] = []
    for node in walk(parse(text)):
        if isinstance(node, Name):
            full = resolve(trace, node, text, scope)
            if full not in seen:
                seen.append(full)
    return seen
