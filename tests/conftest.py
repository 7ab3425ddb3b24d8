"""Fixtures shared by the areas of the suite: a headless Chromium, and a notebook run in a Jupyter
kernel."""

import json
import os
import pathlib
import sys

import browsing
import pytest


def pytest_configure(config):
    # A development stage named on PYTHONPATH that was never built would leave the suite quietly
    # testing whatever pelorix comes next on the path (so pelorix is imported only after this).
    for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        if entry and not os.path.isdir(entry):
            raise pytest.UsageError(
                f"PYTHONPATH names {entry}, which does not exist (build it: tools/devbuild NAME)"
            )


def pytest_report_header(config):
    import pelorix

    return f"pelorix under test: {pathlib.Path(pelorix.__file__).parent}"


@pytest.fixture(scope="session")
def docstring():
    """What the running interpreter makes of a docstring written with this text: the text itself
    on 3.12, while 3.13's compiler strips its indentation. Expected docstrings are written once,
    in the 3.12 layout, and compared through this."""

    def compiled(text):
        namespace = {}
        exec(f"def f():\n    {text!r}\n", namespace)  # the compiler is the reference
        return namespace["f"].__doc__

    return compiled


@pytest.fixture
def browser(request, tmp_path):
    """Debian's Chromium, headless, driven through chromedriver; quit after the test."""
    pytest.importorskip("selenium.webdriver")
    if not (browsing.CHROMIUM and browsing.DRIVER):
        pytest.skip("needs Debian's chromium and chromium-driver")
    driver = browsing.start_chromium(tmp_path / "profile")
    request.addfinalizer(driver.quit)
    return driver


@pytest.fixture(scope="session")
def run_notebook(tmp_path_factory):
    """Runs a notebook in a real Jupyter kernel and gives its code cells as (source, outputs)
    pairs. The kernel starts the interpreter running the tests with the package under test
    importable (the installed "python3" kernel starts whatever `python` is first on PATH)."""
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    home = tmp_path_factory.mktemp("jupyter")
    kernel_dir = home / "kernels" / "pelorix-test"
    kernel_dir.mkdir(parents=True)
    import pelorix

    package_root = str(pathlib.Path(pelorix.__file__).resolve().parent.parent)
    kernel = {
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "pelorix tests",
        "language": "python",
        "env": {"PYTHONPATH": os.pathsep.join([package_root, *sys.path])},
    }
    kernel_dir.joinpath("kernel.json").write_text(json.dumps(kernel))

    def run(path, cwd):
        with pytest.MonkeyPatch.context() as mp:
            mp.setenv("JUPYTER_PATH", str(home))
            nb = nbformat.read(path, as_version=4)
            resources = {"metadata": {"path": str(cwd)}}
            nbclient.NotebookClient(
                nb, kernel_name="pelorix-test", timeout=120, resources=resources
            ).execute()
        return [(c.source, c.outputs) for c in nb.cells if c.cell_type == "code"]

    return run
