"""Timing diagrams of a trace's signals, drawn by WaveDrom (the optional ``tarn[wave]`` extra).

One diagram column per sample index. One-bit signals are drawn as levels (0, 1, x, z); other
signals as buses labelled with their values. A value without a two-state reading is shown as
x, or as z when it has z bits.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from tarn._core import PyTrace
from tarn._display import unknown_char

__all__ = ["DEFAULT_SPAN", "MAX_SPAN", "wavejson", "render_svg"]

#: Indices drawn when no end is given.
DEFAULT_SPAN = 64
#: The most indices one diagram may span (wider ones are unreadable and slow to draw).
MAX_SPAN = 1000


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
