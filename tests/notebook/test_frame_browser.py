"""show_diff's output inside an outer page in headless Chromium, as a notebook front end shows it:
the page's script runs inside the sandboxed frame (view modes, stepping, go-to-line and its
alert, for both forms of the page), the frame document is the page text exactly, and the frame's
height fits the page."""

import html
import re

import pytest
from browsing import LEFT, RIGHT, drawn_rows

from pelorix.notebook import show_diff

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait


def open_output(browser, tmp_path, shown):
    """Loads an outer page holding the display object's HTML, as a notebook's output area would,
    and returns the frame element."""
    outer = tmp_path / "notebook.html"
    outer.write_text(
        f"<!DOCTYPE html><html><body><h1>Notebook</h1>{shown.data}</body></html>",
        encoding="utf-8",
    )
    browser.get(outer.as_uri())
    return browser.find_element(By.TAG_NAME, "iframe")


# The rows "Diff only" shows, left then right: the changed ones, and on the windowed page three
# rows of context around each change.
DIFF_ONLY = {
    "full": [5, 40, 150, 5, 70],
    "windowed": [*range(2, 9), *range(37, 44), *range(68, 74), *range(147, 154)]
    + [*range(2, 9), *range(37, 43), *range(67, 74), *range(147, 153)],
}


@pytest.mark.parametrize("page", ["full", "windowed"])
def test_page_script_works_in_the_frame(browser, tmp_path, page):
    shown = show_diff("\n".join(LEFT), "\n".join(RIGHT), page=page)
    frame = open_output(browser, tmp_path, shown)
    browser.switch_to.frame(frame)
    WebDriverWait(browser, 10).until(
        lambda b: b.execute_script("return document.readyState") == "complete"
    )

    def counter():
        return browser.find_element(By.ID, "diff-counter").text

    def highlighted():
        rows = [r for side in "LR" for r in drawn_rows(browser, side, scan=page == "windowed")]
        return [r["number"] for r in rows if "highlight" in r["classes"]]

    def press(xpath):
        browser.find_element(By.XPATH, xpath).click()

    next_button = "//button[contains(., 'Next')]"
    press(next_button)
    assert (counter(), highlighted()) == ("1/4", [5, 5])
    press(next_button)
    # the windowed page pairs left 40, deleted, with a filler
    assert (counter(), highlighted()) == ("2/4", [40, 40] if page == "full" else [40])

    press("//button[@id='mode-diff']")
    shown = [r for side in "LR" for r in drawn_rows(browser, side, scan=page == "windowed")]
    assert [r["number"] for r in shown] == DIFF_ONLY[page]

    press("//button[@id='mode-all']")
    box = browser.find_element(By.ID, "goto-input")
    box.clear()
    box.send_keys("150")
    press("//div[@class='goto-line']/button")
    # on the windowed page, right line 150 beside its counterpart, left 151
    assert highlighted() == ([150, 150] if page == "full" else [151, 150])
    box.clear()
    box.send_keys("9999")
    press("//div[@class='goto-line']/button")
    # The sandbox lets the page raise its alerts.
    alert = WebDriverWait(browser, 5).until(expected_conditions.alert_is_present())
    assert alert.text == "Line 9999 not found"
    alert.accept()


@pytest.mark.parametrize(
    "left, right, height, scrolls",
    [
        ('a\r\nb "q" & <c>\rd\n', "a\nb 'q' & <c>\nd\ne\n", 210, False),
        ("\n".join(LEFT), "\n".join(RIGHT), 600, True),
    ],
)
def test_frame_holds_the_page_and_fits_it(browser, tmp_path, left, right, height, scrolls):
    shown = show_diff(left, right)
    frame = open_output(browser, tmp_path, shown)
    page = html.unescape(re.search(r'srcdoc="([^"]*)"', shown.data)[1])
    assert browser.execute_script("return arguments[0].getAttribute('srcdoc')", frame) == page
    assert frame.size["height"] == height
    assert frame.size["width"] == browser.execute_script("return document.body.clientWidth")
    browser.switch_to.frame(frame)
    # the windowed page's one scroller holds both panels
    overflow = browser.execute_script(
        "const v = document.querySelector('.diff_view'); return v.scrollHeight > v.clientHeight"
    )
    assert overflow == scrolls
