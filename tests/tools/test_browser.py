"""Checks of the browsers the page's tests, its benchmark and its screenshots drive, each of
them on pages of their own: a chosen folder reaches the page whole, downloads land under their
own name, the page's errors are reported and nothing of the browser outlives it."""
import os
import struct

import pytest

from browser import BROWSERS, MemoryPeak, descendants, open_browser
from waiting import running, wait_until

FOLDER_PAGE = """<!DOCTYPE html><meta charset="utf-8">
<input type="file" id="pick" webkitdirectory multiple hidden><pre id="seen"></pre>
<script>
const pick = document.getElementById('pick');
pick.addEventListener('change', async () => {
  const lines = [];
  for (const file of pick.files) {
    lines.push(file.webkitRelativePath + '=' + await file.text());
  }
  document.getElementById('seen').textContent = lines.sort().join('\\n');
  pick.value = '';  // as the report's page does once it has read them
  document.body.dataset.state = 'done';
});
</script>"""

DOWNLOAD_PAGE = """<!DOCTYPE html><meta charset="utf-8">
<a id="save" download="%s">save</a>
<script>
document.getElementById('save').href =
  URL.createObjectURL(new Blob(['kestrel,\\u00e9\\n'.repeat(50000)], {type: 'text/csv'}));
</script>"""

FAILING_PAGE = """<!DOCTYPE html><meta charset="utf-8">
<button id="fail">fail</button>
<script>
document.getElementById('fail').addEventListener('click', () => {
  throw new Error('kestrel test failure');
});
</script>"""

FAILING_TO_LOAD_PAGE = """<!DOCTYPE html><meta charset="utf-8">
<script>throw new Error('kestrel test failure');</script>"""


def write_page(folder, name, html):
    (folder / name).write_text(html, encoding="utf-8")
    return folder / name


@pytest.fixture(scope="module", params=BROWSERS)
def browser(request, tmp_path_factory):
    with open_browser(request.param, downloads=tmp_path_factory.mktemp("downloads"), width=640,
                      height=480) as opened:
        yield opened


def test_a_chosen_folder_reaches_the_page_with_every_file_and_its_path(browser, folder):
    files = {"STICK/07-12-2026/Non-Tag-07-12-2026.txt": "first day",
             "STICK/My Stick é/deeper/notes.txt": "two folders down",
             "STICK/empty.txt": ""}
    for name, text in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text, encoding="utf-8")
    browser.open(write_page(folder, "folder.html", FOLDER_PAGE))
    chosen = browser.choose_folder("#pick", folder / "STICK")
    browser.wait_for("body[data-state=done]")
    assert sorted(chosen) == sorted(files)
    assert browser.text("#seen") == "\n".join(sorted("%s=%s" % item for item in files.items()))


def test_a_download_is_waited_for_under_its_own_name_only(browser, folder):
    browser.open(write_page(folder, "download.html", DOWNLOAD_PAGE % "table.csv"))
    browser.click("#save")
    with pytest.raises(TimeoutError):
        browser.wait_for_download("other.csv", timeout=2)
    saved = browser.wait_for_download("table.csv")
    assert saved == browser.downloads / "table.csv"
    assert saved.read_bytes() == "kestrel,é\n".encode() * 50000
    assert not [name for name in os.listdir(browser.downloads) if name.endswith(".crdownload")]


def test_the_pages_errors_are_reported(browser, folder):
    browser.open(write_page(folder, "clean.html", "<!DOCTYPE html><p>fine</p>"))
    assert browser.errors() == []
    browser.open(write_page(folder, "failing.html", FAILING_PAGE))
    browser.click("#fail")
    errors = browser.until(browser.errors, 5, "the error was not reported")
    if browser.name == "webkit":
        assert errors == ["Script error."]  # all a page from file:// is told of an error
    else:
        assert any("kestrel test failure" in error for error in errors)


def test_errors_while_the_page_loads_are_reported(browser, folder):
    if browser.name == "webkit":
        pytest.skip("WebKitWebDriver reads no console: errors count from the page's opening on")
    browser.open(write_page(folder, "failing-to-load.html", FAILING_TO_LOAD_PAGE))
    assert any("kestrel test failure" in error for error in browser.errors())


def test_screenshot_is_the_views_size(browser, folder):
    browser.open(write_page(folder, "plain.html", "<!DOCTYPE html><p>fine</p>"))
    # Wider than MiniBrowser's toolbar, which no window of WebKit's is narrower than.
    browser.set_viewport(520, 200)
    try:
        browser.screenshot(folder / "view.png")
    finally:
        browser.set_viewport(640, 480)
    png = (folder / "view.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", png[16:24]) == (520, 200)


def test_memory_is_read_from_the_browsers_processes(browser):
    memory = MemoryPeak(browser).stop()
    # A headless Chromium with one page takes tens of MB at the least.
    assert memory.pss_mb > 20
    assert memory.rss_mb > 10


@pytest.mark.parametrize("name", BROWSERS)
def test_closing_ends_the_browser_and_removes_its_profile(name, folder):
    before = set(descendants(os.getpid()))
    with open_browser(name) as browser:
        browser.open(write_page(folder, "drawn.html", DOWNLOAD_PAGE % "table.csv"))
        browser.screenshot(folder / "drawn.png")
        # The browser's, its driver's and any display's.
        processes = [pid for pid in descendants(os.getpid()) if pid not in before]
        profile = browser.profile
        assert len(processes) > 2 and profile.is_dir()
    wait_until(lambda: not any(running(pid) for pid in processes), 10, poll=0.1, error=None)
    assert [pid for pid in processes if running(pid)] == []
    # Not even a process that ended after the browser wrote into the profile again.
    assert not profile.exists()
