"""The ``tarn`` command: summaries and queries of a dump from the shell."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

from tarn._core import PyTrace

_LOADERS = {
    ".vcd": PyTrace.from_vcd,
    ".fst": PyTrace.from_fst,
    ".fsdb": PyTrace.from_fsdb,
    ".vpd": PyTrace.from_vpd,
    ".wlf": PyTrace.from_wlf,
    ".dsn": PyTrace.from_shm,
    ".trn": PyTrace.from_shm,
    ".shm": PyTrace.from_shm,
}


def load(path: str) -> PyTrace:
    """Load a dump, choosing the loader by the file's extension (VCD when unknown)."""
    if os.path.isdir(path):
        return PyTrace.from_shm(path)
    ext = os.path.splitext(path)[1].lower()
    return _LOADERS.get(ext, PyTrace.from_vcd)(path)


def _cmd_info(args: argparse.Namespace) -> int:
    trace = load(args.file)
    names = trace.signal_names()
    scopes = trace.scopes()
    count = _index_count(trace)
    print(f"file:        {args.file}")
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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarn", description="Query waveform dumps.")
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="summarise a dump")
    info.add_argument("file", help="dump file (VCD, FST, FSDB, VPD, WLF or SHM)")
    info.add_argument("--limit", type=int, default=10, help="signal names to list (default 10)")
    info.set_defaults(run=_cmd_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, OSError) as e:
        print(f"tarn: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return 0
