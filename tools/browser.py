"""Headless browsers from Debian's archive, all driven the same way, for the page's tests, its
benchmark and its screenshots:

- "chromium": Chromium through ChromeDriver with Debian's Selenium (chromium, chromium-driver,
  python3-selenium);
- "firefox": Firefox ESR over its own WebDriver BiDi (firefox-esr, python3-websocket; Debian
  has no geckodriver), tools/bidi.py;
- "webkit": WebKitGTK's MiniBrowser through WebKitWebDriver with Selenium's Remote driver
  (webkit2gtk-driver), on a virtual X display of its own (xvfb).

A Browser has a fresh profile that is removed again when it closes, saves downloads into a
folder of the caller's and can read the memory of its processes; png_pixels() reads its
screenshots back (python3-png). Everything it needs is in
Debian's archive: nothing is fetched, and the browser itself makes no connection (its driver
talks to it over the loopback interface only).

    with open_browser("firefox", downloads=out) as browser:
        browser.open(page)
        browser.choose_folder("#pick", folder)
        browser.wait_for("body[data-state=done]")
        browser.click("#save-runs-csv")
        browser.wait_for_download("runs.csv")
"""
import base64
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
from contextlib import contextmanager
from pathlib import Path

import png
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.utils import free_port
from selenium.webdriver.remote.file_detector import UselessFileDetector

import bidi
from waiting import running, wait_until

