"""The ``tarn`` command: summaries and queries of a dump from the shell.

Every command takes the dump first (any format :func:`tarn.open` recognises), prints aligned
tables for people or, with ``--json``, one JSON document for programs, and on an error prints one
line to standard error and exits with status 1 (2 for a malformed command line).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import signal
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextvars import ContextVar
from fractions import Fraction
from typing import Any, NoReturn

from tarn import expr as _expr
from tarn._core import PyTrace
from tarn._display import unknown_char
from tarn._time import (
    format_stamp,
    format_time,
    index_of_time,
    parse_time,
    stamp_of,
    timescale_text,
)
from tarn.formats import Loaded, detect_format, load_dump
from tarn.trace import Trace


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


# False for the command being run when it was given --no-convert.
_CONVERT: ContextVar[bool] = ContextVar("convert", default=True)


def loaded(path: str) -> Loaded:
    """Load a dump, choosing the loader from its content or, failing that, its extension."""
    with _load_progress(path):
        return load_dump(path, convert=_CONVERT.get())


def load(path: str) -> Trace:
    """Load a dump as :func:`loaded` does; its warnings go to standard error."""
    dump = loaded(path)
    for warning in dump.warnings:
        print(f"tarn: warning: {warning}", file=sys.stderr)
    return dump.trace


#: Loads of files this large show a progress bar when standard error is a terminal (the
#: environment variable TARN_PROGRESS_BYTES sets another size).
PROGRESS_BYTES = int(os.environ.get("TARN_PROGRESS_BYTES", 64 << 20))


@contextlib.contextmanager
def _load_progress(path: str) -> Iterator[None]:
    """A progress bar (tqdm) on standard error while a large dump loads, when that is a terminal.

    The load runs in the compiled core, which holds the interpreter; but it lets signal handlers
    run every few milliseconds, so a timer signal moves the bar, by the bytes the process has
    read (a VCD is read with read calls; other formats show the time spent).
    """
    size = os.path.getsize(path) if os.path.isfile(path) else 0
    if size < PROGRESS_BYTES or not sys.stderr.isatty() or not hasattr(signal, "setitimer"):
        yield
        return
    try:
        from tqdm import tqdm
    except ImportError:
        yield
        return
    try:
        counted = detect_format(path) == "vcd"
    except (ValueError, OSError):
        counted = False
    bar = tqdm(
        total=size if counted else None,
        unit="B",
        unit_scale=True,
        desc=os.path.basename(path),
        leave=False,
    )
    start = _bytes_read()

    def tick(signum: int, frame: Any) -> None:
        if counted:
            bar.update(max(0, min(_bytes_read() - start, size) - bar.n))
        else:
            bar.refresh()

    old = signal.signal(signal.SIGALRM, tick)
    signal.siginterrupt(signal.SIGALRM, False)  # restart system calls instead of failing them
    signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, old)
        bar.close()


def _bytes_read() -> int:
    """Bytes this process has read so far (Linux; 0 elsewhere)."""
    try:
        with open("/proc/self/io", encoding="ascii") as f:
            for line in f:
                if line.startswith("rchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


# ---------------------------------------------------------------- helpers

#: How a command names a sample: an index, "@T" (the raw time stamp T), or a time with a unit.
Sample = int | str | tuple[Fraction, str]


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


def _index(trace: PyTrace, spec: Sample, what: str = "index") -> int:
    """The sample index a command-line argument names: a bare number is an index; a time with a
    unit ("250ns") or "@T" (the raw time stamp T) is the last sample at or before that time."""
    last = trace.max_index()
    if isinstance(spec, int):
        if spec > last:
            raise CliError(f"{what} {spec} is beyond the last index {last}")
        return spec
    if isinstance(spec, str):
        stamp, shown = int(spec[1:]), spec
    else:
        amount, unit = spec
        try:
            stamp = stamp_of(trace, amount, unit)
        except ValueError as e:
            raise CliError(f"{what}: {e}") from None
        shown = f"{amount} {unit}"
    index = index_of_time(trace, stamp)
    if index is None:
        raise CliError(f"{what} {shown} is before the first time stamp")
    return index


def _time(trace: PyTrace, index: int) -> str:
    """The time of a sample index as tables show it, with its unit."""
    return format_time(trace, trace.timestamp(index))


def _timed(trace: PyTrace, doc: dict[str, Any]) -> dict[str, Any]:
    """A JSON document with times: they count the unit its "timescale" field names (null when
    the dump does not say)."""
    return {**doc, "timescale": timescale_text(trace)}


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
    dump = loaded(args.file)  # its warnings are part of the summary
    trace = dump.trace
    names = trace.signal_names()
    scopes = trace.scopes()
    count = _index_count(trace)
    fmt = dump.format
    if args.json:
        doc = {
            "file": args.file,
            "format": fmt,
            "signals": len(names),
            "scopes": len(scopes),
            "time_stamps": count,
            "first_time": trace.timestamp(0) if count else None,
            "last_time": trace.timestamp(trace.max_index()) if count else None,
        }
        doc = _timed(trace, doc)
        _emit_json(
            {**doc, "converter": dump.converter, "warnings": [str(w) for w in dump.warnings]}
        )
        return 0
    print(f"file:        {args.file}")
    print(f"format:      {fmt}" + (f" (converted by {dump.converter})" if dump.converter else ""))
    print(f"signals:     {len(names)}")
    print(f"scopes:      {len(scopes)}")
    print(f"timescale:   {timescale_text(trace) or 'not given'}")
    print(f"time stamps: {count}")
    if count:
        print(f"first time:  {_time(trace, 0)}")
        print(f"last time:   {_time(trace, trace.max_index())}")
    for warning in dump.warnings:
        print(f"warning:     {warning}")
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
    if args.json:
        doc = {"signal": name, "index": index, "time": trace.timestamp(index)}
        _emit_json(_timed(trace, {**doc, "value": _json_value(value)}))
        return 0
    shown = show(value, trace, name, index, args.hex)
    table(
        ("SIGNAL", "INDEX", "TIME", "VALUE"),
        [(name, str(index), _time(trace, index), shown)],
        (False, True, True, False),
    )
    return 0


def _at_index(args: argparse.Namespace) -> tuple[PyTrace, int, int]:
    """The dump the command names, the sample index it names, and that sample's time stamp."""
    trace = load(args.file)
    index = _index(trace, args.index)
    return trace, index, trace.timestamp(index)


