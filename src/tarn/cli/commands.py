"""The commands of ``tarn``, one function each: ``args`` in, exit status out."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any

from tarn import expr as _expr
from tarn._core import PyTrace
from tarn._time import (
    format_stamp,
    timescale_text,
)
from tarn.cli.common import (
    CliError,
    emit_json,
    full_name,
    index_count,
    json_value,
    load,
    loaded,
    more,
    sample_index,
    show,
    table,
    time_text,
    timed,
)
from tarn.trace import Trace

# ---------------------------------------------------------------- commands


def cmd_info(args: argparse.Namespace) -> int:
    dump = loaded(args.file)  # its warnings are part of the summary
    trace = dump.trace
    names = trace.signal_names()
    scopes = trace.scopes()
    count = index_count(trace)
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
        doc = timed(trace, doc)
        emit_json({**doc, "converter": dump.converter, "warnings": [str(w) for w in dump.warnings]})
        return 0
    print(f"file:        {args.file}")
    print(f"format:      {fmt}" + (f" (converted by {dump.converter})" if dump.converter else ""))
    print(f"signals:     {len(names)}")
    print(f"scopes:      {len(scopes)}")
    print(f"timescale:   {timescale_text(trace) or 'not given'}")
    print(f"time stamps: {count}")
    if count:
        print(f"first time:  {time_text(trace, 0)}")
        print(f"last time:   {time_text(trace, trace.max_index())}")
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


def cmd_scopes(args: argparse.Namespace) -> int:
    trace = load(args.file)
    roots = scope_tree(trace)
    if args.json:
        emit_json(roots)
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


def cmd_signals(args: argparse.Namespace) -> int:
    trace = load(args.file)
    if args.glob is not None:
        names = trace.find_signals_glob(args.glob)
    elif args.contains is not None:
        names = trace.find_signals_containing(args.contains)
    else:
        names = trace.signal_names()
    widths = [trace.signal_width(n) for n in names]
    if args.json:
        emit_json([{"name": n, "width": w} for n, w in zip(names, widths)])
        return 0
    if not names:
        print("(no signals)")
        return 0
    table(("NAME", "WIDTH"), ((n, str(w)) for n, w in zip(names, widths)), (False, True))
    return 0


def cmd_value(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = full_name(trace, args.name)
    index = sample_index(trace, args.index)
    value = trace.signal_value(name, index)
    if args.json:
        doc = {"signal": name, "index": index, "time": trace.timestamp(index)}
        emit_json(timed(trace, {**doc, "value": json_value(value)}))
        return 0
    shown = show(value, trace, name, index, args.hex)
    table(
        ("SIGNAL", "INDEX", "TIME", "VALUE"),
        [(name, str(index), time_text(trace, index), shown)],
        (False, True, True, False),
    )
    return 0


def at_index(args: argparse.Namespace) -> tuple[PyTrace, int, int]:
    """The dump the command names, the sample index it names, and that sample's time stamp."""
    trace = load(args.file)
    index = sample_index(trace, args.index)
    return trace, index, trace.timestamp(index)


def cmd_snapshot(args: argparse.Namespace) -> int:
    trace, index, time = at_index(args)
    scoped = args.scope is not None
    values = trace.snapshot_scope(index, args.scope) if scoped else trace.snapshot(index)
    prefix = args.scope + "." if scoped else ""
    if args.json:
        shown = {k: json_value(v) for k, v in values.items()}
        emit_json(timed(trace, {"index": index, "time": time, "values": shown}))
        return 0
    print(
        f"index {index}, time {time_text(trace, index)}"
        + (f", scope {args.scope}" if prefix else "")
    )
    if not values:
        print("(no signals)")
        return 0
    rows = [(k, show(v, trace, prefix + k, index, args.hex)) for k, v in values.items()]
    table(("NAME", "VALUE"), rows, (False, False))
    return 0


def cmd_changes(args: argparse.Namespace) -> int:
    trace, index, time = at_index(args)
    scoped = args.scope is not None
    changes = trace.changed_at_scope(index, args.scope) if scoped else trace.changed_at(index)
    if args.json:
        records = [{"name": n, "old": json_value(o), "new": json_value(v)} for n, o, v in changes]
        emit_json(timed(trace, {"index": index, "time": time, "changes": records}))
        return 0
    plural = "" if len(changes) == 1 else "s"
    print(f"index {index}, time {time_text(trace, index)}: {len(changes)} change{plural}")
    if changes:
        rows = [
            (n, show(o, trace, n, index - 1, args.hex), show(v, trace, n, index, args.hex))
            for n, o, v in changes
        ]
        table(("NAME", "OLD", "NEW"), rows, (False, False, False))
    return 0


