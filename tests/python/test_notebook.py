"""examples/tour.ipynb runs from top to bottom, and is kept in the repository without outputs."""

import json
import os
import pathlib

import pytest

import tarn

from conftest import EXAMPLES

NOTEBOOK = EXAMPLES / "tour.ipynb"


def test_notebook_is_stored_without_outputs():
    nb = json.loads(NOTEBOOK.read_text(encoding="utf-8"))
    for cell in nb["cells"]:
        if cell["cell_type"] == "code":
            assert cell["outputs"] == [] and cell["execution_count"] is None


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the kernel would inherit AddressSanitizer, under which matplotlib's libraries crash",
)
def test_notebook_runs(monkeypatch):
    # The kernel imports the tarn these tests run against, wherever it is.
    here = str(pathlib.Path(tarn.__file__).resolve().parents[1])
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]))
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    nb = nbformat.read(NOTEBOOK, as_version=4)
    client = nbclient.NotebookClient(
        nb, timeout=300, kernel_name="python3", resources={"metadata": {"path": str(EXAMPLES)}}
    )
    client.execute()
    outputs = [o for cell in nb.cells if cell.cell_type == "code" for o in cell.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    rich = [o for o in outputs if o.output_type in ("execute_result", "display_data")]
    assert any("image/svg+xml" in o.data for o in rich)  # the timing diagram
    assert any("image/png" in o.data for o in rich)  # the plot
    assert any("text/html" in o.data for o in rich)  # the trace and the frame
