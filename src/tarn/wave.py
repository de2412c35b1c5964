"""Timing diagrams of a trace's signals.

:func:`svg` draws them with time running proportionally along the x axis, labelled with the
dump's unit: a clock of fixed period looks regular and a long quiet stretch is long. One-bit
signals are drawn as levels (0, 1, x, z), other signals as buses labelled with their values; a
value without a two-state reading is x, or z when all its bits are z. Stretches with more changes
than pixels are drawn as one grey band.

:func:`wavejson` builds the same picture as a WaveJSON document with one column per sample index,
which WaveDrom (the optional ``tarn[wave]`` extra) draws with :func:`render_svg`.
"""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any
from xml.sax.saxutils import escape

from tarn._core import PyTrace
from tarn._display import unknown_char
from tarn._time import UNITS

__all__ = ["DEFAULT_SPAN", "MAX_SPAN", "MAX_SVG_SPAN", "svg", "wavejson", "render_svg"]

#: Indices drawn when no end is given.
DEFAULT_SPAN = 64
#: The most indices one WaveDrom diagram may span (one column each: wider ones are unreadable).
MAX_SPAN = 1000
#: The most indices one proportional drawing may span.
MAX_SVG_SPAN = 200_000


def _label(value: Any, hex_values: bool) -> str:
    if isinstance(value, int):
        return f"{value:X}" if hex_values else str(value)
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def wavejson(
    trace: PyTrace,
    names: Sequence[str],
    start: int,
    stop: int,
    hex_values: bool = False,
    title: str | None = None,
) -> dict[str, Any]:
    """The WaveJSON document drawing ``names`` over the sample indices ``start`` to ``stop``."""
    if stop < start:
        raise ValueError(f"the last index {stop} is before the first {start}")
    # Lane labels drop the scope all names share; the header names it instead.
    scope = _common_scope(names)
    cut = len(scope) + 1 if scope else 0
    lanes: list[dict[str, Any]] = []
    for name in names:
        values = trace.signal_values_range(name, start, stop + 1)
        sid = trace.signal_id(name)
        keys = [
            ("v", v) if v is not None else ("u", unknown_char(trace, sid, start + k))
            for k, v in enumerate(values)
        ]
        bits = trace.signal_width(name) == 1 and all(
            k[0] == "u" or (isinstance(k[1], int) and k[1] in (0, 1)) for k in keys
        )
        wave: list[str] = []
        data: list[str] = []
        prev = None
        for key in keys:
            if key == prev:
                wave.append(".")
            elif key[0] == "u":
                wave.append(str(key[1]))
            elif bits:
                wave.append(str(key[1]))
            else:
                wave.append("=")
                data.append(_label(key[1], hex_values))
            prev = key
        label = name[cut:]
        # WaveDrom sizes the label column from narrow font metrics; common fonts are wider.
        # Leading zero-width spaces (which it counts as wide and does not strip) widen the column
        # without changing what is drawn.
        label = "\u200b" * (len(label) // 8 + 1) + label
        lane: dict[str, Any] = {"name": label, "wave": "".join(wave)}
        if data:
            lane["data"] = data
        lanes.append(lane)
    doc: dict[str, Any] = {
        "signal": lanes,
        "head": {"tick": start},
        "foot": {"text": f"time {trace.timestamp(start)} to {trace.timestamp(stop)}"},
    }
    heading = " / ".join(t for t in (title, scope) if t)
    if heading:
        doc["head"]["text"] = heading
    return doc


def _common_scope(names: Sequence[str]) -> str:
    """The longest scope path that every name lies under ("" when there is none)."""
    paths = [n.split(".")[:-1] for n in names]
    if not paths:
        return ""
    common = paths[0]
    for p in paths[1:]:
        k = 0
        while k < min(len(common), len(p)) and common[k] == p[k]:
            k += 1
        common = common[:k]
    return ".".join(common)


def render_svg(doc: dict[str, Any], path: str) -> None:
    """Draw a WaveJSON document into the SVG file ``path``."""
    try:
        import wavedrom
    except ImportError:
        raise ImportError("drawing needs the WaveDrom package: pip install 'tarn[wave]'") from None
    wavedrom.render(json.dumps(doc)).saveas(path)


# ---------------------------------------------------------------- proportional drawing

_FONT = "DejaVu Sans Mono, Menlo, Consolas, monospace"
_CHAR = 7.2  # width of one character at 12 px
_LANE = 30  # height of a lane
_WAVE = 18  # height of a wave within its lane
_PLOT = 900  # width of the drawing area


@dataclass
class _Seg:
    """One stretch of constant value: from, to (time stamps) and how it is drawn."""

    t0: float
    t1: float
    kind: str  # "0", "1" (levels), "v" (a bus value), "x", "z"
    label: str = ""


def _segments(
    trace: PyTrace, name: str, start: int, stop: int, times: list[int], end: int, hex_values: bool
) -> list[_Seg]:
    values = trace.signal_values_range(name, start, stop + 1)
    width = trace.signal_width(name)
    levels = width == 1
    segs: list[_Seg] = []
    prev: tuple[str, str] | None = None
    for k, value in enumerate(values):
        if value is None:
            bits = trace.signal_bits(name, start + k)
            kind = "z" if bits and set(bits) == {"z"} else "x"
            label = bits if bits and kind == "x" and len(bits) <= 16 and width > 1 else kind
            key = (kind, label)
        elif levels and isinstance(value, int) and value in (0, 1):
            key = (str(value), "")
        else:
            key = ("v", _label(value, hex_values))
        if key != prev:
            t0 = times[k]
            if segs:
                segs[-1].t1 = t0
            segs.append(_Seg(t0, t0, key[0], key[1]))
            prev = key
    if segs:
        segs[-1].t1 = end
    return segs


def _nice_step(span: float, ticks: int = 8) -> float:
    """A round step (1, 2 or 5 times a power of ten) giving about ``ticks`` ticks over ``span``."""
    raw = span / ticks
    power = 10 ** math.floor(math.log10(raw)) if raw > 0 else 1
    for m in (1, 2, 5, 10):
        if m * power >= raw:
            return m * power
    return 10 * power


def _axis_unit(trace: PyTrace, span: int) -> tuple[float, str]:
    """The factor from time stamps to axis numbers, and the axis unit: the largest unit in which
    the span reads as at least 1 (so labels stay short)."""
    ts = trace.timescale()
    if ts is None:
        return 1.0, ""
    mult, unit = ts
    base = UNITS[unit]
    for name, power in sorted(UNITS.items(), key=lambda kv: -kv[1]):
        factor = mult * 10.0 ** (base - power)
        if span * factor >= 1 or power <= base:
            return factor, name
    return float(mult), unit


def _fmt(x: float) -> str:
    return f"{x:.6g}"


def svg(
    trace: PyTrace,
    names: Sequence[str],
    start: int,
    stop: int,
    hex_values: bool = False,
    title: str | None = None,
    width: int = _PLOT,
) -> str:
    """An SVG drawing of ``names`` over the sample indices ``start`` to ``stop``, time running
    proportionally along the x axis."""
    if stop < start:
        raise ValueError(f"the last index {stop} is before the first {start}")
    times = [trace.timestamp(i) for i in range(start, stop + 1)]
    # Time stamps that go back are drawn at their running maximum.
    for k in range(1, len(times)):
        times[k] = max(times[k], times[k - 1])
    t0, last = times[0], times[-1]
    # The last sample lasts until the next time stamp, or for an average step.
    nxt = trace.timestamp(stop + 1) if stop < trace.max_index() else 0
    step = (last - t0) / (stop - start) if stop > start else 1
    end = nxt if nxt > last else last + max(1, round(step))
    scope = _common_scope(names)
    cut = len(scope) + 1 if scope else 0
    labels = [_shorten(n[cut:], 40) for n in names]
    left = 16 + _CHAR * max([len(s) for s in labels] + [4])
    top = 34
    height = top + _LANE * len(names) + 40
    total = left + width + 24

    def x_of(t: float) -> float:
        return left + (t - t0) / (end - t0) * width

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{total:.0f}" height="{height}" '
        f'viewBox="0 0 {total:.0f} {height}" font-family="{_FONT}" font-size="12">',
        f'<rect width="{total:.0f}" height="{height}" fill="white"/>',
    ]
    heading = " / ".join(t for t in (title, scope) if t)
    if heading:
        out.append(f'<text x="8" y="18" font-weight="bold">{escape(heading)}</text>')
    # Time axis with round ticks, and a faint grid through the lanes.
    factor, unit = _axis_unit(trace, end - t0)
    tick = _nice_step((end - t0) * factor)
    axis_y = top + _LANE * len(names) + 8
    first = math.ceil(t0 * factor / tick)
    k = first
    while k * tick <= end * factor + 1e-9 * tick:
        x = x_of(k * tick / factor)
        out.append(
            f'<line x1="{x:.1f}" y1="{top - 4}" x2="{x:.1f}" y2="{axis_y}" stroke="#e3e3e3"/>'
        )
        text = _fmt(k * tick) + (f" {unit}" if unit else "")
        out.append(f'<text x="{x:.1f}" y="{axis_y + 16}" text-anchor="middle">{text}</text>')
        k += 1
    out.append(f'<line x1="{left}" y1="{axis_y}" x2="{left + width}" y2="{axis_y}" stroke="#555"/>')
    for row, name in enumerate(names):
        y = top + _LANE * row
        hi, lo = y + (_LANE - _WAVE) / 2, y + (_LANE + _WAVE) / 2
        out.append(f'<text x="8" y="{(hi + lo) / 2 + 4:.1f}">{escape(labels[row])}</text>')
        segs = _segments(trace, name, start, stop, times, end, hex_values)
        out += _draw_lane(segs, x_of, hi, lo)
    out.append("</svg>")
    return "\n".join(out)


