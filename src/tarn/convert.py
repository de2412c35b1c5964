"""Running a simulator vendor's own converter to turn FSDB, SHM, VPD or WLF into VCD.

The recovery readers get only part of what those formats hold; a vendor's converter gets it
all. When one is on ``PATH``, :func:`tarn.open` runs it and loads the VCD it writes.

The VCD is streamed through a pipe where the system allows it: the converter inherits the pipe's
write end and is told to write to ``/dev/fd/N``, and the VCD reader reads the read end in one
pass, so no copy of the VCD ever lands on disk. The loaders hold the interpreter lock for the
whole load, so no Python code can watch the converter meanwhile: it runs under coreutils
``timeout`` in a process group of its own, and when the time is up every process of that group
is killed, the pipe's last write end closes and the load returns. Where that is not possible
(no ``timeout`` or no ``/dev/fd``, or a command line that asks for a file) the converter writes
a temporary file, which is removed afterwards whatever happens.
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass
from typing import IO

from tarn._core import PyTrace

__all__ = ["CONVERTERS", "TIMEOUT_VARIABLE", "DEFAULT_TIMEOUT", "ConversionFailed", "Converter"]

#: Format name -> (environment variable, default command line) of the vendor's converter.
CONVERTERS = {
    "fsdb": ("TARN_FSDB2VCD", "fsdb2vcd {input} -o {output}"),
    "shm": ("TARN_SIMVISDBUTIL", "simvisdbutil {input} -vcd -output {output} -overwrite"),
    "vpd": ("TARN_VPD2VCD", "vpd2vcd {input} {output}"),
    "wlf": ("TARN_WLF2VCD", "wlf2vcd {input} -o {output}"),
}

#: The environment variable bounding a converter's run, in seconds.
TIMEOUT_VARIABLE = "TARN_CONVERT_TIMEOUT"
DEFAULT_TIMEOUT = 600.0

# After the time is up, a converter that ignores SIGTERM gets SIGKILL this much later (at most;
# a short time limit gets as short a grace).
_KILL_AFTER = 5.0
# How much of the converter's output a failure report quotes.
_TAIL_LINES = 3
_TAIL_CHARS = 300


class ConversionFailed(Exception):
    """The converter ran but gave no usable VCD; the text says why."""


_PLACEHOLDER = re.compile(r"\{(input|output|output_file)\}")


@dataclass(frozen=True)
class Converter:
    """A converter command line: the program (a full path) and its arguments, placeholders
    still in them."""

    argv: tuple[str, ...]

    @property
    def program(self) -> str:
        return os.path.basename(self.argv[0])

    @property
    def to_file(self) -> bool:
        """The command asks for a regular file (``{output_file}``), not a pipe."""
        return any("{output_file}" in a for a in self.argv)

    @property
    def to_stdout(self) -> bool:
        """The command names no output: the VCD is what it prints."""
        return not any("{output}" in a or "{output_file}" in a for a in self.argv)

    def command(self, path: str, output: str) -> list[str]:
        """The arguments with the placeholders filled in (in one pass: a path that contains
        "{output}" stays as it is)."""
        values = {"input": path, "output": output, "output_file": output}
        return [_PLACEHOLDER.sub(lambda m: values[m.group(1)], a) for a in self.argv]


def find_converter(fmt: str) -> Converter | None:
    """The converter for format ``fmt``: the command line of its environment variable, or the
    default; None when there is none for the format, the variable is set empty, or the default
    program is not on ``PATH``.

    Raises ``ValueError`` for a command line that cannot be used, and :class:`ConversionFailed`
    when the variable names a program that is not on ``PATH`` (the user asked for it).
    """
    if fmt not in CONVERTERS:
        return None
    variable, default = CONVERTERS[fmt]
    configured = os.environ.get(variable)
    text = default if configured is None else configured
    try:
        argv = shlex.split(text)
    except ValueError as e:
        raise ValueError(f"{variable}: cannot split the command line {text!r}: {e}") from None
    if not argv:
        return None  # set empty: no conversion for this format
    if not any("{input}" in a for a in argv):
        raise ValueError(f"{variable}: the command line {text!r} has no {{input}} placeholder")
    found = shutil.which(argv[0])
    if found is None:
        if configured is None:
            return None
        raise ConversionFailed(f"{variable} names {argv[0]!r}, which is not on PATH")
    return Converter((found, *argv[1:]))


def timeout_seconds() -> float:
    """The bound on a converter's run: ``TARN_CONVERT_TIMEOUT`` seconds, by default 600."""
    text = os.environ.get(TIMEOUT_VARIABLE)
    if text is None or not text.strip():
        return DEFAULT_TIMEOUT
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 < seconds < float("inf"):
        raise ValueError(f"{TIMEOUT_VARIABLE} must be a positive number of seconds, not {text!r}")
    return seconds


def _can_stream() -> bool:
    return os.path.isdir("/proc/self/fd") and os.path.isdir("/dev/fd")


def run(converter: Converter, path: str, signals: str | list[str] | None = None) -> PyTrace:
    """Run ``converter`` on the dump at ``path`` and load the VCD it writes (keeping the signals
    that match ``signals``, as ``tarn.open`` does).

    Raises :class:`ConversionFailed` when it cannot be started, exits with an error, runs out of
    time, or writes something that holds no VCD signals. When this returns or raises (also on
    ``KeyboardInterrupt``), the converter's process has been reaped, its process group has been
    ended if it was still running, and every file and descriptor opened for it is closed or
    removed.
    """
    seconds = timeout_seconds()
    timeout_program = shutil.which("timeout")
    with tempfile.TemporaryFile() as log:
        if converter.to_file or timeout_program is None or not _can_stream():
            return _run_to_file(converter, path, seconds, log, signals)
        return _run_streamed(converter, path, seconds, timeout_program, log, signals)


