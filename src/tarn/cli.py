"""The ``tarn`` command: summaries and queries of a dump from the shell.

Every command takes the dump first (any format :func:`tarn.open` recognises), prints aligned
tables for people or, with ``--json``, one JSON document for programs, and on an error prints one
line to standard error and exits with status 1 (2 for a malformed command line).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NoReturn

from tarn import expr as _expr
from tarn._core import PyTrace
from tarn._display import unknown_char
from tarn.formats import detect_format
from tarn.formats import open as open_trace


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


def load(path: str) -> PyTrace:
    """Load a dump, choosing the loader from its content or, failing that, its extension."""
    return open_trace(path)


# ---------------------------------------------------------------- helpers


def _index_count(trace: PyTrace) -> int:
    """Number of sample indices (max_index() cannot tell zero from one)."""
    last = trace.max_index()
    if last > 0:
        return last + 1
    # One index or none: a trace with one index has a value or a time there, or signals.
    for name in trace.signal_names():
        if trace.signal_value(name, 0) is not None:
            return 1
    return 1 if trace.timestamp(0) else 0


def _name(trace: PyTrace, name: str) -> str:
    """The full signal name meant by ``name`` (full, or the unique last part of one)."""
    full, ambiguous = _expr.lookup(trace, name)
    if full is not None:
        return full
    if ambiguous:
        shown = ", ".join(ambiguous[:5]) + (", ..." if len(ambiguous) > 5 else "")
        raise CliError(f"ambiguous signal name {name!r} matches {shown}")
    hint = _expr.suggest(trace, name)
    raise CliError(
        f"unknown signal {name!r}" + (f" (did you mean {', '.join(hint)}?)" if hint else "")
    )


def _index(trace: PyTrace, index: int | str, what: str = "index") -> int:
    """A sample index from the command line: a number, or "@T" for the sample at time T."""
    last = trace.max_index()
    if isinstance(index, str):
        return _index_at_time(trace, int(index[1:]), what)
    if index > last:
        raise CliError(f"{what} {index} is beyond the last index {last}")
    return index


def _index_at_time(trace: PyTrace, time: int, what: str) -> int:
    """The last sample whose time stamp is at or before ``time`` (time stamps ascend)."""
    lo, hi = 0, trace.max_index()
    if trace.timestamp(0) > time:
        raise CliError(f"{what} @{time} is before the first time stamp")
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if trace.timestamp(mid) <= time:
            lo = mid
        else:
            hi = mid - 1
    return lo


def show(
    value: Any,
    trace: PyTrace | None = None,
    name: str = "",
    index: int = 0,
    hex_values: bool = False,
) -> str:
    """A value as a table shows it; None (no two-state value) as "z" or "x"."""
    if value is None:
        return "x" if trace is None else unknown_char(trace, trace.signal_id(name), index)
    if isinstance(value, float):
        return repr(value)
    if hex_values and isinstance(value, int):
        return f"0x{value:X}"
    return str(value)


def _json_value(value: Any) -> Any:
    # JSON has no NaN or infinity; spell them as strings rather than emit invalid JSON.
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value


def table(headers: Sequence[str], rows: Iterable[Sequence[str]], right: Sequence[bool]) -> None:
    """Print rows under headers, columns aligned (numbers flush right)."""
    rows = [list(r) for r in rows]
    widths = [len(h) for h in headers]
    for r in rows:
        for i, cell in enumerate(r):
            widths[i] = max(widths[i], len(cell))

    def line(cells: Sequence[str]) -> str:
        out = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return "  ".join(out).rstrip()

    print(line(headers))
    for r in rows:
        print(line(r))


def _emit_json(doc: Any) -> None:
    print(json.dumps(doc, indent=2, ensure_ascii=False))


def _more(shown: int, total: int) -> None:
    if total > shown:
        print(f"... and {total - shown} more")


# ---------------------------------------------------------------- commands


def _cmd_info(args: argparse.Namespace) -> int:
    trace = load(args.file)
    names = trace.signal_names()
    scopes = trace.scopes()
    count = _index_count(trace)
    fmt = detect_format(args.file)
    if args.json:
        _emit_json(
            {
                "file": args.file,
                "format": fmt,
                "signals": len(names),
                "scopes": len(scopes),
                "time_stamps": count,
                "first_time": trace.timestamp(0) if count else None,
                "last_time": trace.timestamp(trace.max_index()) if count else None,
            }
        )
        return 0
    print(f"file:        {args.file}")
    print(f"format:      {fmt}")
    print(f"signals:     {len(names)}")
    print(f"scopes:      {len(scopes)}")
    print(f"time stamps: {count}")
    if count:
        print(f"first time:  {trace.timestamp(0)}")
        print(f"last time:   {trace.timestamp(trace.max_index())}")
    shown = names[: args.limit]
    if shown:
        width = max(len(n) for n in shown)
        print("signals (name, width):")
        for name in shown:
            print(f"  {name:<{width}}  {trace.signal_width(name)}")
        if len(names) > len(shown):
            print(f"  ... and {len(names) - len(shown)} more")
    return 0


def scope_tree(trace: PyTrace) -> list[dict[str, Any]]:
    """The scopes as nested dicts: name, path, direct signal count, child scopes."""
    nodes: dict[str, dict[str, Any]] = {}
    roots: list[dict[str, Any]] = []
    for scope in trace.scopes():
        parts = scope.split(".")
        for i in range(1, len(parts) + 1):
            path = ".".join(parts[:i])
            if path in nodes:
                continue
            node = {"name": parts[i - 1], "path": path, "signals": 0, "scopes": []}
            nodes[path] = node
            parent = nodes.get(".".join(parts[: i - 1])) if i > 1 else None
            (parent["scopes"] if parent else roots).append(node)
    for name in trace.signal_names():
        parent_path = name.rsplit(".", 1)[0] if "." in name else None
        if parent_path in nodes:
            nodes[parent_path]["signals"] += 1
    return roots


def _cmd_scopes(args: argparse.Namespace) -> int:
    trace = load(args.file)
    roots = scope_tree(trace)
    if args.json:
        _emit_json(roots)
        return 0
    if not roots:
        print("(no scopes)")

    def label(node: dict[str, Any]) -> str:
        n = node["signals"]
        return f"{node['name']}  ({n} signal{'' if n == 1 else 's'})"

    try:
        "├└│".encode(sys.stdout.encoding or "ascii")
        tee, last, bar = "├── ", "└── ", "│   "
    except (UnicodeEncodeError, LookupError):
        tee, last, bar = "|-- ", "`-- ", "|   "
    # Iterative walk: (node, prefix of its line, its connector)
    stack = [(node, "", "") for node in reversed(roots)]
    while stack:
        node, prefix, connector = stack.pop()
        print(prefix + connector + label(node))
        child_prefix = prefix + ("" if not connector else ("    " if connector == last else bar))
        kids = node["scopes"]
        for i in range(len(kids) - 1, -1, -1):
            stack.append((kids[i], child_prefix, last if i == len(kids) - 1 else tee))
    return 0


def _cmd_signals(args: argparse.Namespace) -> int:
    trace = load(args.file)
    if args.glob is not None:
        names = trace.find_signals_glob(args.glob)
    elif args.contains is not None:
        names = trace.find_signals_containing(args.contains)
    else:
        names = trace.signal_names()
    widths = [trace.signal_width(n) for n in names]
    if args.json:
        _emit_json([{"name": n, "width": w} for n, w in zip(names, widths)])
        return 0
    if not names:
        print("(no signals)")
        return 0
    table(("NAME", "WIDTH"), ((n, str(w)) for n, w in zip(names, widths)), (False, True))
    return 0


def _cmd_value(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = _name(trace, args.name)
    index = _index(trace, args.index)
    value = trace.signal_value(name, index)
    time = trace.timestamp(index)
    if args.json:
        _emit_json({"signal": name, "index": index, "time": time, "value": _json_value(value)})
        return 0
    shown = show(value, trace, name, index, args.hex)
    table(
        ("SIGNAL", "INDEX", "TIME", "VALUE"),
        [(name, str(index), str(time), shown)],
        (False, True, True, False),
    )
    return 0


def _at_index(args: argparse.Namespace) -> tuple[PyTrace, int, int]:
    """The dump the command names, the sample index it names, and that sample's time."""
    trace = load(args.file)
    index = _index(trace, args.index)
    return trace, index, trace.timestamp(index)


