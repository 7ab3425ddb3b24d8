"""Diff page for two versions of a long real source text: pelorix's page against the same page
built through the standard difflib path (view.difflib rebound to a stand-in, which sends every
step through the interpreter), measured in the same run; plus the peak memory of the largest page.
Then the windowed page's build against the full page's for one large pair (their ratio), and the
windowed page's worst cases: the time each takes to build, and the lines its alignment changes
beside GNU diff --minimal's.

    python bench/diff_page.py [LINES ...] [--windowed LINES] [--worst LINES]
        (default: 50000 100000 --windowed 1000000 --worst 100000; 0 skips a part)
"""

import argparse
import difflib
import gc
import os
import random
import re
import subprocess
import sys
import sysconfig
import tempfile
import time
import types
from pathlib import Path

import pelorix
from pelorix.toolkit import _windowed, view

TIMESTAMP = re.compile(rb'<span class="timestamp">[^<]*</span>')


def source_lines(count):
    """`count` lines of the standard library's own sources, in a fixed order, repeated if short."""
    lines = []
    for path in sorted(Path(sysconfig.get_paths()["stdlib"]).glob("*.py")):
        lines += path.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
    while len(lines) < count:
        lines += lines
    return lines[:count]


def edited(lines, seed=20240607):
    """A new version: about 1% of the lines replaced, inserted or deleted, spread over the text."""
    rnd = random.Random(seed)
    new = list(lines)
    for _ in range(len(lines) // 100):
        at = rnd.randrange(len(new))
        kind = rnd.randrange(3)
        if kind == 0:
            new[at] = new[at].replace("e", "E", 1) if "e" in new[at] else "# changed\n"
        elif kind == 1:
            new.insert(at, f"    inserted_{at} = {rnd.random():.6f}\n")
        else:
            del new[at]
    return new


def write_inputs(count, folder):
    old = source_lines(count)
    first, second = Path(folder, "old.py"), Path(folder, "new.py")
    first.write_text("".join(old), encoding="utf-8")
    second.write_text("".join(edited(old)), encoding="utf-8")
    return str(first), str(second)


def timed(make, path, repeat):
    """Best time of `repeat` pages, each written to a new file (as the default temporary file
    is)."""
    best = float("inf")
    for _ in range(repeat):
        if os.path.exists(path):
            os.remove(path)
        gc.collect()
        start = time.perf_counter()
        make(path)
        best = min(best, time.perf_counter() - start)
    return best


def compare_speed(count, folder):
    file1, file2 = write_inputs(count, folder)
    diff = view.BeautifulHtmlDiff(file1=file1, file2=file2)
    fast_page, slow_page = os.path.join(folder, "fast.html"), os.path.join(folder, "slow.html")

    def page(path):
        diff.generate_html(output_file=path, auto_open=False)

    fast = timed(page, fast_page, 7)
    standard = view.difflib
    view.difflib = types.SimpleNamespace(SequenceMatcher=difflib.SequenceMatcher)
    try:
        slow = timed(page, slow_page, 2)
    finally:
        view.difflib = standard
    same = TIMESTAMP.sub(b"", Path(fast_page).read_bytes()) == TIMESTAMP.sub(
        b"", Path(slow_page).read_bytes()
    )
    size = os.path.getsize(fast_page)
    print(
        f"diff page, {count} lines ({size / 1e6:.1f} MB page, byte-identical: {same}): "
        f"baseline {slow * 1e3:.0f} ms, pelorix {fast * 1e3:.1f} ms, ratio {slow / fast:.1f}x"
    )
    if not same:
        raise SystemExit("the two pages differ")


# Runs in a fresh interpreter: the peak resident memory while one page is made, above what the
# process held just before (the kernel's high-water mark is reset first).
MEMORY_PROBE = """
import gc, os, sys
from pelorix.toolkit import view
diff = view.BeautifulHtmlDiff(file1=sys.argv[1], file2=sys.argv[2])
gc.collect()
def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
diff.generate_html(output_file=sys.argv[3], auto_open=False)
print(status("VmHWM:") - before)
"""


def peak_memory(count, folder):
    file1, file2 = write_inputs(count, folder)
    page = os.path.join(folder, "memory.html")
    # The probe imports the package this run imported: its parent folder first on the path.
    package_root = str(Path(pelorix.__file__).resolve().parent.parent)
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(
            [package_root] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        ),
    )
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, file1, file2, page],
        check=False,
        capture_output=True,
        text=True,
        env=env,
    )
    if out.returncode != 0:
        raise SystemExit(f"the memory probe failed:\n{out.stderr}")
    peak = int(out.stdout)
    inputs = os.path.getsize(file1) + os.path.getsize(file2)
    size = os.path.getsize(page)
    allowed = 3 * (size + inputs)
    print(
        f"peak memory, {count} lines: {peak / 1e6:.1f} MB while making a {size / 1e6:.1f} MB page "
        f"from {inputs / 1e6:.1f} MB of input; limit 3x (page + inputs) = {allowed / 1e6:.1f} MB; "
        f"ratio {peak / (size + inputs):.2f}x"
    )


