import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "corpus"
EXAMPLES = ROOT / "examples"
DATA = ROOT / "tests" / "data"


def corpus_files(kind: str, suffix: str | None = None):
    """Files of one format from the shared corpus of real dumps (empty when it is absent)."""
    folder = CORPUS / kind
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir() if suffix is None or p.name.endswith(suffix))


@pytest.fixture
def example_vcd() -> str:
    return os.fspath(EXAMPLES / "counter.vcd")