BROWSERS = ("chromium", "firefox", "webkit")
CHROMIUM = os.environ.get("KESTREL_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("KESTREL_CHROMEDRIVER", "/usr/bin/chromedriver")
FIREFOX = os.environ.get("KESTREL_FIREFOX", "/usr/bin/firefox-esr")
WEBKIT_DRIVER = os.environ.get("KESTREL_WEBKIT_DRIVER", "/usr/bin/WebKitWebDriver")
XVFB = "/usr/bin/Xvfb"
# Screenshots show the page alone (no scroll bars) in the sRGB colours it asks for.
CHROMIUM_FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--hide-scrollbars", "--force-color-profile=srgb")
# Firefox's own remote agent turns off updates, telemetry and the like; what is left to reach
# the network goes to a proxy that is not there, and the remote settings to a dummy.
FIREFOX_PREFERENCES = {
    "network.proxy.type": 1,
    "network.proxy.http": "127.0.0.1",
    "network.proxy.http_port": 9,
    "network.proxy.ssl": "127.0.0.1",
    "network.proxy.ssl_port": 9,
    "network.dns.disablePrefetch": True,
    "services.settings.server": "data:,#remote-settings-dummy/v1",
    "browser.shell.checkDefaultBrowser": False,
}
START_SECONDS = 60
POLL_SECONDS = 0.1
# What a download is written to before it takes its name: Chromium's, Firefox's.
PARTIAL_DOWNLOADS = (".crdownload", ".part")

# Records the files an <input type=file> is given, with their paths relative to the folder
# chosen, when it reports them: the page may empty the input afterwards.
RECORD_CHOSEN_FILES = """
const input = document.querySelector(arguments[0]);
window.kestrelChosenFiles = null;
input.addEventListener('change', () => {
  window.kestrelChosenFiles = [...input.files].map((file) => file.webkitRelativePath || file.name);
}, {once: true});
"""

# A driver that gives an <input type=file> files but no folder gives them to this one...
ADD_SCRATCH_INPUT = """
const input = document.createElement('input');
input.type = 'file';
input.multiple = true;
input.hidden = true;
document.body.append(input);
return input;
"""
# ...and from there they go to the page's input as the browser's folder dialog gives them:
# each with its path from the folder's parent on, then the same events.
HAND_OVER_AS_FOLDER = """
const [scratch, selector, paths] = arguments;
const input = document.querySelector(selector);
const files = new DataTransfer();
for (const file of scratch.files) {
  files.items.add(file);
}
scratch.remove();
input.files = files.files;
[...input.files].forEach((file, at) => {
  Object.defineProperty(file, 'webkitRelativePath', {value: paths[at]});
});
input.dispatchEvent(new Event('input', {bubbles: true}));
input.dispatchEvent(new Event('change', {bubbles: true}));
"""


def open_browser(name, **options):
    """A started Browser of one of BROWSERS; options as Browser takes them."""
    kinds = {"chromium": Chromium, "firefox": Firefox, "webkit": WebKit}
    if name not in kinds:
        raise ValueError("no browser %r: one of %s" % (name, ", ".join(BROWSERS)))
    return kinds[name](**options)


def require(path, package):
    if not os.access(path, os.X_OK):
        raise FileNotFoundError("%s is missing (Debian's %s: scripts/install-deps browser)"
                                % (path, package))


class Browser:
    """One headless browser with one page, as a context manager. What is the same for all is
    here, done by scripts in the page; each browser's class has what it does its own way:
    _start and _stop, script, open, click, frame, processes, set_viewport, screenshot, errors,
    and _give_files (or a _give_folder of its own)."""

    name = None

    def __init__(self, downloads=None, width=1100, height=900):
        self.profile = Path(tempfile.mkdtemp(prefix="kestrel-%s-" % self.name))
        self.downloads = Path(downloads or self.profile / "downloads").resolve()
        self.downloads.mkdir(parents=True, exist_ok=True)
        try:
            self._start()
            self.set_viewport(width, height)
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        """Ends the browser and its driver, and once the browser's processes are gone (none
        writes to its profile any more) removes the profile."""
        processes = self.processes()
        self._stop()
        wait_ended(processes)
        shutil.rmtree(self.profile, ignore_errors=True)

    def choose_folder(self, selector, folder):
        """Gives the folder to the <input type=file webkitdirectory> at selector, as choosing it
        in the browser's dialog does. Returns the paths of the files the page was given,
        relative to the folder's parent (FOLDER/day/file)."""
        self.script(RECORD_CHOSEN_FILES, selector)
        self._give_folder(selector, Path(folder).resolve())
        return self.until(lambda: self.script("return window.kestrelChosenFiles"), 10,
                          "the page was not given the files of %s" % folder)

    def _give_folder(self, selector, folder):
        """As a folder dialog would, through a scratch input, for a driver that hands over
        files only: every file below the folder, in the order of their paths."""
        files = sorted(path for path in folder.rglob("*") if path.is_file())
        scratch = self.script(ADD_SCRATCH_INPUT)
        self._give_files(scratch, [str(path) for path in files])
        self.script(HAND_OVER_AS_FOLDER, scratch, selector,
                    [(Path(folder.name) / path.relative_to(folder)).as_posix() for path in files])

    def until(self, condition, timeout, message):
        """What condition() returns once it is true, polled every 100 ms."""
        return wait_until(condition, timeout, poll=POLL_SECONDS,
                          message="%s within %s s" % (message, timeout))

    def wait_for(self, selector, timeout=60):
        """Waits until an element matches selector."""
        return self.until(lambda: self.script("return !!document.querySelector(arguments[0])",
                                              selector), timeout, "nothing matched %s" % selector)

    def text(self, selector):
        """The text content of the element at selector, hidden or not."""
        return self.script("return document.querySelector(arguments[0]).textContent", selector)

    def attribute(self, selector, name):
        return self.script("return document.querySelector(arguments[0]).getAttribute(arguments[1])",
                           selector, name)

    def wait_for_download(self, name, timeout=60):
        """Waits until the browser has saved a download as name in the downloads folder; a
        download under another name or one that is still being written does not count."""
        path = self.downloads / name

        def saved():
            entries = os.listdir(self.downloads)
            if name not in entries or any(entry.endswith(PARTIAL_DOWNLOADS) for entry in entries):
                return None
            return path if self._written(path) else None
        return self.until(saved, timeout, "%s was not saved in %s" % (name, self.downloads))

    def _written(self, path):
        """Whether the browser has written a download to its end: no process of the browser
        has it open any more (WebKit writes a download under its own name)."""
        for pid in self.processes():
            try:
                descriptors = os.listdir("/proc/%d/fd" % pid)
            except OSError:
                continue  # ended meanwhile
            for descriptor in descriptors:
                try:
                    if os.readlink("/proc/%d/fd/%s" % (pid, descriptor)) == str(path):
                        return False
                except OSError:
                    continue
        return True


class SeleniumBrowser(Browser):
    """A browser behind a WebDriver server, through Selenium."""

    driver = None

    def _stop(self):
        if self.driver is not None:
            self.driver.quit()
            self.driver = None

    def script(self, body, *args):
        """What body (a function's body: arguments, return) returns, run in the page or the
        frame entered; elements come back as handles a script may be given again."""
        return self.driver.execute_script(body, *args)

    def open(self, path):
        """Opens a file as a person would, through its file:// address."""
        self.driver.get(Path(path).resolve().as_uri())

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

    def screenshot(self, png):
        """Saves the page's view as a PNG file."""
        if not self.driver.save_screenshot(str(png)):
            raise RuntimeError("%s took no screenshot into %s" % (self.name, png))


class Chromium(SeleniumBrowser):
    name = "chromium"

    def _start(self):
        require(CHROMIUM, "chromium")
        require(CHROMEDRIVER, "chromium-driver")
        # Chromium keeps its crash reports under XDG_CONFIG_HOME: in the profile too.
        environment = dict(os.environ, XDG_CONFIG_HOME=str(self.profile / "config"))
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=environment),
                                       options=self._options())
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior", {
            "behavior": "allow", "downloadPath": str(self.downloads)})

    def _options(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=%s" % self.profile)
        # The page's own errors (uncaught exceptions, refused loads) as the browser logs them.
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # ChromeDriver listens on localhost: never through a proxy from the environment.
        options.ignore_local_proxy_environment_variables()
        return options

    def _give_folder(self, selector, folder):
        """ChromeDriver hands a webkitdirectory input a folder as the dialog does."""
        self.driver.find_element(By.CSS_SELECTOR, selector).send_keys(str(folder))

    def processes(self):
        """The ids of the browser's processes (not the driver's own)."""
        return descendants(self.driver.service.process.pid) if self.driver else []

    def set_viewport(self, width, height):
        """The size of the page's view, in CSS pixels at one device pixel each."""
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})

    def errors(self):
        """The page's errors the browser logged since the last call."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"]


# WebKitWebDriver hands over no console messages: the page records its errors itself, from
# its opening on.
RECORD_ERRORS = """
window.kestrelErrors = [];
window.addEventListener('error', (event) => window.kestrelErrors.push(event.message));
window.addEventListener('unhandledrejection', (event) => {
  window.kestrelErrors.push('unhandled rejection: ' + event.reason);
});
"""
TAKE_ERRORS = """
const errors = window.kestrelErrors || [];
window.kestrelErrors = [];
return errors;
"""


class WebKit(SeleniumBrowser):
    """MiniBrowser, WebKitGTK's browser, on an X display of its own."""

    name = "webkit"
    display = None
    server = None

    def _start(self):
        require(WEBKIT_DRIVER, "webkit2gtk-driver")
        require(XVFB, "xvfb")
        self.display, number = start_xvfb()
        environment = self._environment(number)
        port = free_port()
        with open(self.profile / "driver.log", "wb") as log:
            self.server = subprocess.Popen([WEBKIT_DRIVER, "--port=%d" % port], env=environment,
                                           stdin=subprocess.DEVNULL, stdout=log,
                                           stderr=subprocess.STDOUT)
        wait_for_port(port, self.server, self.profile / "driver.log")
        options = MiniBrowserOptions()
        options.binary_location = mini_browser()
        options.add_argument("--automation")
        self.driver = webdriver.Remote(command_executor="http://127.0.0.1:%d" % port,
                                       options=options)
        # Paths go to the driver as they are: it runs on this machine.
        self.driver.file_detector = UselessFileDetector()

    def _environment(self, display):
        """The driver's and its browser's: the display, and a home of their own in the profile
        whose download folder is the caller's."""
        home = self.profile / "home"
        (home / "config").mkdir(parents=True)
        (home / "config" / "user-dirs.dirs").write_text(
            'XDG_DOWNLOAD_DIR="%s"\n' % self.downloads)
        environment = dict(os.environ, DISPLAY=":%d" % display, HOME=str(home),
                           XDG_CONFIG_HOME=str(home / "config"),
                           XDG_CACHE_HOME=str(home / "cache"), XDG_DATA_HOME=str(home / "data"))
        if os.geteuid() == 0:
            # The sandbox of its web processes (bubblewrap) does not start as root.
            environment["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1"
        return environment

    def _stop(self):
        super()._stop()
        for process in (self.server, self.display):
            if process is not None:
                end_process(process)
        self.server = self.display = None

    def open(self, path):
        super().open(path)
        self.script(RECORD_ERRORS)

    def _give_files(self, element, paths):
        element.send_keys("\n".join(paths))

    def processes(self):
        """The ids of the browser's processes (not the driver's own)."""
        return descendants(self.server.pid) if self.server else []

    def set_viewport(self, width, height):
        """The size of the page's view: the window's, less what the window takes."""
        self.driver.set_window_size(width, height)
        inner_width, inner_height = self.script("return [innerWidth, innerHeight]")
        self.driver.set_window_size(2 * width - inner_width, 2 * height - inner_height)

    def errors(self):
        """The page's errors since the last call, from its opening on (not those of its
        loading). WebKit tells a page from file:// no more of each than "Script error."."""
        return self.script(TAKE_ERRORS)


class Firefox(Browser):
    """Firefox ESR, over the WebDriver BiDi it serves itself."""

    name = "firefox"
    process = None
    session = None
    top = context = None  # the page's browsing context, and the one scripts run in

    def _start(self):
        require(FIREFOX, "firefox-esr")
        self._downloaded = set()  # where it said it saved a download
        (self.profile / "user.js").write_text("".join(
            "user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value))
            for name, value in FIREFOX_PREFERENCES.items()))
        environment = dict(os.environ, HOME=str(self.profile / "home"),
                           MOZ_CRASHREPORTER_DISABLE="1")
        with open(self.profile / "firefox.log", "wb") as log:
            self.process = subprocess.Popen(
                [FIREFOX, "--headless", "--no-remote", "--profile", str(self.profile),
                 "--remote-debugging-port=0", "about:blank"],
                env=environment, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.session = bidi.Session(self._address(), timeout=START_SECONDS)
        self.session.command("session.new", capabilities={})
        self.session.command("session.subscribe",
                             events=["log.entryAdded", "browsingContext.downloadEnd"])
        self.session.command("browser.setDownloadBehavior", downloadBehavior={
            "type": "allowed", "destinationFolder": str(self.downloads)})
        self.top = self.context = self.session.command(
            "browsingContext.getTree", maxDepth=0)["contexts"][0]["context"]

    def _address(self):
        """The websocket of the BiDi server, once Firefox has written its port."""
        server = self.profile / "WebDriverBiDiServer.json"

        def port():
            if self.process.poll() is not None:
                raise RuntimeError("Firefox ended at its start:\n" +
                                   (self.profile / "firefox.log").read_text(errors="replace"))
            try:
                return json.loads(server.read_text())["ws_port"]
            except (OSError, ValueError, KeyError):
                return None
        return "ws://127.0.0.1:%d/session" % self.until(port, START_SECONDS, "no BiDi server")

    def _stop(self):
        if self.session is not None:
            try:
                self.session.command("browser.close")
            except bidi.BiDiError:
                pass  # it is ended below all the same
            self.session.close()
            self.session = None
        if self.process is not None:
            end_process(self.process)
            self.process = None

    def script(self, body, *args):
        """What body (a function's body: arguments, return) returns, run in the page or the
        frame entered; elements come back as handles a script may be given again."""
        return self.session.call(self.context, "function() {\n%s\n}" % body, *args)

    def open(self, path):
        """Opens a file as a person would, through its file:// address."""
        self.session.command("browsingContext.navigate", context=self.top,
                             url=Path(path).resolve().as_uri(), wait="complete")

    def click(self, selector):
        """A click of the mouse at the middle of the element."""
        element = self.script("return document.querySelector(arguments[0])", selector)
        origin = {"type": "element", "element": {"sharedId": element.shared_id}}
        self.session.command("input.performActions", context=self.context, actions=[{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "x": 0, "y": 0, "origin": origin},
                        {"type": "pointerDown", "button": 0},
                        {"type": "pointerUp", "button": 0}]}])

    @contextmanager
    def frame(self, selector):
        """Inside the block, the page is the document of the <iframe> at selector."""
        window = self.script("return document.querySelector(arguments[0]).contentWindow",
                             selector)
        self.context = window.context
        try:
            yield
        finally:
            self.context = self.top

    def _give_files(self, element, paths):
        self.session.command("input.setFiles", context=self.context,
                             element={"sharedId": element.shared_id}, files=paths)

    def processes(self):
        """The ids of the browser's processes."""
        return [self.process.pid] + descendants(self.process.pid) if self.process else []

    def set_viewport(self, width, height):
        """The size of the page's view, in CSS pixels at one device pixel each."""
        self.session.command("browsingContext.setViewport", context=self.top,
                             viewport={"width": width, "height": height}, devicePixelRatio=1)

    def screenshot(self, png):
        """Saves the page's view as a PNG file."""
        data = self.session.command("browsingContext.captureScreenshot", context=self.top)["data"]
        Path(png).write_bytes(base64.b64decode(data))

    def errors(self):
        """The page's errors the browser logged since the last call."""
        return [entry["text"] for entry in self._events("log.entryAdded")
                if entry["level"] == "error"]

    def _written(self, path):
        """Whether Firefox has said that it saved the download there."""
        self._downloaded.update(Path(end["filepath"]) for end in
                                self._events("browsingContext.downloadEnd")
                                if end["status"] == "complete")
        return path in self._downloaded

    def _events(self, method):
        """The parameters of the events of method that came since the last call."""
        self.session.command("session.status")  # the events sent before it are read
        taken = [event["params"] for event in self.session.events if event["method"] == method]
        self.session.events = [event for event in self.session.events
                               if event["method"] != method]
        return taken


