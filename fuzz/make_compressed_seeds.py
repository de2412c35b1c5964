"""Write the seeds of the `compressed` fuzz target: the VCD seeds gzip- and zstd-compressed, each
behind the byte that picks its codec (even: gzip, odd: zstd), and two streams of several members
or frames.

    python fuzz/make_compressed_seeds.py   (needs the zstd tool)
"""

import gzip
import pathlib
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "corpus" / "compressed"


def zstd(data: bytes) -> bytes:
    return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True,
                          check=True).stdout


def main() -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    for src in sorted((HERE / "corpus" / "vcd").iterdir()):
        data = src.read_bytes()[:8192]
        (OUT / f"{src.stem}.gz").write_bytes(b"\0" + gzip.compress(data, mtime=0))
        (OUT / f"{src.stem}.zst").write_bytes(b"\1" + zstd(data))
    a = (HERE / "corpus" / "vcd" / "counter.vcd").read_bytes()
    (OUT / "members.gz").write_bytes(b"\0" + gzip.compress(a[:200], mtime=0)
                                     + gzip.compress(a[200:], mtime=0) + bytes(16))
    (OUT / "frames.zst").write_bytes(b"\1" + zstd(a[:200]) + zstd(a[200:]))


if __name__ == "__main__":
    main()
