"""Every public callable of every native module, called with hostile arguments, raises only
ordinary Python exceptions: no crash, no SystemError, no leaked references.  The calls run in a
worker subprocess (badinput_worker.py) with processes, terminals, browsers and SSH replaced by
fakes; a crash is reported with the callable and arguments that caused it, and the harness carries
on after it to find the next one."""

import importlib.machinery
import importlib.util
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from native_modules import NATIVE_MODULES

HERE = Path(__file__).resolve().parent
WORKER = HERE / "badinput_worker.py"
KNOWN_MODULES = NATIVE_MODULES
MAX_CRASHES = 8
WORKER_TIMEOUT = 300  # seconds; one run takes well under a minute, far more under the sanitizers


def native_modules():
    """The known modules, plus any other extension module shipped in the package."""
    names = list(KNOWN_MODULES)
    module_spec = importlib.util.find_spec("pelorix")
    for root in module_spec.submodule_search_locations or () if module_spec else ():
        for path in sorted(Path(root).rglob("*")):
            suffix = next(
                (s for s in importlib.machinery.EXTENSION_SUFFIXES if path.name.endswith(s)), None
            )
            if suffix:
                rel = path.relative_to(root).as_posix()[: -len(suffix)]
                name = "pelorix." + rel.replace("/", ".")
                if name not in names:
                    names.append(name)
    return names


def require_built(module):
    try:
        module_spec = importlib.util.find_spec(module)
    except ModuleNotFoundError:
        module_spec = None
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    if module_spec is None or not str(module_spec.origin).endswith(suffixes):
        pytest.skip(f"{module} is not built")


class Run:
    """The outcome of running every case of one module, across worker restarts after crashes."""

    def __init__(self, module, mode, tmp_path):
        self.module, self.mode = module, mode
        self.work = tmp_path / "work"
        self.work.mkdir()
        self.progress = tmp_path / "progress.txt"
        self.results = tmp_path / "results.jsonl"
        self.env = dict(
            os.environ,
            TMPDIR=str(self.work),
            BROWSER="true",
            PYTHONHASHSEED="0",
            PATH=f"{self.work / 'bin'}{os.pathsep}{os.environ.get('PATH', '')}",
        )
        # The worker runs in the scratch directory: relative entries must not change meaning.
        self.env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p
        )
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        self.crashes = []
        self.records = []
        self.execute()

    def command(self, *extra, results=None, progress=None):
        return [
            sys.executable,
            "-X",
            "faulthandler",
            str(WORKER),
            self.module,
            "--tmp",
            str(self.work),
            "--progress",
            str(progress or self.progress),
            "--results",
            str(results or self.results),
            "--mode",
            self.mode,
            *extra,
        ]

    def worker(self, *extra, **files):
        try:
            proc = subprocess.run(
                self.command(*extra, **files),
                env=self.env,
                cwd=self.work,
                capture_output=True,
                text=True,
                errors="replace",
                timeout=WORKER_TIMEOUT,
                check=False,
            )
            return proc.returncode, proc.stderr
        except subprocess.TimeoutExpired as e:
            stderr = e.stderr.decode(errors="replace") if isinstance(e.stderr, bytes) else ""
            return "timeout", stderr

    def read(self, path):
        if not path.exists():
            return []
        return path.read_text(encoding="utf-8", errors="replace").splitlines()

    def last_case(self):
        lines = self.read(self.progress)
        if not lines:
            return None, None
        index, _, label = lines[-1].partition("\t")
        return int(index), label

    def finished(self):
        return any(
            json.loads(line)["kind"] in ("done", "empty") for line in self.read(self.results)
        )

    def execute(self):
        start = 0
        while True:
            status, stderr = self.worker("--start", str(start))
            if self.finished():
                break
            index, label = self.last_case()
            if index is None:
                pytest.fail(
                    f"{self.module}: the harness worker failed before its first case "
                    f"({describe(status)}):\n{stderr[-3000:]}"
                )
            alone = None
            if index >= 0:
                results = self.progress.with_name(f"alone-{index}.jsonl")
                self.worker(
                    "--only",
                    str(index),
                    results=results,
                    progress=self.progress.with_name(f"alone-{index}.txt"),
                )
                alone = not any(json.loads(line)["kind"] == "done" for line in self.read(results))
            self.crashes.append((index, label, status, stderr, alone))
            if index < 0 or len(self.crashes) >= MAX_CRASHES:
                break
            start = index + 1
        self.records = [json.loads(line) for line in self.read(self.results)]

    def of_kind(self, kind):
        return [r for r in self.records if r["kind"] == kind]

    def report(self, kinds):
        lines = []
        for index, label, status, stderr, alone in self.crashes:
            where = "reproduces when run alone" if alone else "does not reproduce alone"
            lines.append(f"CRASH ({describe(status)}) in case {index}: {label} [{where}]")
            lines.append(
                f"    reproduce: cd {self.work} && PYTHONPATH={self.env['PYTHONPATH']} "
                + " ".join(self.command("--only", str(index)))
            )
            lines.extend("    | " + line for line in stderr.strip().splitlines()[-25:])
        for record in [r for r in self.records if r["kind"] in kinds][:60]:
            lines.append(f"{record['kind'].upper()}: {record['case']}: {record['detail']}")
        return "\n".join(lines)