def _run_streamed(
    converter: Converter,
    path: str,
    seconds: float,
    timeout_program: str,
    log: IO[bytes],
    signals: str | list[str] | None,
) -> PyTrace:
    read_end, write_end = os.pipe()
    try:
        argv = converter.command(path, f"/dev/fd/{write_end}")
        grace = min(_KILL_AFTER, seconds)
        limited = [timeout_program, "-k", f"{grace:g}", f"{seconds:g}", *argv]
        started = time.monotonic()
        with _started(
            limited,
            log,
            stdout=write_end if converter.to_stdout else log,
            pass_fds=() if converter.to_stdout else (write_end,),
        ) as proc:
            # Only the converter may hold the write end now: the load ends at its last close.
            os.close(write_end)
            write_end = -1
            error: str | None = None
            try:
                trace = PyTrace.load(f"/proc/self/fd/{read_end}", "vcd", signals)
            except ValueError as e:
                error = str(e)
            finally:
                # A converter still writing when the load stopped gets EPIPE instead of blocking.
                os.close(read_end)
                read_end = -1
            # timeout has ended it by now; the margin only guards against a stuck timeout.
            status = _wait(proc, started + seconds + grace + 5.0 - time.monotonic())
            elapsed = time.monotonic() - started
            # timeout exits with 124, or dies of SIGKILL when the converter needed it.
            timed_out = status is None or (
                status in (124, 128 + signal.SIGKILL, -signal.SIGKILL) and elapsed >= seconds
            )
            if error is not None and status == -signal.SIGPIPE:
                status = 0  # it was writing when the load gave up: the load's error says why
            _check(status, timed_out, seconds, log)
            if error is not None:
                raise ConversionFailed(f"its output is not a VCD: {error}")
            return _non_empty(trace, signals is not None)
    finally:
        for fd in (read_end, write_end):
            if fd >= 0:
                os.close(fd)


def _run_to_file(
    converter: Converter,
    path: str,
    seconds: float,
    log: IO[bytes],
    signals: str | list[str] | None,
) -> PyTrace:
    folder = tempfile.mkdtemp(prefix="tarn-convert-")
    try:
        output = os.path.join(folder, "dump.vcd")
        argv = converter.command(path, output)
        sink = open(output, "wb") if converter.to_stdout else nullcontext(log)
        with sink as out, _started(argv, log, stdout=out) as proc:
            status = _wait(proc, seconds)
        _check(status, status is None, seconds, log)
        if not os.path.exists(output):
            raise ConversionFailed("it wrote no output file")
        try:
            trace = PyTrace.load(output, "vcd", signals)
        except ValueError as e:
            raise ConversionFailed(f"its output is not a VCD: {e}") from None
        return _non_empty(trace, signals is not None)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@contextmanager
def _started(
    argv: list[str],
    log: IO[bytes],
    stdout: int | IO[bytes],
    pass_fds: tuple[int, ...] = (),
) -> Iterator[subprocess.Popen[bytes]]:
    """The converter's process, in a session and process group of its own (so a Ctrl-C at the
    terminal reaches tarn, which then ends it, and so its children can be ended with it). On the
    way out the whole group is ended unless the process exited, and the process is reaped."""
    try:
        proc = subprocess.Popen(
            argv,
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=log,
            pass_fds=pass_fds,
            start_new_session=True,
        )
    except OSError as e:
        raise ConversionFailed(f"cannot be started: {e}") from None
    try:
        yield proc
    finally:
        if proc.poll() is None:
            _end_group(proc)
        proc.wait()


def _end_group(proc: subprocess.Popen[bytes]) -> None:
    # The process is not reaped yet, so its id still names its group and nothing else.
    for sig, grace in ((signal.SIGTERM, 1.0), (signal.SIGKILL, None)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        if grace is not None:
            try:
                proc.wait(grace)
                return
            except subprocess.TimeoutExpired:
                pass


def _wait(proc: subprocess.Popen[bytes], seconds: float) -> int | None:
    """The exit status, or None when the process is still running after ``seconds``."""
    try:
        return proc.wait(max(seconds, 0.0))
    except subprocess.TimeoutExpired:
        return None


def _check(status: int | None, timed_out: bool, seconds: float, log: IO[bytes]) -> None:
    if timed_out:
        reason = f"timed out after {seconds:g} s"
    elif status is None or status == 0:
        return
    elif status < 0:
        reason = f"killed by signal {_signal_name(-status)}"
    else:
        reason = f"exit status {status}"
    said = _tail(log)
    raise ConversionFailed(reason + (f": {said}" if said else ""))


def _non_empty(trace: PyTrace, filtered: bool) -> PyTrace:
    # The VCD reader takes anything for a VCD, garbage for an empty one. A load that keeps only
    # some signals may keep none; its time stamps still show the output was a dump.
    if not trace.signal_names() and not (filtered and trace.max_index() + trace.timestamp(0)):
        raise ConversionFailed("its output holds no VCD signals")
    return trace


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return str(number)


def _tail(log: IO[bytes]) -> str:
    """The last lines the converter printed, on one line."""
    log.flush()
    size = log.seek(0, os.SEEK_END)
    log.seek(max(0, size - 4 * _TAIL_CHARS))
    text = log.read().decode("utf-8", "replace")
    lines = [" ".join(line.split()) for line in text.splitlines()]
    said = " / ".join([line for line in lines if line][-_TAIL_LINES:])
    return said if len(said) <= _TAIL_CHARS else "..." + said[-_TAIL_CHARS:]