class MiniBrowserOptions(webdriver.WebKitGTKOptions):
    """WebKitGTK's options without the capabilities from before W3C's, which Selenium warns of."""

    @property
    def default_capabilities(self):
        return {"browserName": "MiniBrowser"}


def mini_browser():
    found = glob.glob("/usr/lib/*/webkit2gtk-4.1/MiniBrowser")
    if not found:
        raise FileNotFoundError("WebKitGTK's MiniBrowser is missing (Debian's "
                                "libwebkit2gtk-4.1-0: scripts/install-deps browser)")
    return found[0]


def start_xvfb():
    """A virtual X display on a free number: its process and its number."""
    read, write = os.pipe()
    with os.fdopen(read) as announced:
        try:
            process = subprocess.Popen([XVFB, "-displayfd", str(write), "-nolisten", "tcp",
                                        "-screen", "0", "1920x1200x24"], pass_fds=[write],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        finally:
            os.close(write)
        number = announced.readline().strip()
    if not number.isdigit():
        end_process(process)
        raise RuntimeError("Xvfb named no display")
    return process, int(number)


def wait_for_port(port, process, log):
    """Waits until a process listens on a port of the loopback interface."""
    def listening():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def ended():
        return process.poll() is not None and RuntimeError(
            "%s ended at its start:\n%s" % (process.args[0], Path(log).read_text(errors="replace")))
    wait_until(listening, START_SECONDS, poll=POLL_SECONDS, ended=ended,
               message="%s does not listen on port %d" % (process.args[0], port))


def png_pixels(path):
    """Width, height and the RGB triples, row by row, of a PNG file such as a screenshot."""
    width, height, rows, _ = png.Reader(filename=str(path)).asRGBA8()
    return width, height, [tuple(row[x:x + 3]) for row in rows for x in range(0, 4 * width, 4)]


def end_process(process, seconds=10):
    """Ends a process this module started: asks, then makes it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def wait_ended(pids, seconds=10):
    """Waits until the processes (of the browser this module started) have ended; kills those
    that have not by then."""
    wait_until(lambda: not any(running(pid) for pid in pids), seconds, poll=POLL_SECONDS,
               error=None)
    for pid in pids:
        if running(pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass  # ended meanwhile


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
