"""The type stubs shipped beside each native module match what the built module exposes."""

import importlib
import os
import pathlib
import subprocess
import sys

import pytest
from native_modules import NATIVE_MODULES

import pelorix

# The Python module quantity ships a stub too.
MODULES = [*NATIVE_MODULES, "pelorix.driver.common.quantity"]


@pytest.mark.parametrize("module", MODULES)
def test_stub_matches_the_built_module(module, tmp_path):
    try:
        mod = importlib.import_module(module)
    except ImportError:
        pytest.skip(f"{module} is not built")
    stub = pathlib.Path(mod.__file__).parent / (module.rsplit(".", 1)[1] + ".pyi")
    assert stub.is_file(), f"no stub beside {mod.__file__}"
    root = pathlib.Path(pelorix.__file__).parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if root.name != "site-packages":  # an uninstalled build: point mypy at it
        env["MYPYPATH"] = str(root)
    r = subprocess.run([sys.executable, "-P", "-m", "mypy.stubtest", module,
                        "--mypy-config-file", os.devnull], capture_output=True, text=True, env=env,
                       cwd=tmp_path, check=False)
    assert r.returncode == 0, r.stdout + r.stderr


def test_package_is_marked_typed():
    assert (pathlib.Path(pelorix.__file__).parent / "py.typed").is_file()
