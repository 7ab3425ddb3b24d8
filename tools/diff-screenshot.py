"""Takes the README's picture of the diff page: the two sample files compared, the first change
selected, shot by headless Chromium into docs/diff-page.png.  Run it with an interpreter that can
import the built package and selenium, with chromium and chromedriver on PATH, e.g. after
tools/test:
    .venv/bin/python tools/diff-screenshot.py
"""

import pathlib
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from pelorix.toolkit import view

ROOT = pathlib.Path(__file__).resolve().parent.parent


def main():
    chromium, chromedriver = shutil.which("chromium"), shutil.which("chromedriver")
    if not (chromium and chromedriver):
        sys.exit("tools/diff-screenshot.py: needs chromium and chromedriver on PATH")
    with tempfile.TemporaryDirectory() as scratch:
        page = view.compare(
            str(ROOT / "examples" / "setup_old.ini"),
            str(ROOT / "examples" / "setup_new.ini"),
            output_file=str(pathlib.Path(scratch) / "page.html"),
            auto_open=False,
        )
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for arg in (
            "--headless=new",
            "--no-sandbox",
            "--disable-dev-shm-usage",
            "--hide-scrollbars",
            "--window-size=1200,640",
            "--force-device-scale-factor=1",
            f"--user-data-dir={scratch}/profile",
        ):
            options.add_argument(arg)
        driver = webdriver.Chrome(options=options, service=Service(chromedriver))
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