def median_time(make, repeat=3):
    """Median time of `repeat` calls (the machine may be shared), and the last call's result."""
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = make()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2], result


def changed_lines(ops):
    """Lines an alignment changes: deleted plus inserted (a replaced pair counts two)."""
    return sum(i2 - i1 + j2 - j1 for tag, i1, i2, j1, j2 in ops if tag != "equal")


def gnu_changed_lines(file1, file2):
    """Lines GNU diff --minimal changes between two files."""
    out = subprocess.run(
        ["/usr/bin/diff", "--minimal", file1, file2], check=False, capture_output=True
    ).stdout
    return sum(line[:2] in (b"< ", b"> ") for line in out.splitlines())


def alignment_line(diff, file1, file2):
    """The windowed page's alignment (the aligner alone, median of three) and its changed lines
    beside GNU diff --minimal's."""
    seconds, ops = median_time(lambda: _windowed._align(diff.lines1, diff.lines2))
    ours, gnu = changed_lines(ops), gnu_changed_lines(file1, file2)
    return (
        f"alignment {seconds * 1e3:.0f} ms, changed lines {ours} "
        f"(GNU diff --minimal {gnu}, {ours / max(gnu, 1):.3f}x)"
    )


def windowed_build(count, folder):
    """Windowed page against full page, same pair, same run, medians of three."""
    file1, file2 = write_inputs(count, folder)
    diff = view.BeautifulHtmlDiff(file1=file1, file2=file2)
    full_page, windowed_page = os.path.join(folder, "full.html"), os.path.join(folder, "page.html")
    full, _ = median_time(lambda: diff.generate_html(output_file=full_page, auto_open=False))
    windowed, _ = median_time(lambda: _windowed.write_page(diff, windowed_page))
    sizes = [os.path.getsize(page) / 1e6 for page in (windowed_page, full_page)]
    print(
        f"windowed page build, {count} lines, ~1% changed: windowed {windowed * 1e3:.0f} ms "
        f"({sizes[0]:.1f} MB), full {full * 1e3:.0f} ms ({sizes[1]:.1f} MB), "
        f"ratio {windowed / full:.2f}x (target <= 0.65x); " + alignment_line(diff, file1, file2)
    )


def bench_pair_alignment(count, folder):
    """The windowed page's alignment of a speed pair, beside GNU diff --minimal."""
    file1, file2 = write_inputs(count, folder)
    diff = view.BeautifulHtmlDiff(file1=file1, file2=file2)
    print(f"windowed page, {count} lines: " + alignment_line(diff, file1, file2))


def worst_cases(count, seed=20240607):
    """The windowed page's worst cases, each a pair of line lists."""
    rnd = random.Random(seed)
    same = ["0.0\n"] * count
    unique = [f"value_{k} = {rnd.random():.12f}\n" for k in range(count // 2)]
    frequent = [line for u in unique for line in ("x = 0\n", u)]
    edited_unique = [u if k % 997 else f"changed_{k} = 1\n" for k, u in enumerate(unique)]
    return {
        "all lines equal but one in the middle": (
            same, same[: count // 2] + ["1.0\n"] + same[count // 2 + 1 :]),
        "two unrelated files of random lines": (
            [f"{rnd.getrandbits(64):016x}\n" for _ in range(count)],
            [f"{rnd.getrandbits(64):016x}\n" for _ in range(count)]),
        "every other line the same, every 997th other one changed": (
            frequent, [line for u in edited_unique for line in ("x = 0\n", u)]),
    }


def worst_case_builds(count, folder):
    """Each worst case's windowed page build (median of three) and its alignment."""
    for name, (old, new) in worst_cases(count).items():
        file1, file2 = os.path.join(folder, "old.txt"), os.path.join(folder, "new.txt")
        for path, lines in ((file1, old), (file2, new)):
            Path(path).write_text("".join(lines), encoding="utf-8")
        diff = view.BeautifulHtmlDiff(file1=file1, file2=file2)
        page = os.path.join(folder, "page.html")
        seconds, _ = median_time(lambda diff=diff, page=page: _windowed.write_page(diff, page))
        print(
            f"worst case, {count} lines, {name}: windowed build {seconds * 1e3:.0f} ms "
            f"(target <= 2000 ms); " + alignment_line(diff, file1, file2)
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("counts", nargs="*", type=int, default=[50_000, 100_000])
    parser.add_argument("--windowed", type=int, default=1_000_000)
    parser.add_argument("--worst", type=int, default=100_000)
    args = parser.parse_args()
    counts = [count for count in args.counts if count]
    with tempfile.TemporaryDirectory() as folder:
        for count in counts:
            compare_speed(count, folder)
            bench_pair_alignment(count, folder)
        if counts:
            peak_memory(max(counts), folder)
        if args.windowed:
            windowed_build(args.windowed, folder)
        if args.worst:
            worst_case_builds(args.worst, folder)


if __name__ == "__main__":
    main()
