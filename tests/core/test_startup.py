"""A native module that fails while loading fails as a module written in Python would: the original
exception reaches the importer (no wrapping, no chaining), load-time imports run in the module's own
order, and a failed import leaves nothing behind, so the next attempt behaves the same."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from native_modules import NATIVE_MODULES

# Each module's load-time imports, as a Python module with the same header would write them.
HEADERS = {
    "pelorix.driver.common.instrumentcore": [
        ("re", "import re"), ("sys", "import sys"),
        ("abc", "from abc import ABC, abstractmethod"), ("copy", "from copy import deepcopy"),
        ("datetime", "from datetime import datetime"), ("typing", "from typing import Any"),
        ("numpy", "import numpy as np"),
        ("pelorix.driver.common.quantity", "from .quantity import Quantity, newcfg")],
    "pelorix.toolkit.view": [
        ("difflib", "import difflib"), ("os", "import os"), ("tempfile", "import tempfile"),
        ("webbrowser", "import webbrowser"), ("datetime", "from datetime import datetime"),
        ("numpy", "import numpy as np")],
    "pelorix.toolkit._windowed": [
        ("pelorix.toolkit.view", "from pelorix.toolkit import view"),
        ("difflib", "import difflib")],
    "pelorix.toolkit.shell": [
        ("os", "import os"), ("platform", "import platform"), ("shutil", "import shutil"),
        ("subprocess", "import subprocess")],
    "pelorix.toolkit.ssh": [
        ("functools", "from functools import cached_property"), ("paramiko", "import paramiko")],
}

# Runs in a fresh interpreter: blocks some imports (None in sys.modules, or a stand-in module whose
# loading raises), then imports the target twice, then unblocks and imports it once more.  With
# `twin` set, the target is a Python module holding only the import statements.
CHILD = textwrap.dedent("""
    import importlib, importlib.abc, importlib.util, json, sys
    target, blocked, raising, twin = json.loads(sys.argv[1])
    package = target.rpartition(".")[0]
    importlib.import_module(package)

    class SiblingBroken(Exception):
        pass

    class Raising(importlib.abc.MetaPathFinder, importlib.abc.Loader):
        def find_spec(self, name, path=None, target=None):
            return importlib.util.spec_from_loader(name, self) if name in raising else None
        def create_module(self, module_spec):
            return None
        def exec_module(self, module):
            raise SiblingBroken(f"{module.__name__} cannot load here")

    def load():
        if not twin:
            return importlib.import_module(target)
        name = package + "._startup_twin"
        spec = importlib.util.spec_from_loader(name, loader=None)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        try:
            exec(compile(twin, name, "exec"), vars(module))
        except BaseException:
            del sys.modules[name]
            raise
        return module

    def attempt():
        try:
            load()
        except BaseException as e:
            return {"type": type(e).__qualname__, "module": type(e).__module__,
                    "message": str(e), "cause": repr(e.__cause__), "context": repr(e.__context__),
                    "left": target in sys.modules}
        return "loaded"

    saved = {name: sys.modules.pop(name, None) for name in blocked}
    for name in blocked:
        sys.modules[name] = None
    finder = Raising()
    sys.meta_path.insert(0, finder)
    results = [attempt(), attempt()]
    sys.meta_path.remove(finder)
    for name, module in saved.items():
        del sys.modules[name]
        if module is not None:
            sys.modules[name] = module
    results.append(attempt())
    print(json.dumps(results))
""")


def test_every_native_module_has_its_imports_listed():
    # a new module needs its entry above, an empty list if it imports nothing while loading
    assert sorted(HEADERS) == sorted(NATIVE_MODULES)


def run_child(target, blocked=(), raising=(), twin=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-P", "-c", CHILD,
                          json.dumps([target, list(blocked), list(raising), twin])],
                         capture_output=True, text=True, env=env, timeout=120, check=True)
    return json.loads(out.stdout)


def twin_of(target):
    return "\n".join(statement for _, statement in HEADERS[target])


CASES = [(target, HEADERS[target][k:]) for target in HEADERS for k in range(len(HEADERS[target]))]


@pytest.mark.parametrize("target, blocked", CASES, ids=[
    f"{target.rpartition('.')[2]}-{blocked[0][0]}" for target, blocked in CASES])
def test_a_blocked_import_fails_the_module_as_it_fails_python_source(target, blocked):
    # Every import from the k-th on is blocked, so the one reported shows which runs first.
    names = [name for name, _ in blocked]
    sibling = [n for n in names if n.startswith("pelorix.")]
    plain = [n for n in names if not n.startswith("pelorix.")]
    native = run_child(target, plain, sibling)
    python = run_child(target, plain, sibling, twin_of(target))
    assert native[0] != "loaded" and native[0]["type"] in {
        "ModuleNotFoundError", "ImportError", "SiblingBroken"}
    assert native[:2] == python[:2]  # same type, message, no cause; twice; nothing left behind
    assert native[2] == "loaded"


def test_a_sibling_that_raises_reaches_the_importer_unwrapped():
    target = "pelorix.driver.common.instrumentcore"
    first, second, third = run_child(target, raising=["pelorix.driver.common.quantity"])
    expected = {"type": "SiblingBroken", "module": "__main__",
                "message": "pelorix.driver.common.quantity cannot load here",
                "cause": "None", "context": "None", "left": False}
    assert first == second == expected
    assert third == "loaded"


def test_a_retried_import_compares_against_what_the_successful_attempt_found(tmp_path):
    """The first attempt fails after looking at difflib (builtins.open is missing) while the
    matcher's __init__ is patched; the second, with both restored, must take the native route."""
    child = textwrap.dedent("""
        import builtins, difflib, json, os, sys
        import numpy, tempfile, webbrowser, datetime, pelorix.toolkit
        original = difflib.SequenceMatcher.__init__
        difflib.SequenceMatcher.__init__ = lambda self, *a, **k: original(self, *a, **k)
        saved_open = builtins.open
        del builtins.open
        try:
            import pelorix.toolkit.view
        except AttributeError as e:
            first = str(e)
        builtins.open = saved_open
        difflib.SequenceMatcher.__init__ = original
        from pelorix.toolkit import view
        ran = set()
        sys.setprofile(lambda frame, event, arg: ran.add(frame.f_code.co_filename))
        view.BeautifulHtmlDiff(text1="a\\nb\\n", text2="a\\nc\\n").generate_html(
            output_file=sys.argv[1], auto_open=False)
        sys.setprofile(None)
        print(json.dumps([first, sorted(f for f in ran if f.endswith("difflib.py"))]))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-P", "-c", child, str(tmp_path / "page.html")],
                         capture_output=True, text=True, env=env, timeout=120, check=True)
    first, python_matcher_ran = json.loads(out.stdout)
    assert "open" in first
    assert python_matcher_ran == []
