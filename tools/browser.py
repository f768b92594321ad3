"""Debian's Chromium, headless, driven through ChromeDriver with Debian's Selenium
(python3-selenium, chromium-driver) for the page's tests, its benchmark and its screenshots.

A Browser has a fresh profile that is removed again when it closes, saves downloads into a
folder of the caller's and can read the memory of its processes. Everything it needs is in
Debian's archive: nothing is fetched, and the browser itself makes no connection
(ChromeDriver talks to it over the loopback interface only).

    with Browser(downloads=out) as browser:
        browser.open(page)
        browser.choose_folder("#pick", folder)
        browser.wait_for("body[data-state=done]")
        browser.click("#save-runs-csv")
        browser.wait_for_download("runs.csv")
"""
import os
import shutil
import tempfile
import threading
from contextlib import contextmanager
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = os.environ.get("KESTREL_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("KESTREL_CHROMEDRIVER", "/usr/bin/chromedriver")
# Screenshots show the page alone (no scroll bars) in the sRGB colours it asks for.
FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--hide-scrollbars", "--force-color-profile=srgb")
POLL_SECONDS = 0.1

# Records the files an <input type=file> is given, with their paths relative to the folder
# chosen, when it reports them: the page may empty the input afterwards.
RECORD_CHOSEN_FILES = """
const input = document.querySelector(arguments[0]);
window.kestrelChosenFiles = null;
input.addEventListener('change', () => {
  window.kestrelChosenFiles = [...input.files].map((file) => file.webkitRelativePath || file.name);
}, {once: true});
"""


class Browser:
    """One headless Chromium with one page, as a context manager."""

    def __init__(self, downloads=None, width=1100, height=900):
        for path, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
            if not os.access(path, os.X_OK):
                raise FileNotFoundError("%s is missing (Debian's %s: scripts/install-deps browser)"
                                        % (path, package))
        self.profile = Path(tempfile.mkdtemp(prefix="kestrel-chromium-"))
        self.downloads = Path(downloads or self.profile / "downloads").resolve()
        self.driver = None
        try:
            # Chromium keeps its crash reports under XDG_CONFIG_HOME: in the profile too.
            environment = dict(os.environ, XDG_CONFIG_HOME=str(self.profile / "config"))
            self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=environment),
                                           options=self._options())
            self.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {
                "behavior": "allow", "downloadPath": str(self.downloads)})
            self.set_viewport(width, height)
        except BaseException:
            self.close()
            raise

    def _options(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=%s" % self.profile)
        # The page's own errors (uncaught exceptions, refused loads) as the browser logs them.
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # ChromeDriver listens on localhost: never through a proxy from the environment.
        options.ignore_local_proxy_environment_variables()
        return options

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        """Ends the browser and its driver and removes the profile."""
        if self.driver is not None:
            self.driver.quit()
            self.driver = None
        shutil.rmtree(self.profile, ignore_errors=True)

    def processes(self):
        """The ids of the browser's processes (not the driver's own)."""
        return descendants(self.driver.service.process.pid)

    def set_viewport(self, width, height):
        """The size of the page's view, in CSS pixels at one device pixel each."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def open(self, path):
        """Opens a file as a person would, through its file:// address."""
        self.driver.get(Path(path).resolve().as_uri())

    def choose_folder(self, selector, folder):
        """Gives the folder to the <input type=file webkitdirectory> at selector, as choosing it
        in the browser's dialog does. Returns the paths of the files the page was given,
        relative to the folder's parent (FOLDER/day/file)."""
        self.driver.execute_script(RECORD_CHOSEN_FILES, selector)
        self.driver.find_element(By.CSS_SELECTOR, selector).send_keys(str(Path(folder).resolve()))
        return self.until(lambda driver: driver.execute_script("return window.kestrelChosenFiles"),
                          10, "the page was not given the files of %s" % folder)

    def until(self, condition, timeout, message):
        """What condition(driver) returns once it is true, polled every 100 ms."""
        try:
            return WebDriverWait(self.driver, timeout, POLL_SECONDS).until(condition)
        except TimeoutException:
            raise TimeoutError("%s within %s s" % (message, timeout)) from None

    def wait_for(self, selector, timeout=60):
        """Waits until an element matches selector; returns it."""
        return self.until(lambda driver: (driver.find_elements(By.CSS_SELECTOR, selector) or [None])[0],
                          timeout, "nothing matched %s" % selector)

    def text(self, selector):
        """The text content of the element at selector, hidden or not."""
        return self.driver.execute_script("return document.querySelector(arguments[0]).textContent",
                                          selector)

    def attribute(self, selector, name):
        return self.driver.find_element(By.CSS_SELECTOR, selector).get_attribute(name)

    def click(self, selector):
        self.driver.find_element(By.CSS_SELECTOR, selector).click()

    @contextmanager
    def frame(self, selector):
        """Inside the block, the page is the document of the <iframe> at selector."""
        self.driver.switch_to.frame(self.driver.find_element(By.CSS_SELECTOR, selector))
        try:
            yield
        finally:
            self.driver.switch_to.default_content()

    def wait_for_download(self, name, timeout=60):
        """Waits until the browser has saved a download as name in the downloads folder; a
        download under another name or one that is still being written does not count."""
        def saved(_):
            entries = os.listdir(self.downloads) if self.downloads.is_dir() else []
            if name in entries and not any(entry.endswith(".crdownload") for entry in entries):
                return self.downloads / name
            return None
        return self.until(saved, timeout, "%s was not saved in %s" % (name, self.downloads))

    def screenshot(self, png):
        """Saves the page's view as a PNG file."""
        if not self.driver.save_screenshot(str(png)):
            raise RuntimeError("Chromium took no screenshot into %s" % png)

    def errors(self):
        """The page's errors the browser logged since the last call."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"]


def descendants(ancestor):
    """The ids of every process below ancestor."""
    parents = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                stat = Path("/proc", name, "stat").read_text()
            except OSError:
                continue  # ended meanwhile
            parents[int(name)] = int(stat[stat.rindex(")") + 2:].split()[1])
    found = []
    for pid in parents:
        up = parents[pid]
        while up and up != ancestor:
            up = parents.get(up)
        if up == ancestor:
            found.append(pid)
    return found


def kilobytes(rollup, field):
    for line in rollup.splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


class MemoryPeak:
    """Samples the memory of a browser's processes every 100 ms from its start until stop():
    the peak of their summed proportional set size (PSS) and the peak resident set (RSS) of
    the largest one, in MB."""

    def __init__(self, browser):
        self.browser = browser
        self.pss_mb = 0.0
        self.rss_mb = 0.0
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopping.wait(POLL_SECONDS):
            self.sample()

    def sample(self):
        pss = 0
        for pid in self.browser.processes():
            try:
                rollup = Path("/proc", str(pid), "smaps_rollup").read_text()
            except OSError:
                continue  # ended meanwhile, or a process without memory of its own
            pss += kilobytes(rollup, "Pss")
            self.rss_mb = max(self.rss_mb, kilobytes(rollup, "Rss") / 1024)
        self.pss_mb = max(self.pss_mb, pss / 1024)

    def stop(self):
        self._stopping.set()
        self._thread.join()
        self.sample()
        return self
