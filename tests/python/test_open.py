"""tarn.open: the loader is chosen by magic bytes first, then by extension."""

import os
import pathlib
import shutil

import pytest

import tarn
from tarn.formats import detect_format, sniff

from conftest import CORPUS, corpus_files

FST_HEADER = b"\x00" + (329).to_bytes(8, "big")


@pytest.mark.parametrize(
    "head, size, expected",
    [
        (b"\x00\x00\x00\x00\x1c\x3e\xd9\x48" + bytes(8), 4096, "fsdb"),
        (b"\x00\x00\x00\x00\xfd\xe0\x99\xc1", 12, "fsdb"),
        (b"\xa1\x95\x11\xbf\x00\x00\x00\x01", 2032, "shm"),
        (b"\x78\x56\x34\x12VCD+ 7.7", 2894, "vpd"),
        (FST_HEADER + bytes(8), 1105, "fst"),
        (b"\xfe" + (731).to_bytes(8, "big") + (1141).to_bytes(8, "big") + b"\x1f\x8b", 732, "fst"),
        (b"\x10\x76\x00\xac\x00\x32\x00\x00", 8192 * 6, "wlf"),
        (b"\x13\x64\x00\x79\x00\x32\x00\x00", 8192 * 9, "wlf"),
        (b"\x13\x64\x00\x79\x00\x32\x00\x00", 8192 * 9 + 1, None),  # not whole pages
        (b"$date\n\tMon\n$end\n", 100, "vcd"),
        (b"\xef\xbb\xbf\r\n  $timescale 1ps $end", 100, "vcd"),
        (b" $scope module $rootio $end", 100, "vcd"),
        (b"#0\n1!\n", 100, None),
        (b"", 0, None),
        (b"\x00" + (330).to_bytes(8, "big"), 1000, None),
        (b"hello world", 11, None),
    ],
)
def test_sniff(head, size, expected):
    assert sniff(head, size) == expected


def write(tmp_path, name, data: bytes) -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return os.fspath(path)


def test_content_beats_extension(tmp_path, example_vcd):
    text = pathlib.Path(example_vcd).read_bytes()
    as_fsdb = write(tmp_path, "wave.fsdb", text)
    assert detect_format(as_fsdb) == "vcd"
    assert tarn.open(as_fsdb).signal_names() == tarn.PyTrace.from_vcd(example_vcd).signal_names()
    assert detect_format(write(tmp_path, "dump.vcd", FST_HEADER + bytes(400))) == "fst"


def test_extension_when_content_says_nothing(tmp_path):
    assert detect_format(write(tmp_path, "empty.vcd", b"")) == "vcd"
    assert tarn.open(write(tmp_path, "empty2.VCD", b"")).signal_names() == []
    assert detect_format(write(tmp_path, "x.WLF", b"\x01" * 100)) == "wlf"
    assert detect_format(write(tmp_path, "x.trn", b"")) == "shm"


def test_nothing_fits(tmp_path):
    path = write(tmp_path, "notes.txt", b"just some text\n")
    with pytest.raises(ValueError) as e:
        tarn.open(path)
    message = str(e.value)
    assert "notes.txt" in message
    for tried in ("FST", "FSDB", "SHM", "VPD", "WLF", "VCD", ".vcd", ".fst", ".dsn"):
        assert tried in message


def test_directories(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(ValueError, match="no .dsn or .trn"):
        tarn.open(empty)
    db = tmp_path / "waves.shm"
    db.mkdir()
    (db / "waves.DSN").write_bytes(b"")
    assert detect_format(db) == "shm"


def test_paths_and_errors(tmp_path, example_vcd):
    names = tarn.PyTrace.from_vcd(example_vcd).signal_names()
    assert tarn.open(pathlib.Path(example_vcd)).signal_names() == names
    assert tarn.open(os.fsencode(example_vcd)).signal_names() == names
    assert tarn.open(example_vcd, format="VCD").signal_names() == names
    with pytest.raises(FileNotFoundError):
        tarn.open(tmp_path / "missing.vcd")
    with pytest.raises(FileNotFoundError):
        tarn.open(tmp_path / "missing.vcd", format="vcd")
    with pytest.raises(ValueError, match="unknown format 'gif'"):
        tarn.open(example_vcd, format="gif")
    # A loader's own error passes through unchanged.
    bad = write(tmp_path, "x.vpd", b"\x00" * 200)
    with pytest.raises(ValueError) as direct:
        tarn.PyTrace.from_vpd(bad)
    with pytest.raises(ValueError) as opened:
        tarn.open(bad)
    assert str(opened.value) == str(direct.value)


CORPUS_FILES = [p for kind in ("vcd", "fst", "fsdb", "vpd", "wlf") for p in corpus_files(kind)]
SHM_DIRS = corpus_files("shm")


@pytest.mark.skipif(not CORPUS.is_dir(), reason="corpus of real dumps not present")
@pytest.mark.parametrize("path", CORPUS_FILES + SHM_DIRS, ids=lambda p: p.name)
def test_real_dumps_are_recognised(path):
    # The corpus keeps one folder per format, whatever the files are named.
    assert detect_format(path) == path.parent.name


@pytest.mark.skipif(not SHM_DIRS, reason="corpus of real dumps not present")
def test_shm_database_files(tmp_path):
    src = SHM_DIRS[0]
    for f in sorted(src.iterdir()):
        assert detect_format(f) == "shm"
    copy = tmp_path / "copy"
    shutil.copytree(src, copy)
    assert detect_format(copy) == "shm"