def describe(status):
    if status == "timeout":
        return f"no answer within {WORKER_TIMEOUT} s"
    if isinstance(status, int) and status < 0:
        return signal.Signals(-status).name
    return f"exit status {status}"


def run_harness(module, mode, tmp_path, failures=("problem",)):
    """Runs every case of `mode` on a built module; fails on a crash or a record of `failures`."""
    require_built(module)
    run = Run(module, mode, tmp_path)
    if run.of_kind("empty"):
        pytest.skip(run.of_kind("empty")[0]["detail"])
    if run.crashes or any(run.of_kind(kind) for kind in failures):
        pytest.fail(f"{module}:\n{run.report(set(failures))}", pytrace=False)
    return run


@pytest.mark.parametrize("module", native_modules())
def test_hostile_arguments_raise_only_ordinary_exceptions(module, tmp_path):
    run = run_harness(module, "cases", tmp_path)
    for slow in run.of_kind("slow"):
        print(f"slow case: {slow['case']}: {slow['detail']}")


@pytest.mark.parametrize("module", native_modules())
def test_every_argument_count_ends_in_a_result_or_an_exception(module, tmp_path):
    """Counts of keyword names and of positionals from none to about 200, across 64 and 128."""
    run_harness(module, "shapes", tmp_path)


@pytest.mark.parametrize("module", native_modules())
def test_no_references_leak_on_success_or_error_paths(module, tmp_path):
    run_harness(module, "leaks", tmp_path, failures=("leak", "problem"))


def test_harness_pins_crashes_system_errors_and_leaks_to_their_callable(tmp_path):
    (tmp_path / "cases").mkdir()
    cases = Run("badinput_selftest", "cases", tmp_path / "cases")
    assert [label for _, label, _, _, _ in cases.crashes] == [
        f"crash_on_bytes: value=b'\\xff\\xfe' ({how})"
        for how in ("positional", "keyword", "keyword, dict")
    ], cases.report({"problem"})
    assert all(status != 0 and alone for _, _, status, _, alone in cases.crashes)
    assert "Segmentation fault" in cases.crashes[0][3], "the crash report lacks the fault"
    problems = {r["case"] for r in cases.of_kind("problem")}
    assert {
        "system_error_on_none: value=None (positional)",
        "system_error_on_none: value=None (keyword)",
    } <= problems
    assert all(case.startswith("system_error_on_none") for case in problems)
    assert cases.finished(), "the harness stopped at the crash instead of carrying on"

    (tmp_path / "leaks").mkdir()
    leaks = Run("badinput_selftest", "leaks", tmp_path / "leaks")
    leaked = {r["case"].split(":")[0] for r in leaks.of_kind("leak")}
    assert leaked == {"leak_list"}, leaks.report({"leak"})
