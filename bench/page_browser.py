"""What the user waits for on a large diff page: load, the "Diff only" switch, Next, Previous,
"All", Go to line and a scroll by one screen, timed in headless Chromium, for the full page (the
one compare writes: the baseline) and the windowed page (the contender) of the same text pair,
in the same run, with the time each takes to build. The scroll also says whether the rows in
view were drawn in the frame that shows it. Each action is a click dispatched inside the page,
timed until the next frame has been drawn (so style and layout work the click leaves behind is
counted too) and, apart, inside its handler alone. The windowed page is measured first (the
browser is still busy tearing down a full page for a while after leaving it), three times, and its
figures are the medians; the full page once, and once more with no script at all (the browser's
own share of its load).

    python bench/page_browser.py [LINES:PERCENT ...] [--full-max LINES] [--baseline REV]
                                 [--metrics]

    LINES:PERCENT    a synthetic text pair of LINES lines with about PERCENT % of them changed
                     (default: 20000:1 100000:1 20000:30 1000000:1)
    --full-max LINES the full page only up to this many lines (default 200000; it takes minutes
                     to open well before that)
    --baseline REV   the full page with the script of git revision REV instead of its own
    --metrics        also print Chromium's own counters (style, layout, script) for each load
"""

import argparse
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from pelorix.toolkit import _windowed, view

REPO = Path(__file__).resolve().parent.parent
# The tests' one way of starting Chromium.
sys.path.insert(0, str(REPO / "tests"))
import browsing

# Where the page script lives, newest layout first: a baseline revision may predate a move.
SCRIPT_PATHS = ("native/view/assets/diff.js", "pelorix/toolkit/view/assets/diff.js")

# Clicks the element, then waits for the frame after it: a callback queued from
# requestAnimationFrame runs once that frame's style, layout and paint are done.
CLICK = """
const done = arguments[arguments.length - 1];
const start = performance.now();
document.querySelector(arguments[0]).click();
const handler = performance.now() - start;
requestAnimationFrame(() => setTimeout(() => done(handler), 0));
"""
NEXT_FRAME = """
const done = arguments[arguments.length - 1];
requestAnimationFrame(() => setTimeout(done, 0));
"""
SET_LINE = "document.getElementById('goto-input').value = arguments[0];"
# Where the clicks end: the counter says which stop, and of how many (the full page counts changed
# lines, the windowed page changes).
STATE = "return document.getElementById('diff-counter').textContent"
# The controls: the windowed page's toolbar has ids of its own (a page without them, as an older
# windowed page, is driven like the full page).
CONTROLS = {
    "full": {
        "next": "button[title='Next diff']",
        "prev": "button[title='Previous diff']",
        "go": ".goto-line button",
    },
    "windowed": {"next": "#next-change", "prev": "#prev-change", "go": "#goto-button"},
}
# Scrolls the page's vertical scroller (the windowed page's one, else the left panel) down by one
# screen; in the next animation frame callback, which runs after the scroll has been handled and
# before that frame is drawn, says whether rows cover the whole view.
SCROLL = """
const done = arguments[arguments.length - 1];
const view = document.querySelector('.diff_view');
const area = getComputedStyle(view).overflowY === 'auto' ? view
    : document.querySelector('.panel_content');
const start = performance.now();
area.scrollTop += area.clientHeight;
requestAnimationFrame(() => {
    const box = area.getBoundingClientRect();
    const rows = [...area.querySelectorAll('.line_container, .diff_filler, .diff_skipped')]
        .map(r => r.getBoundingClientRect()).filter(r => r.height > 0);
    let covered = true;
    for (let y = box.top + 1; y < box.top + area.clientHeight - 1; y += 10) {
        covered = covered && rows.some(r => r.top <= y && r.bottom >= y);
    }
    done([performance.now() - start, covered]);
});
"""


def text_pair(lines, percent, seed=20240607):
    """Two texts of about `lines` unique lines; about `percent` % of the left lines replaced,
    deleted, or preceded by an inserted line, spread over the text."""
    rnd = random.Random(seed)
    left, right = [], []
    for i in range(lines):
        line = f"param_{i:06d} = {rnd.randrange(10**6)}  # {rnd.choice('abcdefgh') * 8}\n"
        left.append(line)
        if rnd.random() * 100 >= percent:
            right.append(line)
            continue
        kind = rnd.randrange(5)
        if kind < 3:
            right.append(line.replace("=", "=>", 1))
        elif kind == 3:
            right += [f"inserted_{i:06d} = {rnd.random():.6f}\n", line]
    return "".join(left), "".join(right)


def baseline_script(rev):
    if rev is None:
        return None
    for path in SCRIPT_PATHS:
        out = subprocess.run(
            ["git", "-C", str(REPO), "show", f"{rev}:{path}"],
            capture_output=True,
            text=True,
            check=False,
        )
        if out.returncode == 0:
            return out.stdout
    raise SystemExit(f"cannot read the baseline script at {rev}: {out.stderr.strip()}")


def with_script(page, script):
    """The page with the body of its one script element replaced (None: the element removed)."""
    start, end = page.index("<script>"), page.index("</script>") + len("</script>")
    if script is None:
        return page[:start] + page[end:]
    return page[:start] + "<script>\n" + script + "\n</script>" + page[end:]


