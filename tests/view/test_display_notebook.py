"""The display helpers' example notebook runs in a real Jupyter kernel and shows trees and LaTeX."""

import pathlib
import re

import pytest

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "examples" / "display.ipynb"


@pytest.fixture(scope="module")
def cells(run_notebook, tmp_path_factory):
    """The notebook's code cells after a run, as (source, outputs) pairs."""
    return run_notebook(NOTEBOOK, tmp_path_factory.mktemp("cwd"))


def outputs_of(cells, needle):
    [outputs] = [out for source, out in cells if needle in source]
    assert all(o.output_type != "error" for o in outputs)
    return outputs


def plain_text(outputs):
    """The text form of the outputs, without the terminal colour codes Rich puts into it."""
    text = "".join(o.get("text", "") + o.get("data", {}).get("text/plain", "") for o in outputs)
    return re.sub(r"\x1b\[[0-9;]*m", "", text)


def latex(outputs):
    return [o.data["text/latex"] for o in outputs if "text/latex" in o.get("data", {})]


def test_record_tree(cells):
    text = plain_text(outputs_of(cells, "display_tree(record"))
    assert [line.rstrip() for line in text.splitlines()] == [
        "run 42",
        "├── sample: Nb film #7",
        "├── cryostat",
        "│   ├── T_mK: 12.5",
        "│   └── field_T: 0.0",
        "└── readout",
        "    ├── lo_GHz: 6.25",
        "    └── filter",
        "        ├── type: [low-pass]",
        "        └── cutoff_MHz: 80",
    ]


def test_driver_quantities_tree(cells):
    outputs = outputs_of(cells, 'getValue("quantity")')
    text = plain_text(outputs)
    lines = [line.rstrip() for line in text.splitlines()]
    assert lines[0] == "VirtualDevice"
    assert [line for line in lines if not line.startswith(("│", " "))] == [
        "VirtualDevice", "├── CH1", "├── CH2", "└── CHglobal"]
    assert "│   ├── Amplitude: 1.0" in lines
    assert "    └── Temperature: 25.0" in lines
    # the notebook front end gets the coloured tree as HTML as well
    html = "".join(o.get("data", {}).get("text/html", "") for o in outputs)
    assert re.search(r'<span style="color: #008000;[^"]*font-weight: bold">Amplitude</span>', html)


def test_matrices(cells):
    assert latex(outputs_of(cells, "reshape(3, 4)")) == [
        "**A 3 by 4 matrix**",
        ("$\\displaystyle \\begin{pmatrix}0 & 1 & 2 & 3 \\\\ 4 & 5 & 6 & 7 \\\\ "
         "8 & 9 & 10 & 11\\end{pmatrix}$"),
    ]
    [wave] = latex(outputs_of(cells, "bmatrix"))
    assert wave.startswith("$\\displaystyle \\begin{bmatrix}0.0 & 0.01 & ")
    assert wave.count(" \\\\ ") == 11 and wave.count("\\cdots") == 11
    assert "\\ddots" in wave and wave.endswith("\\end{bmatrix}$")
    assert latex(outputs_of(cells, "max_cols=6")) == [
        r"$\displaystyle \begin{pmatrix}0 \\ 1 \\ 2 \\ \vdots \\ 97 \\ 98 \\ 99\end{pmatrix}$"]
