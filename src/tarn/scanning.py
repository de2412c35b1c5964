"""Searching many dumps: ``tarn.scan(paths, condition)``.

One task per dump: load it with only the signals the condition and the requested values need,
search it, and return a small frame of its matches. The tasks run on a local process pool, or on
a Dask cluster when a ``dask.distributed.Client`` (or a scheduler address) is given; nothing here
schedules, queues or talks over a network by itself. A dump that fails to load, or on which the
condition does not compile, never stops the scan: its message is kept in
``df.attrs["errors"]``.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["scan", "scan_file", "expand_paths", "signals_of"]

PathLike = str | os.PathLike[str]


def expand_paths(paths: PathLike | Iterable[PathLike]) -> tuple[list[str], dict[str, str]]:
    """The dumps ``paths`` names, in the order given: each glob pattern (``*``, ``?``, ``[``)
    expands to its matches in sorted order, and a path seen twice counts once. Patterns that
    match nothing come back as errors."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out: list[str] = []
    errors: dict[str, str] = {}
    seen: set[str] = set()
    for p in paths:
        text = os.fspath(p)
        if glob.has_magic(text) and not os.path.exists(text):
            found = sorted(glob.glob(text, recursive=True))
            if not found:
                errors[text] = "no file matches this pattern"
        else:
            found = [text]
        for f in found:
            if f not in seen:
                seen.add(f)
                out.append(f)
    return out, errors


def signals_of(condition: str, values: Sequence[str] = ()) -> list[str]:
    """Name patterns that keep every signal ``condition`` and ``values`` may refer to: each name
    as written, and any name it could be the last part of (short names resolve to those)."""
    from tarn.expr.parser import parse
    from tarn.expr.syntax import Name, walk

    names = [n.name for n in walk(parse(condition)) if isinstance(n, Name)] + list(values)
    patterns: list[str] = []
    for name in names:
        for pattern in (name, "*." + name):
            if pattern not in patterns:
                patterns.append(pattern)
    return patterns


def _search(
    path: str,
    condition: str,
    values: Sequence[str],
    signals: Sequence[str] | None,
    scope: str | None,
) -> tuple[Any, Any, str | None]:
    """(trace, the frame data of its matches, timescale); raises what loading or compiling
    raises."""
    import tarn
    from tarn._time import timescale_text

    trace = tarn.open(path, signals=list(signals) if signals is not None else None)
    compiled = tarn.compile(trace, condition, scope=scope)
    hits = trace.parallel_find(compiled)
    return trace, trace._frame_data(list(values), None, None, rows=hits), timescale_text(trace)


def _failure(e: BaseException) -> str:
    message = str(e.args[0]) if isinstance(e, KeyError) and e.args else str(e)
    return message or type(e).__name__


#: What loading or searching one dump may raise without stopping a scan.
_DUMP_ERRORS = (ValueError, OSError, KeyError, MemoryError)


def scan_file(
    path: str,
    condition: str,
    values: Sequence[str] = (),
    signals: Sequence[str] | None = None,
    scope: str | None = None,
) -> tuple[str, pd.DataFrame | None, str | None]:
    """One dump's part of a scan: (path, frame of its matches or None, error message or None).
    The frame has the columns ``index``, ``time`` and one per name in ``values``; its
    ``attrs["timescale"]`` is the dump's time unit ("1 ns", or None)."""
    try:
        trace, frame, scale = _search(path, condition, values, signals, scope)
    except _DUMP_ERRORS as e:
        return path, None, _failure(e)
    df = trace._pandas(list(values), frame)
    df.attrs["timescale"] = scale
    return path, df, None


def scan(
    paths: PathLike | Iterable[PathLike],
    condition: str,
    values: Sequence[str] = (),
    signals: Sequence[str] | None = None,
    jobs: int | None = None,
    client: Any = None,
    scheduler: str | None = None,
    scope: str | None = None,
    progress: bool = False,
) -> pd.DataFrame:
    """The matches of ``condition`` in many dumps, as one ``pandas.DataFrame``.

    ``paths`` is a path, or paths and glob patterns (``runs/*/dump.vcd.gz``). Each dump is loaded
    with only the signals ``condition`` and ``values`` need (plus the name patterns in
    ``signals``, if given) and searched on its own. The frame has the columns ``path``, ``index``,
    ``time`` and one per name in ``values``, one row per match, grouped by path in the order the
    paths are given. Dumps that fail (a load error, a condition that does not compile on them)
    are left out and reported in ``df.attrs["errors"]`` as ``{path: message}``;
    ``df.attrs["timescales"]`` gives each searched dump's time unit.

    The dumps are searched on a local process pool of ``jobs`` processes (default: the cores this
    process may use), or on a Dask cluster: ``client`` a ``dask.distributed.Client``, or
    ``scheduler`` its address (``"tcp://host:8786"``). ``progress`` shows a progress bar (tqdm)
    on standard error.
    """
    from tarn.trace import _need

    _need("pandas", "pandas", "scan")
    files, errors = expand_paths(paths)
    patterns = list(signals_of(condition, values)) + list(signals or [])
    args = (condition, tuple(values), tuple(patterns), scope)
    results: dict[str, tuple[Any, str | None, str | None]] = {}
    bar = _progress_bar(len(files)) if progress else None

    def done(path: str, payload: Any, error: str | None, scale: str | None = None) -> None:
        results[path] = (payload, error, scale)
        if bar is not None:
            bar.update(1)

    try:
        if scheduler is not None or client is not None:
            _run_dask(files, args, client, scheduler, done)
        elif files:
            _run_local(files, args, jobs, done)
    finally:
        if bar is not None:
            bar.close()

    found: list[tuple[str, Any]] = []
    timescales: dict[str, str | None] = {}
    for path in files:
        payload, error, scale = results.get(path, (None, "the scan lost this dump", None))
        if error is not None or payload is None:
            errors[path] = error or "no result"
            continue
        timescales[path] = scale
        found.append((path, payload))
    df = _combine(found, list(values))
    df.attrs["errors"] = errors
    df.attrs["timescales"] = timescales
    return df


def _combine(found: list[tuple[str, Any]], values: list[str]) -> pd.DataFrame:
    """One frame of every dump's matches, with the columns and types of `Trace.to_pandas`; a
    column whose kind the dumps disagree on holds Python objects."""
    import numpy as np
    import pandas as pd

    from tarn.trace import pandas_column

    counts = [len(p[0]) for _, p in found]
    paths = [path for path, _ in found]
    data: dict[str, Any] = {
        # Each path is stored once, however many matches it has.
        "path": pd.Categorical.from_codes(
            np.repeat(np.arange(len(paths)), counts), categories=pd.Index(paths, dtype=object)
        ),
        "index": np.concatenate([p[0] for _, p in found] or [np.zeros(0, np.uint64)]),
        "time": np.concatenate([p[1] for _, p in found] or [np.zeros(0, np.uint64)]),
    }
    for k, name in enumerate(values):
        kinds = {p[2][k] for _, p in found}
        parts = [p[3][k] for _, p in found]
        if len(kinds) != 1:
            data[name] = pd.Series(_objects(found, k), dtype=object)
            continue
        kind = kinds.pop()
        if kind in ("uint", "real"):
            joined: Any = (
                bytearray().join(v for v, _ in parts),
                bytearray().join(m for _, m in parts),
            )
        else:
            joined = [v for part in parts for v in part]
        data[name] = pandas_column(kind, joined)
    return pd.DataFrame(data, copy=False)


def _objects(found: list[tuple[str, Any]], k: int) -> list[Any]:
    """The values of column k as Python objects, for dumps that disagree on its kind."""
    import numpy as np

    out: list[Any] = []
    for _, (_, _, kinds, columns) in found:
        col = columns[k]
        if kinds[k] in ("uint", "real"):
            dtype = "<u8" if kinds[k] == "uint" else "<f8"
            vals = np.frombuffer(col[0], dtype=dtype).tolist()
            missing = np.frombuffer(col[1], dtype=np.bool_).tolist()
            out += [None if m else v for v, m in zip(vals, missing)]
        else:
            out += list(col)
    return out


def _task(path: str, args: tuple[str, tuple[str, ...], tuple[str, ...], str | None]) -> Any:
    """A scan's task: (path, the frame data of its matches or None, error or None, timescale).
    Frame data (arrays and lists) travels between processes faster than a frame."""
    condition, values, patterns, scope = args
    try:
        _, frame, scale = _search(path, condition, values, patterns, scope)
    except _DUMP_ERRORS as e:
        return path, None, _failure(e), None
    return path, frame, None, scale


def _run_local(
    files: list[str],
    args: tuple[str, tuple[str, ...], tuple[str, ...], str | None],
    jobs: int | None,
    done: Callable[..., None],
) -> None:
    import concurrent.futures
    import multiprocessing
    from concurrent.futures.process import BrokenProcessPool

    workers = jobs or len(os.sched_getaffinity(0))
    workers = max(1, min(workers, len(files)))
    if workers == 1:
        for f in files:
            done(*_task(f, args))
        return
    # Forked workers start at once and need no importable main module; tarn's worker pool
    # re-creates its threads in a forked child.
    context = multiprocessing.get_context("fork")
    todo = files
    for attempt in range(2):
        lost: list[str] = []
        with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context) as pool:
            futures = {pool.submit(_task, f, args): f for f in todo}
            for future in concurrent.futures.as_completed(futures):
                path = futures[future]
                try:
                    done(*future.result())
                except BrokenProcessPool as e:
                    # A worker died (killed, out of memory): the pool is gone, and with it
                    # every dump not finished yet. They get one more pool.
                    if attempt == 0:
                        lost.append(path)
                    else:
                        done(path, None, f"the worker searching it died ({e})")
                except Exception as e:
                    done(path, None, f"{type(e).__name__}: {e}")
        if not lost:
            return
        todo = [f for f in files if f in set(lost)]


def _run_dask(
    files: list[str],
    args: tuple[str, tuple[str, ...], tuple[str, ...], str | None],
    client: Any,
    scheduler: str | None,
    done: Callable[..., None],
) -> None:
    from tarn.trace import _need

    distributed = _need("dask.distributed", "dask", "a scan on a Dask cluster")
    own = client is None
    if own:
        client = distributed.Client(scheduler)
    try:
        # One task per dump; a worker lost mid-scan makes the scheduler run its tasks again
        # elsewhere (Dask's own retries), so no dump goes missing silently.
        futures = client.map(
            _task, files, args=args, pure=False, key=[f"tarn-scan-{i}" for i in range(len(files))]
        )
        paths = {f.key: p for f, p in zip(futures, files)}
        for future in distributed.as_completed(futures):
            try:
                done(*future.result())
            except Exception as e:  # the task failed for good (KilledWorker, say)
                done(paths[future.key], None, f"{type(e).__name__}: {e}")
    finally:
        if own:
            client.close()


def _progress_bar(total: int) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="dump", leave=False)
