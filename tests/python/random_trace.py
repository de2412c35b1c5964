"""Random VCD dumps together with the exact value every signal holds at every index.

The model keeps the engine's value variants apart, which Python's view of a value cannot (a
four-state vector and a missing value both read as None): ("int", n), ("logic", bits),
("real", x) or None for a missing value.
"""

import math
import random

import tarn

_CODES = "!\"#$%&'()*+,-/0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"


def code(i):
    """A distinct VCD identifier code for every i."""
    out = ""
    while True:
        out += _CODES[i % len(_CODES)]
        i //= len(_CODES)
        if i == 0:
            return out


def _bits_value(text):
    if "x" in text or "z" in text:
        return ("logic", tuple({"0": 0, "1": 1, "z": 3}.get(c, 2) for c in text))
    return ("int", int(text, 2))


def _random_change(rng, kind):
    """(VCD text before the code, model value) of one random change."""
    if kind == "scalar":
        c = rng.choice("0011xz")
        if c == "x":
            return "x", None  # the reader records a scalar x as no value
        if c == "z":
            return "z", ("logic", (3,))
        return c, ("int", int(c))
    if kind == "vector":
        text = "".join(rng.choice("0101x") if rng.random() < 0.2 else rng.choice("01")
                       for _ in range(4))
        return "b%s " % text, _bits_value(text)
    x = rng.choice([0.0, -0.0, 1.5, -2.25, 1e300, math.nan, math.inf])
    return "r%r " % x, ("real", x)


def random_trace(seed, n_signals=6, n_indices=40):
    """(trace, names, model) where model[name][i] is the value at index i."""
    rng = random.Random(seed)
    kinds = [rng.choice(["scalar", "vector", "real"]) for _ in range(n_signals)]
    names = ["top.s%d" % k for k in range(n_signals)]
    lines = ["$scope module top $end"]
    for k, kind in enumerate(kinds):
        width = {"scalar": 1, "vector": 4, "real": 64}[kind]
        vtype = "real" if kind == "real" else "wire"
        lines.append("$var %s %d %s s%d $end" % (vtype, width, code(k), k))
    lines += ["$upscope $end", "$enddefinitions $end"]
    model = {n: [] for n in names}
    current = [None] * n_signals
    # Quiet stretches make long runs; busy ones make many short ones.
    rate = [rng.choice([0.05, 0.3, 0.9]) for _ in range(n_signals)]
    for i in range(n_indices):
        lines.append("#%d" % (10 * i))
        for k in range(n_signals):
            if rng.random() < rate[k]:
                text, value = _random_change(rng, kinds[k])
                lines.append(text + code(k))
                current[k] = value
            model[names[k]].append(current[k])
    trace = tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")
    return trace, names, model


def strictly_equal(a, b):
    """Value equality for change detection: same variant, equal payload, NaN never equal."""
    if a is None or b is None:
        return a is None and b is None
    return a[0] == b[0] and a[1] == b[1]


def to_py(value):
    """The Python object a query returns for a model value."""
    if value is None or value[0] == "logic":
        return None
    return value[1]


def same_py(a, b):
    """Equality of returned Python values, with NaN equal to NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


def random_vcd(rng, n_times):
    """The text of a random dump: six signals of random kinds (one of them 70 bits wide) and
    change rates, some starting late (missing first), with x and z bits now and then."""
    kinds = [("1", 1), ("4", 4), ("8", 8), ("2", 2), ("r", 64), ("w", 70)]
    decl, sigs = [], []
    for k in range(6):
        kind, width = rng.choice(kinds)
        code = chr(33 + k)
        typ = "real" if kind == "r" else "wire"
        decl.append(f"$var {typ} {width} {code} s{k} $end")
        sigs.append((code, kind, width, rng.choice([0.02, 0.1, 0.4, 0.9])))
    lines = ["$scope module top $end", *decl, "$upscope $end", "$enddefinitions $end"]
    for time in range(n_times):
        lines.append(f"#{time}")
        for code, kind, width, rate in sigs:
            if time and rng.random() > rate:
                continue
            if time == 0 and rng.random() < 0.3:
                continue  # starts late: Missing first
            if kind == "r":
                lines.append(f"r{rng.choice(['0', '1.5', '2', 'nan', '-1'])} {code}")
            else:
                bits = "".join(rng.choice("0011x" if rng.random() < 0.1 else "01")
                               for _ in range(width))
                if kind == "w" and rng.random() < 0.8:
                    # Few low words, so that values often differ only above bit 63.
                    bits = bits[:6] + rng.choice(["0" * 64, "01" * 32, "1" * 64])
                if rng.random() < 0.03:
                    bits = "z" * width
                lines.append(f"b{bits} {code}" if width > 1 else f"{bits[-1]}{code}")
    return "\n".join(lines) + "\n"
