"""Takes the README's picture of the diff page: the two sample files compared, the first change
selected, shot by headless Chromium into docs/diff-page.png.  Run it with an interpreter that can
import the built package and selenium, with chromium and chromedriver on PATH, e.g. after
tools/test:
    .venv/bin/python tools/diff-screenshot.py
"""

import pathlib
import sys
import tempfile

from selenium.webdriver.common.by import By

from pelorix.toolkit import view

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The tests' one way of starting Chromium.
sys.path.insert(0, str(ROOT / "tests"))
import browsing


def main():
    with tempfile.TemporaryDirectory() as scratch:
        page = view.compare(
            str(ROOT / "examples" / "setup_old.ini"),
            str(ROOT / "examples" / "setup_new.ini"),
            output_file=str(pathlib.Path(scratch) / "page.html"),
            auto_open=False,
        )
        try:
            driver = browsing.start_chromium(
                f"{scratch}/profile",
                "1200,640",
                "--hide-scrollbars",
                "--force-device-scale-factor=1",
            )
        except RuntimeError as e:
            sys.exit(f"tools/diff-screenshot.py: {e}")
        try:
            driver.get("file://" + page)
            driver.find_element(By.CSS_SELECTOR, "button[title='Next diff']").click()
            driver.find_element(By.CSS_SELECTOR, "button[title='Next diff']").click()
            driver.execute_script("return new Promise(r => setTimeout(r, 600))")
            out = ROOT / "docs" / "diff-page.png"
            driver.save_screenshot(str(out))
            print(out)
        finally:
            driver.quit()


if __name__ == "__main__":
    main()