def cmd_transitions(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = full_name(trace, args.name)
    found = trace.transitions(name)
    shown = found if args.limit is None else found[: args.limit]
    if args.json:
        records = [
            {"index": i, "time": trace.timestamp(i), "old": json_value(o), "new": json_value(v)}
            for i, o, v in shown
        ]
        emit_json(timed(trace, {"signal": name, "total": len(found), "transitions": records}))
        return 0
    if not found:
        print(f"{name}: no transitions")
        return 0
    rows = [
        (
            str(i),
            time_text(trace, i),
            show(o, trace, name, i - 1, args.hex),
            show(v, trace, name, i, args.hex),
        )
        for i, o, v in shown
    ]
    table(("INDEX", "TIME", "OLD", "NEW"), rows, (True, True, False, False))
    more(len(shown), len(found))
    return 0


STATS = ("min", "max", "sum", "count", "transitions", "num_x", "num_z")


def cmd_stats(args: argparse.Namespace) -> int:
    trace = load(args.file)
    name = full_name(trace, args.name)
    stats: dict[str, Any] = dict(zip(STATS, trace.signal_stats(name)))
    reals = trace.real_stats(name)
    if reals is not None:
        # A real signal: minimum, maximum and mean of its reals, in place of the integer ones.
        rest = {k: stats[k] for k in ("transitions", "num_x", "num_z")}
        stats = dict(zip(("min", "max", "mean", "count"), reals)) | rest
    if args.json:
        emit_json({"signal": name, **{k: json_value(v) for k, v in stats.items()}})
        return 0
    headers = ("SIGNAL",) + tuple(s.upper() for s in stats)
    table(headers, [(name,) + tuple(str(v) for v in stats.values())], (False,) + (True,) * 7)
    return 0


def value_names(trace: PyTrace, groups: list[str] | None) -> list[str]:
    names: list[str] = []
    for group in groups or []:
        for part in group.split(","):
            if part.strip():
                names.append(full_name(trace, part.strip()))
    return names


def cmd_find(args: argparse.Namespace) -> int:
    import glob

    several = len(args.files) > 1 or any(
        glob.has_magic(f) and not os.path.exists(f) for f in args.files
    )
    if several or args.scheduler is not None:
        return find_many(args)
    args.file = args.files[0]
    trace = load(args.file)
    compiled = _expr.compile(trace, args.expr, scope=args.scope)
    if args.count:
        total = trace.parallel_count(compiled) if args.parallel else len(trace.find(compiled))
        if args.json:
            emit_json({"count": total})
        else:
            print(total)
        return 0
    names = value_names(trace, args.values)
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
                "values": {n: json_value(v) for n, v in zip(names, vals)},
            }
            for i, vals in shown
        ]
        emit_json(timed(trace, {"count": len(rows), "matches": matches}))
        return 0
    if not rows:
        print("no matches")
        return 0
    out = []
    for i, vals in shown:
        cells = [str(i), time_text(trace, i)]
        for n, v in zip(names, vals):
            cells.append(show(v, trace, n, i, args.hex))
        out.append(cells)
    table(("INDEX", "TIME") + tuple(names), out, (True, True) + (False,) * len(names))
    more(len(shown), len(rows))
    return 0


def find_many(args: argparse.Namespace) -> int:
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
            emit_json({"counts": found, "errors": errors})
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
                    "values": {v: json_value(plain(r[v])) for v in values},
                }
                for r in shown
            ]
            doc = {"count": len(records), "matches": matches, "timescales": units}
            emit_json({**doc, "errors": errors})
        elif not records:
            print("no matches")
        else:
            rows = []
            for r in shown:
                when = format_stamp(int(r["time"]), units.get(r["path"]))
                cells = [r["path"], str(r["index"]), when]
                cells += [cell(plain(r[v]), args.hex) for v in values]
                rows.append(cells)
            right = (False, True, True) + (False,) * len(values)
            table(("FILE", "INDEX", "TIME", *values), rows, right)
            more(len(shown), len(records))
    for path, message in errors.items():
        print(f"tarn: {path}: {message}", file=sys.stderr)
    return 1 if errors else 0


def plain(value: Any) -> Any:
    """A frame cell as a plain Python value (pandas' missing values as None)."""
    try:
        import pandas

        if value is pandas.NA or (isinstance(value, float) and math.isnan(value)):
            return None
    except ImportError:
        pass
    return value.item() if hasattr(value, "item") else value


def cell(value: Any, hex_values: bool) -> str:
    """A value of a scan's table: x when it has no two-state value (the dump is not at hand to
    tell z from x)."""
    return "x" if value is None else show(value, hex_values=hex_values)


def cmd_wave(args: argparse.Namespace) -> int:
    from tarn import wave

    trace = load(args.file)
    names = [full_name(trace, n) for n in args.names]
    last = trace.max_index()
    start = 0 if args.start is None else sample_index(trace, args.start, "--from")
    if args.stop is None:
        stop = min(last, start + wave.DEFAULT_SPAN - 1)
    else:
        stop = sample_index(trace, args.stop, "--to")
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
        emit_json(
            timed(
                trace,
                {**doc, "from_time": trace.timestamp(start), "to_time": trace.timestamp(stop)},
            )
        )
    else:
        plural = "" if len(names) == 1 else "s"
        span = f"{time_text(trace, start)} to {time_text(trace, stop)}"
        print(
            f"wrote {args.output} ({len(names)} signal{plural}, indices {start} to {stop}, {span})"
        )
    return 0


def cmd_export(args: argparse.Namespace) -> int:
    trace: Trace = load(args.file)
    names = [full_name(trace, n) for n in args.names]
    start = 0 if args.start is None else sample_index(trace, args.start, "--from")
    end = trace.max_index() + 1 if args.stop is None else sample_index(trace, args.stop, "--to") + 1
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
        text = json.dumps(timed(trace, {"rows": records}), indent=2, ensure_ascii=False) + "\n"
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0
