"""The developer scripts that decide what gets built and with which interpreter: tools/tree-hash,
whose hash lets tools/demo and tools/test skip a build only when nothing built has changed, and
tools/find-python, which must pick a CPython of the version asked for wherever pyenv keeps it."""

import os
import pathlib
import subprocess
import sys

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
pytestmark = pytest.mark.skipif(not TOOLS.is_dir(), reason="the developer scripts are not here")


def git(repo, *args):
    subprocess.run(["git", "-C", str(repo), *args], check=True, capture_output=True)


def tree_hash(repo):
    done = subprocess.run(
        [sys.executable, str(TOOLS / "tree-hash"), str(repo)],
        check=True,
        capture_output=True,
        text=True,
    )
    return done.stdout.strip()


@pytest.fixture
def repo(tmp_path):
    """A small checkout laid out like the project, with its files in the index."""
    files = {
        ".gitignore": "build/\n*.so\n",
        "pyproject.toml": "[project]\n",
        "CMakeLists.txt": "project(x)\n",
        "native/core/core.cpp": "int f();\n",
        "native/view/module.cpp": "int g();\n",
        "src/pelorix/__init__.py": "",
        "tests/test_x.py": "def test(): pass\n",
        "tools/demo": "#!/bin/sh\n",
        "examples/a.ini": "a = 1\n",
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", ".")
    return tmp_path


def write(name, text="changed\n"):
    def change(repo):
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(text)

    return change


def rename(old, new):
    return lambda repo: (repo / old).rename(repo / new)


CHANGES = [
    # (what changes, whether a rebuild is needed)
    ("edit a module source", write("native/view/module.cpp"), True),
    ("edit the core", write("native/core/core.cpp"), True),
    ("edit the build description", write("CMakeLists.txt", "project(y)\n"), True),
    ("add a source nobody staged", write("native/view/new.cpp"), True),
    ("delete a source without telling git",
     lambda repo: (repo / "native/core/core.cpp").unlink(), True),
    ("rename a source", rename("native/core/core.cpp", "native/core/base.cpp"), True),
    ("edit a test", write("tests/test_x.py"), False),
    ("add a test", write("tests/test_y.py"), False),
    ("edit a developer script", write("tools/demo", "#!/bin/bash\n"), False),
    ("edit a sample file", write("examples/a.ini"), False),
    ("leave a build output", write("build/cmake/CMakeCache.txt"), False),
    ("leave an ignored library", write("src/pelorix/toolkit/view.cpython-312.so"), False),
]


@pytest.mark.parametrize(
    "change, rebuild", [(c[1], c[2]) for c in CHANGES], ids=[c[0] for c in CHANGES]
)
def test_tree_hash_changes_exactly_when_the_build_would(repo, change, rebuild):
    before = tree_hash(repo)
    change(repo)
    assert (tree_hash(repo) != before) == rebuild


def test_tree_hash_is_empty_outside_a_checkout(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[project]\n")
    env = dict(os.environ, GIT_CEILING_DIRECTORIES=str(tmp_path.parent))
    done = subprocess.run(
        [sys.executable, str(TOOLS / "tree-hash"), str(tmp_path)],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    assert done.stdout == ""


def interpreter(path, target):
    """An interpreter at `path`: a link to `target`, or a script that fails when target is None."""
    path.parent.mkdir(parents=True)
    if target is None:
        path.write_text("#!/bin/sh\nexit 1\n")
        path.chmod(0o755)
    else:
        path.symlink_to(target)
    return path


# Folders named for the running interpreter's version (X.Y), whose working interpreters are the
# running one; a folder of another version holds the running interpreter too, so only the version
# asked for may lead find-python into it.
@pytest.mark.parametrize(
    "versions, chosen",
    [
        # The newest patch release, by version and not by spelling.
        ({"X.Y.9": True, "X.Y.10": True, "3.11.7": True}, "X.Y.10"),
        # A folder whose interpreter does not run is passed over.
        ({"X.Y.10": False, "X.Y.2": True}, "X.Y.2"),
        ({"3.11.7": True, "OTHER.0": True}, None),
        ({}, None),
    ],
)
def test_find_python_takes_the_newest_working_pyenv_of_the_version(tmp_path, versions, chosen):
    running = "{}.{}".format(*sys.version_info[:2])
    other = {"3.12": "3.13", "3.13": "3.12"}[running]
    root = tmp_path / "pyenv"
    for folder, works in versions.items():
        version = folder.replace("X.Y", running).replace("OTHER", other)
        interpreter(
            root / "versions" / version / "bin" / f"python{version[:4]}",
            sys.executable if works else None,
        )
    # No pyenv and no pythonX.Y on this PATH: only the root is there to search.  3.12 is the
    # version asked for when none is named.
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "PYENV_ROOT": str(root)}
    asked = [] if running == "3.12" else [running]
    done = subprocess.run(
        ["bash", str(TOOLS / "find-python"), *asked],
        capture_output=True, text=True, env=env, check=False,
    )
    if chosen is None:
        assert done.returncode == 1
        assert f"no CPython {running} found" in done.stderr
    else:
        assert done.returncode == 0, done.stderr
        version = chosen.replace("X.Y", running)
        assert done.stdout.strip() == str(root / "versions" / version / "bin" / f"python{running}")


def test_find_python_refuses_an_unsupported_version():
    done = subprocess.run(["bash", str(TOOLS / "find-python"), "3.11"], capture_output=True,
                          text=True, check=False)
    assert done.returncode == 2 and "3.12 and 3.13" in done.stderr