def _cmd_snapshot(args: argparse.Namespace) -> int:
    trace, index, time = _at_index(args)
    scoped = args.scope is not None
    values = trace.snapshot_scope(index, args.scope) if scoped else trace.snapshot(index)
    prefix = args.scope + "." if scoped else ""
    if args.json:
        _emit_json(
            {"index": index, "time": time, "values": {k: _json_value(v) for k, v in values.items()}}
        )
        return 0
    print(f"index {index}, time {time}" + (f", scope {args.scope}" if prefix else ""))
    if not values:
        print("(no signals)")
        return 0
    rows = [(k, show(v, trace, prefix + k, index, args.hex)) for k, v in values.items()]
    table(("NAME", "VALUE"), rows, (False, False))
    return 0


def _cmd_changes(args: argparse.Namespace) -> int:
    trace, index, time = _at_index(args)
    scoped = args.scope is not None
    changes = trace.changed_at_scope(index, args.scope) if scoped else trace.changed_at(index)
    if args.json:
        records = [{"name": n, "old": _json_value(o), "new": _json_value(v)} for n, o, v in changes]
        _emit_json({"index": index, "time": time, "changes": records})
        return 0
    print(f"index {index}, time {time}: {len(changes)} change{'' if len(changes) == 1 else 's'}")
    if changes:
        rows = [
            (n, show(o, trace, n, index - 1, args.hex), show(v, trace, n, index, args.hex))
            for n, o, v in changes
        ]
        table(("NAME", "OLD", "NEW"), rows, (False, False, False))
    return 0


