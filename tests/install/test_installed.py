"""What an install of pelorix holds, whether from the wheel, the sdist or a development stage: each
native module with its stub beside it, the typing marker, the Python modules, and none of the C++
sources or assets that were compiled into the modules."""

import importlib
import importlib.machinery
import importlib.metadata
import pathlib

import pytest
from native_modules import NATIVE_MODULES

import pelorix

PACKAGE = pathlib.Path(pelorix.__file__).parent


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_native_module_is_a_built_library_with_its_stub(name):
    path = pathlib.Path(importlib.import_module(name).__file__)
    assert path.suffix == ".so"
    assert path.with_name(name.rpartition(".")[2] + ".pyi").is_file()


def test_the_package_holds_exactly_the_listed_native_modules():
    # A module built outside native/modules.txt would escape the tests that read the list.
    found = set()
    for path in PACKAGE.rglob("*"):
        # the longest suffix first: .cpython-312-x86_64-linux-gnu.so before .so
        suffix = next((s for s in importlib.machinery.EXTENSION_SUFFIXES
                       if path.name.endswith(s)), None)
        if suffix:
            found.add("pelorix." + path.relative_to(PACKAGE).as_posix()[: -len(suffix)]
                      .replace("/", "."))
    assert found == set(NATIVE_MODULES)


@pytest.mark.parametrize(
    "name",
    [
        "py.typed",
        "__main__.py",
        "driver/VirtualDevice.py",
        "driver/common/quantity.py",
        "driver/common/quantity.pyi",
    ],
)
def test_package_ships(name):
    assert (PACKAGE / name).is_file()


def test_no_source_or_asset_is_shipped():
    shipped = [p.relative_to(PACKAGE) for p in PACKAGE.rglob("*") if p.is_file()]
    stray = [p for p in shipped if p.suffix in {".cpp", ".hpp", ".css", ".js"}]
    assert stray == []


def test_installed_metadata_names_the_command_and_the_interpreter():
    try:
        dist = importlib.metadata.distribution("pelorix")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("a development stage has no package metadata")
    (script,) = [e for e in dist.entry_points if e.group == "console_scripts"]
    assert (script.name, script.value) == ("pelorix", "pelorix.__main__:main")
    assert dist.metadata["Requires-Python"] == "<3.14,>=3.12"
    assert "# pelorix" in dist.metadata.get_payload()
