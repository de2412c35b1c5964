"""Writes a VCD whose hierarchy is large enough (over 4 MiB uncompressed in FST) that FST
writers switch to the doubly LZ4-compressed hierarchy block. Few value changes keep it small."""
import sys

SCOPES = 300
PER_SCOPE = 300


def main(out):
    w = out.write
    w("$timescale 1ns $end\n$scope module top $end\n")
    codes = []
    n = 0
    for s in range(SCOPES):
        w(f"$scope module block_of_registers_number_{s:04d} $end\n")
        for v in range(PER_SCOPE):
            code = f"v{n}"
            codes.append(code)
            w(f"$var wire 1 {code} a_fairly_long_register_field_name_{v:04d}_bit $end\n")
            n += 1
        w("$upscope $end\n")
    w("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n")
    for i, code in enumerate(codes):
        w(f"{i % 2}{code}\n")
    w("$end\n")
    for t in range(1, 5):
        w(f"#{t * 10}\n")
        for code in codes[t * 7 :: 9973]:
            w(f"{t % 2}{code}\n")


if __name__ == "__main__":
    with open(sys.argv[1], "w") as f:
        main(f)