def _cmd_snapshot(args: argparse.Namespace) -> int:
    trace, index, time = _at_index(args)
    scoped = args.scope is not None
    values = trace.snapshot_scope(index, args.scope) if scoped else trace.snapshot(index)
    prefix = args.scope + "." if scoped else ""
    if args.json:
        shown = {k: _json_value(v) for k, v in values.items()}
        _emit_json(_timed(trace, {"index": index, "time": time, "values": shown}))
        return 0
    print(
        f"index {index}, time {_time(trace, index)}" + (f", scope {args.scope}" if prefix else "")
    )
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
        _emit_json(_timed(trace, {"index": index, "time": time, "changes": records}))
        return 0
    plural = "" if len(changes) == 1 else "s"
    print(f"index {index}, time {_time(trace, index)}: {len(changes)} change{plural}")
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
        _emit_json(_timed(trace, {"signal": name, "total": len(found), "transitions": records}))
        return 0
    if not found:
        print(f"{name}: no transitions")
        return 0
    rows = [
        (
            str(i),
            _time(trace, i),
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
    import glob

    several = len(args.files) > 1 or any(
        glob.has_magic(f) and not os.path.exists(f) for f in args.files
    )
    if several or args.scheduler is not None:
        return _find_many(args)
    args.file = args.files[0]
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
        _emit_json(_timed(trace, {"count": len(rows), "matches": matches}))
        return 0
    if not rows:
        print("no matches")
        return 0
    out = []
    for i, vals in shown:
        cells = [str(i), _time(trace, i)]
        for n, v in zip(names, vals):
            cells.append(show(v, trace, n, i, args.hex))
        out.append(cells)
    table(("INDEX", "TIME") + tuple(names), out, (True, True) + (False,) * len(names))
    _more(len(shown), len(rows))
    return 0


def _find_many(args: argparse.Namespace) -> int:
    """`find` over several dumps: one task per dump on a process pool or a Dask cluster; every
    row carries its file, and dumps that fail are listed at the end."""
    from tarn.scanning import scan

    values = [v.strip() for group in args.values or [] for v in group.split(",") if v.strip()]
    df = scan(
        args.files,
        args.expr,
        values=values,
        jobs=args.jobs,
        scheduler=args.scheduler,
        scope=args.scope,
        progress=sys.stderr.isatty(),
    )
    errors: dict[str, str] = df.attrs["errors"]
    units: dict[str, str | None] = df.attrs["timescales"]
    if args.count:
        counts = df["path"].value_counts().to_dict() if len(df) else {}
        found = {p: int(counts.get(p, 0)) for p in units}
        if args.json:
            _emit_json({"counts": found, "errors": errors})
        else:
            table(("FILE", "COUNT"), [(p, str(n)) for p, n in found.items()], (False, True))
    else:
        records = df.to_dict("records")
        shown = records if args.limit is None else records[: args.limit]
        if args.json:
            matches = [
                {
                    "file": r["path"],
                    "index": int(r["index"]),
                    "time": int(r["time"]),
                    "values": {v: _json_value(_plain(r[v])) for v in values},
                }
                for r in shown
            ]
            doc = {"count": len(records), "matches": matches, "timescales": units}
            _emit_json({**doc, "errors": errors})
        elif not records:
            print("no matches")
        else:
            rows = []
            for r in shown:
                when = format_stamp(int(r["time"]), units.get(r["path"]))
                cells = [r["path"], str(r["index"]), when]
                cells += [_cell(_plain(r[v]), args.hex) for v in values]
                rows.append(cells)
            right = (False, True, True) + (False,) * len(values)
            table(("FILE", "INDEX", "TIME", *values), rows, right)
            _more(len(shown), len(records))
    for path, message in errors.items():
        print(f"tarn: {path}: {message}", file=sys.stderr)
    return 1 if errors else 0


def _plain(value: Any) -> Any:
    """A frame cell as a plain Python value (pandas' missing values as None)."""
    try:
        import pandas

        if value is pandas.NA or (isinstance(value, float) and math.isnan(value)):
            return None
    except ImportError:
        pass
    return value.item() if hasattr(value, "item") else value


def _cell(value: Any, hex_values: bool) -> str:
    """A value of a scan's table: x when it has no two-state value (the dump is not at hand to
    tell z from x)."""
    return "x" if value is None else show(value, hex_values=hex_values)


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
    most = wave.MAX_SPAN if args.wavedrom else wave.MAX_SVG_SPAN
    if stop - start + 1 > most:
        raise CliError(
            f"{stop - start + 1} indices are too many for one diagram (at most {most}); "
            "narrow the range with --from/--to"
        )
    title = os.path.basename(args.file)
    if args.wavedrom:
        doc = wave.wavejson(trace, names, start, stop, hex_values=args.hex, title=title)
        wave.render_svg(doc, args.output)
    else:
        drawing = wave.svg(trace, names, start, stop, hex_values=args.hex, title=title)
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(drawing)
    if args.json:
        doc = {"output": args.output, "from": start, "to": stop, "signals": names}
        _emit_json(
            _timed(
                trace,
                {**doc, "from_time": trace.timestamp(start), "to_time": trace.timestamp(stop)},
            )
        )
    else:
        plural = "" if len(names) == 1 else "s"
        span = f"{_time(trace, start)} to {_time(trace, stop)}"
        print(
            f"wrote {args.output} ({len(names)} signal{plural}, indices {start} to {stop}, {span})"
        )
    return 0


def _cmd_export(args: argparse.Namespace) -> int:
    trace: Trace = load(args.file)
    names = [_name(trace, n) for n in args.names]
    start = 0 if args.start is None else _index(trace, args.start, "--from")
    end = trace.max_index() + 1 if args.stop is None else _index(trace, args.stop, "--to") + 1
    if end <= start:
        raise CliError(f"--to {end - 1} is before --from {start}")
    fmt = args.format
    if fmt == "parquet":
        if not args.output:
            raise CliError("Parquet is binary: name the output file with -o")
        from tarn.trace import _need

        pq = _need("pyarrow.parquet", "arrow", "Parquet export")
        table = trace.to_arrow(names, start, end)
        scale = timescale_text(trace)
        meta = {**(table.schema.metadata or {}), b"timescale": (scale or "").encode()}
        pq.write_table(table.replace_schema_metadata(meta), args.output)
        return 0
    frame = trace.to_pandas(names, start, end)
    if fmt == "csv":
        text = frame.to_csv(index=False)
    else:
        records = json.loads(frame.to_json(orient="records"))
        text = json.dumps(_timed(trace, {"rows": records}), indent=2, ensure_ascii=False) + "\n"
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
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


def _sample(text: str) -> Sample:
    """A sample index, "@T" or a time with a unit such as "250ns" (resolved once the dump is
    loaded, with its unit)."""
    if text.startswith("@"):
        return "@" + str(_nonneg(text[1:]))
    time = parse_time(text)
    if time is not None:
        return time
    return _nonneg(text)


_FROM_HELP = "first sample (index, time such as 1us, or @T)"
_TO_HELP = "last sample (index, time such as 2us, or @T)"
_SAMPLE_HELP = "sample index, a time with its unit (250ns, 1.5us), or @T for the raw time stamp T"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="tarn", description="Query waveform dumps.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    def command(
        name: str,
        help: str,
        run: Callable[[argparse.Namespace], int],
        values: bool = False,
        many: bool = False,
    ) -> Any:
        p = sub.add_parser(name, help=help, description=help)
        if many:
            p.add_argument(
                "files", nargs="+", metavar="FILE", help="dumps, or glob patterns naming dumps"
            )
        else:
            p.add_argument("file", help="dump file (VCD, FST, FSDB, VPD, WLF) or SHM database")
        p.add_argument("--json", action="store_true", help="print JSON instead of a table")
        p.add_argument(
            "--no-convert",
            dest="convert",
            action="store_false",
            help="read FSDB, SHM, VPD and WLF with tarn's recovery reader even when the "
            "vendor's converter is on PATH",
        )
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
    p.add_argument("index", type=_sample, help=_SAMPLE_HELP)

    p = command("snapshot", "all values at a sample index", _cmd_snapshot, values=True)
    p.add_argument("index", type=_sample, help=_SAMPLE_HELP)
    p.add_argument("--scope", metavar="S", help="only signals under scope S (names relative)")

    p = command("changes", "signals that changed at a sample index", _cmd_changes, values=True)
    p.add_argument("index", type=_sample, help=_SAMPLE_HELP)
    p.add_argument("--scope", metavar="S", help="only signals under scope S")

    p = command("transitions", "every change of one signal", _cmd_transitions, values=True)
    p.add_argument("name", help="signal name")
    p.add_argument("--limit", type=_nonneg, metavar="N", help="show at most N transitions")

    p = command("stats", "statistics of one signal", _cmd_stats)
    p.add_argument("name", help="signal name")

    p = command("find", "sample indices where a condition holds", _cmd_find, values=True, many=True)
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
    p.add_argument(
        "--jobs", type=_nonneg, metavar="N", help="with several dumps: processes (default: cores)"
    )
    p.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="search the dumps on a Dask cluster (tcp://host:port; needs tarn[dask])",
    )

    p = command(
        "export", "the values of signals where any changes, as CSV, JSON or Parquet", _cmd_export
    )
    p.add_argument("names", nargs="+", metavar="NAME", help="signals, one column each")
    p.add_argument("--format", choices=("csv", "json", "parquet"), default="csv")
    p.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    p.add_argument("--from", dest="start", type=_sample, metavar="I", help=_FROM_HELP)
    p.add_argument("--to", dest="stop", type=_sample, metavar="I", help=_TO_HELP)

    p = command("wave", "draw signals as a timing diagram (SVG, time to scale)", _cmd_wave)
    p.add_argument("names", nargs="+", metavar="NAME", help="signals to draw, top to bottom")
    p.add_argument(
        "--from",
        dest="start",
        type=_sample,
        metavar="I",
        help="first sample (index, time such as 1us, or @T)",
    )
    p.add_argument(
        "--to",
        dest="stop",
        type=_sample,
        metavar="I",
        help="last sample (index, time such as 2us, or @T)",
    )
    p.add_argument("-o", "--output", required=True, metavar="FILE.svg", help="SVG file to write")
    p.add_argument("--hex", action="store_true", help="label bus values in hexadecimal")
    p.add_argument(
        "--wavedrom",
        action="store_true",
        help="draw one column per sample index with WaveDrom (needs tarn[wave]) instead of time "
        "to scale",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``tarn`` command with ``argv`` (default: ``sys.argv[1:]``); return the exit code."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as e:  # -h, or a malformed command line (already reported)
        return e.code if isinstance(e.code, int) else 2
    token = _CONVERT.set(args.convert)
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
    finally:
        _CONVERT.reset(token)