def _draw_lane(segs: list[_Seg], x_of: Any, hi: float, lo: float) -> list[str]:
    out: list[str] = []
    mid = (hi + lo) / 2
    dense: list[float] = []  # a run of stretches narrower than a pixel or two: [from, to]
    level: list[str] = []  # the path of a run of 0/1 levels

    def flush_level() -> None:
        if level:
            out.append(
                f'<path d="{" ".join(level)}" fill="none" stroke="#1a7f37" stroke-width="1.5"/>'
            )
            level.clear()

    def flush_dense() -> None:
        if dense:
            x0, x1 = dense
            out.append(
                f'<rect x="{x0:.1f}" y="{hi}" width="{max(x1 - x0, 1):.1f}" '
                f'height="{lo - hi}" fill="#9e9e9e"/>'
            )
            dense.clear()

    prev_y: float | None = None
    for s in segs:
        x0, x1 = x_of(s.t0), x_of(s.t1)
        if x1 - x0 < 1.5:
            flush_level()
            prev_y = None
            if dense:
                dense[1] = x1
            else:
                dense[:] = [x0, x1]
            continue
        flush_dense()
        if s.kind in ("0", "1"):
            yv = lo if s.kind == "0" else hi
            if prev_y is None:
                level.append(f"M{x0:.1f},{yv}")
            elif prev_y != yv:
                level.append(f"L{x0:.1f},{yv}")
            level.append(f"L{x1:.1f},{yv}")
            prev_y = yv
            continue
        flush_level()
        prev_y = None
        if s.kind == "z":
            out.append(
                f'<line x1="{x0:.1f}" y1="{mid}" x2="{x1:.1f}" y2="{mid}" '
                'stroke="#3c78d8" stroke-width="1.5"/>'
            )
            continue
        slant = min(3.0, (x1 - x0) / 2)
        points = [
            (x0, mid),
            (x0 + slant, hi),
            (x1 - slant, hi),
            (x1, mid),
            (x1 - slant, lo),
            (x0 + slant, lo),
        ]
        fill, stroke = ("#f4cccc", "#cc0000") if s.kind == "x" else ("#e8f0fe", "#1a4d8f")
        pts = " ".join(f"{px:.1f},{py:.1f}" for px, py in points)
        out.append(f'<polygon points="{pts}" fill="{fill}" stroke="{stroke}"/>')
        room = int((x1 - x0 - 8) / _CHAR)
        if room >= 1 and s.label:
            text = (
                s.label if len(s.label) <= room else (s.label[: room - 1] + "…" if room > 1 else "")
            )
            if text:
                out.append(
                    f'<text x="{(x0 + x1) / 2:.1f}" y="{mid + 4:.1f}" '
                    f'text-anchor="middle">{escape(text)}</text>'
                )
    flush_level()
    flush_dense()
    return out


def _shorten(text: str, n: int) -> str:
    """``text`` cut to at most ``n`` characters, keeping its end (the signal's own name)."""
    return text if len(text) <= n else "…" + text[-(n - 1) :]
