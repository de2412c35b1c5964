"""Write the large benchmark VCD deterministically.

About 5,000 signals of widths 1 to 64, about 300,000 time stamps and 10 million value changes
(about 190 MB). Signals differ in activity: a few toggle at most time stamps, most change
rarely, so per-signal costs can be compared between busy and quiet signals.

    python bench/gen_vcd.py [OUT] [--signals N] [--stamps N] [--changes N]

Writes OUT (default bench/out/big.vcd) and OUT.json with the counts.
"""

from __future__ import annotations

import argparse
import json
import os
import random


def code(i: int) -> str:
    """Identifier code i in the printable alphabet, shortest first."""
    chars = []
    i += 1
    while i:
        i -= 1
        chars.append(chr(33 + i % 94))
        i //= 94
    return "".join(chars)


def generate(path: str, signals: int, stamps: int, changes: int, seed: int = 1) -> dict:
    rng = random.Random(seed)
    widths = [1 if rng.random() < 0.5 else rng.randint(2, 64) for _ in range(signals)]
    codes = [code(i) for i in range(signals)]
    # Activity weights: a heavy tail so that some signals are busy and most are quiet.
    weights = [1.0 / (1 + i) ** 0.8 for i in range(signals)]
    rng.shuffle(weights)
    cum = []
    total = 0.0
    for w in weights:
        total += w
        cum.append(total)
    # set() drops repeated picks of busy signals; oversample so the total lands near `changes`
    per_stamp = int(changes / stamps * 1.07)
    written = 0
    with open(path, "w", buffering=1 << 20) as f:
        f.write("$date today $end\n$version tarn benchmark generator $end\n$timescale 1ps $end\n")
        f.write("$scope module top $end\n")
        groups = 50
        for g in range(groups):
            f.write(f"$scope module block{g} $end\n")
            for i in range(g, signals, groups):
                w = widths[i]
                rng_txt = f" [{w - 1}:0]" if w > 1 else ""
                f.write(f"$var wire {w} {codes[i]} sig{i}{rng_txt} $end\n")
            f.write("$upscope $end\n")
        f.write("$upscope $end\n$enddefinitions $end\n")
        # initial values for everyone
        out = ["#0", "$dumpvars"]
        for i in range(signals):
            out.append(value_line(rng, widths[i], codes[i]))
        out.append("$end")
        written += signals
        f.write("\n".join(out))
        f.write("\n")
        choose = rng.choices
        idx = range(signals)
        for t in range(1, stamps):
            picks = set(choose(idx, cum_weights=cum, k=per_stamp))
            lines = [f"#{t * 10}"]
            for i in picks:
                lines.append(value_line(rng, widths[i], codes[i]))
            written += len(picks)
            f.write("\n".join(lines))
            f.write("\n")
    info = {"path": path, "signals": signals, "stamps": stamps, "changes": written,
            "bytes": os.path.getsize(path)}
    with open(path + ".json", "w") as f:
        json.dump(info, f)
    return info


def value_line(rng: random.Random, width: int, c: str) -> str:
    if width == 1:
        r = rng.random()
        return ("x" if r < 0.01 else "1" if r < 0.5 else "0") + c
    v = rng.getrandbits(width)
    if rng.random() < 0.005:
        return f"bx {c}"
    return f"b{v:b} {c}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_out = os.path.join(os.path.dirname(__file__), "out", "big.vcd")
    ap.add_argument("out", nargs="?", default=default_out)
    ap.add_argument("--signals", type=int, default=5000)
    ap.add_argument("--stamps", type=int, default=300_000)
    ap.add_argument("--changes", type=int, default=10_000_000)
    args = ap.parse_args()
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    print(json.dumps(generate(args.out, args.signals, args.stamps, args.changes)))


if __name__ == "__main__":
    main()
