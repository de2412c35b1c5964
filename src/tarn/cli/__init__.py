"""The ``tarn`` command: summaries and queries of a dump from the shell.

Every command takes the dump first (any format :func:`tarn.open` recognises), prints aligned
tables for people or, with ``--json``, one JSON document for programs, and on an error prints one
line to standard error and exits with status 1 (2 for a malformed command line).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from tarn._time import parse_time
from tarn.cli.commands import (
    cmd_changes,
    cmd_export,
    cmd_find,
    cmd_info,
    cmd_scopes,
    cmd_signals,
    cmd_snapshot,
    cmd_stats,
    cmd_transitions,
    cmd_value,
    cmd_wave,
    scope_tree,
)
from tarn.cli.common import CONVERT, CliError, Sample

__all__ = ["main", "build_parser", "scope_tree"]


# ---------------------------------------------------------------- parser


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not the usage block: errors are meant to be read at a glance and by scripts.
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog.split()[0]} -h)\n")


def nonneg(text: str) -> int:
    try:
        v = int(text, 10) if text.lstrip("+-").isdigit() else int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if v < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return v


def parse_sample(text: str) -> Sample:
    """A sample index, "@T" or a time with a unit such as "250ns" (resolved once the dump is
    loaded, with its unit)."""
    if text.startswith("@"):
        return "@" + str(nonneg(text[1:]))
    time = parse_time(text)
    if time is not None:
        return time
    return nonneg(text)


FROM_HELP = "first sample (index, time such as 1us, or @T)"
TO_HELP = "last sample (index, time such as 2us, or @T)"
SAMPLE_HELP = "sample index, a time with its unit (250ns, 1.5us), or @T for the raw time stamp T"


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

    p = command("info", "summarise a dump", cmd_info)
    p.add_argument("--limit", type=nonneg, default=10, help="signal names to list (default 10)")

    command("scopes", "show the scope tree", cmd_scopes)

    p = command("signals", "list signal names and widths", cmd_signals)
    g = p.add_mutually_exclusive_group()
    g.add_argument("--glob", metavar="P", help="only names matching the glob pattern P (* and ?)")
    g.add_argument("--contains", metavar="S", help="only names containing S (any case)")

    p = command("value", "the value of a signal at a sample index", cmd_value, values=True)
    p.add_argument("name", help="signal name")
    p.add_argument("index", type=parse_sample, help=SAMPLE_HELP)

    p = command("snapshot", "all values at a sample index", cmd_snapshot, values=True)
    p.add_argument("index", type=parse_sample, help=SAMPLE_HELP)
    p.add_argument("--scope", metavar="S", help="only signals under scope S (names relative)")

    p = command("changes", "signals that changed at a sample index", cmd_changes, values=True)
    p.add_argument("index", type=parse_sample, help=SAMPLE_HELP)
    p.add_argument("--scope", metavar="S", help="only signals under scope S")

    p = command("transitions", "every change of one signal", cmd_transitions, values=True)
    p.add_argument("name", help="signal name")
    p.add_argument("--limit", type=nonneg, metavar="N", help="show at most N transitions")

    p = command("stats", "statistics of one signal", cmd_stats)
    p.add_argument("name", help="signal name")

    p = command("find", "sample indices where a condition holds", cmd_find, values=True, many=True)
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
    p.add_argument("--limit", type=nonneg, metavar="N", help="show at most N matches")
    p.add_argument(
        "--jobs", type=nonneg, metavar="N", help="with several dumps: processes (default: cores)"
    )
    p.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="search the dumps on a Dask cluster (tcp://host:port; needs tarn[dask])",
    )

    p = command(
        "export", "the values of signals where any changes, as CSV, JSON or Parquet", cmd_export
    )
    p.add_argument("names", nargs="+", metavar="NAME", help="signals, one column each")
    p.add_argument("--format", choices=("csv", "json", "parquet"), default="csv")
    p.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    p.add_argument("--from", dest="start", type=parse_sample, metavar="I", help=FROM_HELP)
    p.add_argument("--to", dest="stop", type=parse_sample, metavar="I", help=TO_HELP)

    p = command("wave", "draw signals as a timing diagram (SVG, time to scale)", cmd_wave)
    p.add_argument("names", nargs="+", metavar="NAME", help="signals to draw, top to bottom")
    p.add_argument(
        "--from",
        dest="start",
        type=parse_sample,
        metavar="I",
        help="first sample (index, time such as 1us, or @T)",
    )
    p.add_argument(
        "--to",
        dest="stop",
        type=parse_sample,
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
    token = CONVERT.set(args.convert)
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
        CONVERT.reset(token)
