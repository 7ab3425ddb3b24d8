"""What the browser tests, the browser benchmark and the README's picture share: Debian's
Chromium, headless, driven through chromedriver with one set of options; the text pair whose diff
page the browser tests drive, and the global functions of the page's script."""

import shutil

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")

# 300 lines against 299: line 5 replaced, 40 deleted, an insertion that is right line 70,
# 150 deleted.
LEFT = [f"line {i}" for i in range(1, 301)]
RIGHT = list(LEFT)
RIGHT[4] = "line 5 changed"
del RIGHT[149], RIGHT[39]
RIGHT.insert(69, "inserted")
STOPS = [5, 40, 70, 150]

# The page script's global functions, which the page's handlers call, in the order it defines them.
PAGE_FUNCTIONS = [
    "setViewMode",
    "updateDiffLines",
    "findNearestDiff",
    "updateDiffCounter",
    "getCurrentLineNumber",
    "gotoPrevDiff",
    "gotoNextDiff",
    "gotoDiffByIndex",
    "gotoLine",
    "gotoLineEnter",
]


def start_chromium(profile, window="1280,800", *extra):
    """A headless Chromium with its own profile folder, `window` wide and high (CSS pixels) and
    `extra` command-line options. Needs chromium and chromedriver on PATH (RuntimeError if not)
    and selenium."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    if not (CHROMIUM and DRIVER):
        raise RuntimeError("needs chromium and chromedriver on PATH (Debian's chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        f"--window-size={window}",
        # Chromium gives sandboxed frames (show_diff's) a process of their own by default, and
        # chromedriver then misses their alerts: a click that raises one never returns.
        "--disable-features=IsolateSandboxedIframes",
        f"--user-data-dir={profile}",
        *extra,
    ):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service(DRIVER))