def browser(profile):
    try:
        chrome = browsing.start_chromium(profile)
    except RuntimeError as e:
        raise SystemExit(str(e)) from None
    # A 100,000-line full page can keep the browser busy for longer than the client's default.
    chrome.command_executor.client_config.timeout = 1200
    chrome.set_page_load_timeout(1200)
    chrome.set_script_timeout(1200)
    return chrome


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def build(diff, folder):
    """Writes both pages of `diff`, each the fastest of three builds; returns their paths and
    build times."""
    full, windowed = Path(folder, "full.html"), Path(folder, "windowed.html")
    makers = {
        "full": lambda: diff.generate_html(output_file=str(full), auto_open=False),
        "windowed": lambda: _windowed.write_page(diff, str(windowed)),
    }
    seconds = {name: min(timed(make) for _ in range(3)) for name, make in makers.items()}
    return full, windowed, seconds


def load(chrome, path, metrics):
    chrome.get("about:blank")
    if metrics:
        chrome.execute_cdp_cmd("Performance.enable", {})
    seconds = timed(lambda: (chrome.get(path.as_uri()), chrome.execute_async_script(NEXT_FRAME)))
    if metrics:
        values = {
            m["name"]: m["value"]
            for m in chrome.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
        }
        chrome.execute_cdp_cmd("Performance.disable", {})
        durations = ("RecalcStyle", "Layout", "Script", "Task")
        print(
            "      chromium: "
            + ", ".join(f"{name} {values.get(name + 'Duration', 0):.2f} s" for name in durations)
            + f", {values.get('LayoutCount', 0):.0f} layouts"
        )
    return seconds


def session(chrome, path, lines, metrics):
    """The figures of one page: load, then the clicks a reader makes, in order. Each click has
    two: until the next frame is drawn (what the reader waits for) and in the click handler
    alone (what the script itself costs). Then a scroll by one screen."""
    frame = {"load": load(chrome, path, metrics)}
    handler = {}
    own = chrome.execute_script("return !!document.getElementById('next-change')")
    controls = CONTROLS["windowed" if own else "full"]

    def click(name, selector):
        start = time.perf_counter()
        handler[name] = chrome.execute_async_script(CLICK, selector) / 1e3
        frame[name] = time.perf_counter() - start

    click("Diff only", "#mode-diff")
    click("Next 1", controls["next"])
    click("Next 2", controls["next"])
    click("Prev", controls["prev"])
    click("All", "#mode-all")
    chrome.execute_script(SET_LINE, str(lines * 3 // 4))
    click("Go to line", controls["go"])
    handler["scroll"], drawn = chrome.execute_async_script(SCROLL)
    handler["scroll"] /= 1e3
    frame["scroll"] = handler["scroll"]
    return {
        "frame": frame,
        "handler": handler,
        "state": chrome.execute_script(STATE),
        "drawn": drawn,
    }


def median(sessions):
    """Each figure of several sessions of the same page, the median of its values."""
    middle = len(sessions) // 2
    return {
        kind: {key: sorted(s[kind][key] for s in sessions)[middle] for key in sessions[0][kind]}
        for kind in ("frame", "handler")
    } | {"state": sessions[0]["state"], "drawn": all(s["drawn"] for s in sessions)}


def report(name, figures, baseline=None):
    for kind, label in (("frame", "to frame"), ("handler", "handler")):
        cells = []
        for key, seconds in figures[kind].items():
            cell = f"{key} {seconds:.3f} s"
            if baseline:
                cell += f" ({baseline[kind][key] / max(seconds, 1e-4):.1f}x)"
            cells.append(cell)
        print(f"    {name:9}{label:9}" + ", ".join(cells))
    print(f"    {name:9}counter  {figures['state']}")
    print(f"    {name:9}scroll   rows in view drawn in the same frame: {figures['drawn']}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "pages", nargs="*", default=["20000:1", "100000:1", "20000:30", "1000000:1"]
    )
    parser.add_argument("--full-max", type=int, default=200_000)
    parser.add_argument("--baseline")
    parser.add_argument("--metrics", action="store_true")
    args = parser.parse_args()
    old_script = baseline_script(args.baseline)
    with tempfile.TemporaryDirectory() as folder:
        chrome = browser(Path(folder, "profile"))
        try:
            for page in args.pages:
                lines, percent = page.split(":")
                lines, percent = int(lines), float(percent)
                diff = view.BeautifulHtmlDiff(*text_pair(lines, percent))
                full, windowed, built = build(diff, folder)
                sizes = {p: p.stat().st_size / 1e6 for p in (full, windowed)}
                print(f"{lines} lines, {percent:g}% changed:")
                print(
                    f"    build    full {built['full'] * 1e3:.1f} ms ({sizes[full]:.1f} MB), "
                    f"windowed {built['windowed'] * 1e3:.1f} ms ({sizes[windowed]:.1f} MB) "
                    f"({built['full'] / built['windowed']:.1f}x)"
                )
                after = median([session(chrome, windowed, lines, args.metrics) for _ in range(3)])
                before = None
                if lines <= args.full_max:
                    text = full.read_text(encoding="utf-8")
                    bare = Path(folder, "bare.html")
                    bare.write_text(with_script(text, None), encoding="utf-8")
                    print(f"    no script: load {load(chrome, bare, args.metrics):.3f} s")
                    if old_script is not None:
                        full.write_text(with_script(text, old_script), encoding="utf-8")
                    before = session(chrome, full, lines, args.metrics)
                    report("full", before)
                else:
                    print(f"    full     not opened (more than {args.full_max} lines)")
                report("windowed", after, before)
        finally:
            chrome.quit()


if __name__ == "__main__":
    main()
