"""The full names of the package's native modules, read from native/modules.txt, the list the
build compiles them from.  Run as a script, it prints them one a line for tools/check-wheel."""

import pathlib

LIST = pathlib.Path(__file__).resolve().parents[1] / "native" / "modules.txt"


def read(path=LIST):
    """The first field of every line that is neither blank nor a comment."""
    lines = path.read_text(encoding="utf-8").splitlines()
    return [line.split()[0] for line in lines if line.strip() and not line.startswith("#")]


NATIVE_MODULES = read()

if __name__ == "__main__":
    print("\n".join(NATIVE_MODULES))