def _cmd_transitions(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = _name(trace, args.name)
    found = trace.transitions(name)
    shown = found if args.limit is None else found[: args.limit]
    if args.json:
        records = [
            {"index": i, "time": trace.timestamp(i), "old": _json_value(o), "new": _json_value(v)}
            for i, o, v in shown
        ]
        _emit_json({"signal": name, "total": len(found), "transitions": records})
        return 0
    if not found:
        print(f"{name}: no transitions")
        return 0
    rows = [
        (
            str(i),
            str(trace.timestamp(i)),
            show(o, trace, name, i - 1, args.hex),
            show(v, trace, name, i, args.hex),
        )
        for i, o, v in shown
    ]
    table(("INDEX", "TIME", "OLD", "NEW"), rows, (True, True, False, False))
    _more(len(shown), len(found))
    return 0


_STATS = ("min", "max", "sum", "count", "transitions", "num_x", "num_z")


def _cmd_stats(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = _name(trace, args.name)
    stats: dict[str, Any] = dict(zip(_STATS, trace.signal_stats(name)))
    reals = trace.real_stats(name)
    if reals is not None:
        # A real signal: minimum, maximum and mean of its reals, in place of the integer ones.
        rest = {k: stats[k] for k in ("transitions", "num_x", "num_z")}
        stats = dict(zip(("min", "max", "mean", "count"), reals)) | rest
    if args.json:
        _emit_json({"signal": name, **{k: _json_value(v) for k, v in stats.items()}})
        return 0
    headers = ("SIGNAL",) + tuple(s.upper() for s in stats)
    table(headers, [(name,) + tuple(str(v) for v in stats.values())], (False,) + (True,) * 7)
    return 0


def _value_names(trace: PyTrace, groups: list[str] | None) -> list[str]:
    names: list[str] = []
    for group in groups or []:
        for part in group.split(","):
            if part.strip():
                names.append(_name(trace, part.strip()))
    return names


def _cmd_find(args: argparse.Namespace) -> int:
    trace = load(args.file)
    compiled = _expr.compile(trace, args.expr, scope=args.scope)
    if args.count:
        total = trace.parallel_count(compiled) if args.parallel else len(trace.find(compiled))
        if args.json:
            _emit_json({"count": total})
        else:
            print(total)
        return 0
    names = _value_names(trace, args.values)
    if args.parallel:
        rows = [
            (i, [trace.signal_value(n, i) for n in names]) for i in trace.parallel_find(compiled)
        ]
    elif names:
        rows = trace.find_with_values(compiled, names)
    else:
        rows = [(i, []) for i in trace.find(compiled)]
    shown = rows if args.limit is None else rows[: args.limit]
    if args.json:
        matches = [
            {
                "index": i,
                "time": trace.timestamp(i),
                "values": {n: _json_value(v) for n, v in zip(names, vals)},
            }
            for i, vals in shown
        ]
        _emit_json({"count": len(rows), "matches": matches})
        return 0
    if not rows:
        print("no matches")
        return 0
    out = []
    for i, vals in shown:
        cells = [str(i), str(trace.timestamp(i))]
        for n, v in zip(names, vals):
            cells.append(show(v, trace, n, i, args.hex))
        out.append(cells)
    table(("INDEX", "TIME") + tuple(names), out, (True, True) + (False,) * len(names))
    _more(len(shown), len(rows))
    return 0


def _cmd_wave(args: argparse.Namespace) -> int:
    from tarn import wave

    trace = load(args.file)
    names = [_name(trace, n) for n in args.names]
    last = trace.max_index()
    start = 0 if args.start is None else _index(trace, args.start, "--from")
    if args.stop is None:
        stop = min(last, start + wave.DEFAULT_SPAN - 1)
    else:
        stop = _index(trace, args.stop, "--to")
    if stop < start:
        raise CliError(f"--to {stop} is before --from {start}")
    if stop - start + 1 > wave.MAX_SPAN:
        raise CliError(
            f"{stop - start + 1} indices are too many for one diagram (at most {wave.MAX_SPAN}); "
            "narrow the range with --from/--to"
        )
    doc = wave.wavejson(
        trace, names, start, stop, hex_values=args.hex, title=os.path.basename(args.file)
    )
    wave.render_svg(doc, args.output)
    if args.json:
        _emit_json({"output": args.output, "from": start, "to": stop, "signals": names})
    else:
        plural = "" if len(names) == 1 else "s"
        print(f"wrote {args.output} ({len(names)} signal{plural}, indices {start} to {stop})")
    return 0


# ---------------------------------------------------------------- parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage block: errors are meant to be read at a glance and by scripts.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog.split()[0]} -h)\n")


def _nonneg(text: str) -> int:
    try:
        v = int(text, 10) if text.lstrip("+-").isdigit() else int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return v


def _sample(text: str) -> int | str:
    """A sample index, or "@T": the sample at time T (resolved once the dump is loaded)."""
    if text.startswith("@"):
        return "@" + str(_nonneg(text[1:]))
    return _nonneg(text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tarn", description="Query waveform dumps.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def command(
        name: str, help: str, run: Callable[[argparse.Namespace], int], values: bool = False
    ) -> Any:
        p = sub.add_parser(name, help=help, description=help)
        p.add_argument("file", help="dump file (VCD, FST, FSDB, VPD, WLF) or SHM database")
        p.add_argument("--json", action="store_true", help="print JSON instead of a table")
        if values:
            p.add_argument("--hex", action="store_true", help="show integers in hexadecimal")
        p.set_defaults(run=run)
        return p

    p = command("info", "summarise a dump", _cmd_info)
    p.add_argument("--limit", type=_nonneg, default=10, help="signal names to list (default 10)")

    command("scopes", "show the scope tree", _cmd_scopes)

    p = command("signals", "list signal names and widths", _cmd_signals)
    g = p.add_mutually_exclusive_group()
    g.add_argument("--glob", metavar="P", help="only names matching the glob pattern P (* and ?)")
    g.add_argument("--contains", metavar="S", help="only names containing S (any case)")

    p = command("value", "the value of a signal at a sample index", _cmd_value, values=True)
    p.add_argument("name", help="signal name")
    p.add_argument("index", type=_sample, help="sample index, or @T for the sample at time T")

    p = command("snapshot", "all values at a sample index", _cmd_snapshot, values=True)
    p.add_argument("index", type=_sample, help="sample index, or @T for the sample at time T")
    p.add_argument("--scope", metavar="S", help="only signals under scope S (names relative)")

    p = command("changes", "signals that changed at a sample index", _cmd_changes, values=True)
    p.add_argument("index", type=_sample, help="sample index, or @T for the sample at time T")
    p.add_argument("--scope", metavar="S", help="only signals under scope S")

    p = command("transitions", "every change of one signal", _cmd_transitions, values=True)
    p.add_argument("name", help="signal name")
    p.add_argument("--limit", type=_nonneg, metavar="N", help="show at most N transitions")

    p = command("stats", "statistics of one signal", _cmd_stats)
    p.add_argument("name", help="signal name")

    p = command("find", "sample indices where a condition holds", _cmd_find, values=True)
    p.add_argument("expr", metavar="EXPR", help='condition, e.g. "top.valid && top.ready"')
    p.add_argument("--count", action="store_true", help="print only the number of matches")
    p.add_argument(
        "--values",
        metavar="NAMES",
        action="append",
        help="also show these signals (comma-separated; may be repeated)",
    )
    p.add_argument("--parallel", action="store_true", help="search on all CPU cores")
    p.add_argument("--scope", metavar="S", help="resolve short names from scope S")
    p.add_argument("--limit", type=_nonneg, metavar="N", help="show at most N matches")

    p = command("wave", "draw signals as a timing diagram (SVG)", _cmd_wave)
    p.add_argument("names", nargs="+", metavar="NAME", help="signals to draw, top to bottom")
    p.add_argument("--from", dest="start", type=_sample, metavar="I", help="first index (or @T)")
    p.add_argument("--to", dest="stop", type=_sample, metavar="I", help="last index (or @T)")
    p.add_argument("-o", "--output", required=True, metavar="FILE.svg", help="SVG file to write")
    p.add_argument("--hex", action="store_true", help="label bus values in hexadecimal")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``tarn`` command with ``argv`` (default: ``sys.argv[1:]``); return the exit code."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as e:  # -h, or a malformed command line (already reported)
        return e.code if isinstance(e.code, int) else 2
    try:
        code: int = args.run(args)
        return code
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (``tarn ... | head``): not an error; keep Python from complaining
        # when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except (CliError, ValueError, OSError, ImportError) as e:
        message = str(e).splitlines()[0] if str(e) else type(e).__name__
        print(f"tarn: {message}", file=sys.stderr)
        return 1
