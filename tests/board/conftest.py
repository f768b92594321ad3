"""Options and shared state of the board tests. scripts/board-test passes the
image, the package and the run folder; the image's manifest says which
architecture the board is, and the package must be of the same. The figures
and each test's outcome go to RUN/results.json, from which the report is
written."""
import json
import os
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import board as board_module  # noqa: E402
import image as image_module  # noqa: E402
import machine  # noqa: E402

RESULTS = {"tests": {}, "figures": {}, "boots": []}


def pytest_addoption(parser):
    group = parser.getgroup("board")
    group.addoption("--image", help="folder of the guest image (tests/board/image.py)")
    group.addoption("--deb", help="the kestrel package to install, of the image's architecture")
    group.addoption("--run-dir", help="folder for the disks, sockets, logs and results")
    group.addoption("--cuts", type=int, default=5, help="power cuts")
    group.addoption("--seed", type=int, help="seed of the cuts' random moments (default: the time)")
    group.addoption("--idle-seconds", type=int, default=120,
                    help="how long the disk's writes are counted with a silent radar")


class Settings:
    def __init__(self, config):
        for name in ("image", "deb", "run_dir"):
            if not config.getoption(name):
                raise pytest.UsageError("the board tests need --%s (run scripts/board-test)"
                                        % name.replace("_", "-"))
        self.image = os.path.abspath(config.getoption("image"))
        self.deb = os.path.abspath(config.getoption("deb"))
        self.run_dir = os.path.abspath(config.getoption("run_dir"))
        self.manifest = image_module.read_manifest(self.image)
        self.arch = self.manifest["arch"]
        deb_arch = package_architecture(self.deb)
        if deb_arch != self.arch:
            raise pytest.UsageError("the package %s is for %s, the image for %s"
                                    % (os.path.basename(self.deb), deb_arch, self.arch))
        self.cuts = config.getoption("cuts")
        self.idle_seconds = config.getoption("idle_seconds")
        self.seed = config.getoption("seed")
        if self.seed is None:
            self.seed = int(time.time())
        os.makedirs(self.run_dir, exist_ok=True)

    def path(self, name):
        return os.path.join(self.run_dir, name)

    def save_snapshot(self, snapshot):
        """What the power cuts start from: the snapshot's name on the disk,
        the rows on disk then and the serial number."""
        with open(self.path("snapshot.json"), "w") as out:
            json.dump(snapshot, out)

    def snapshot(self):
        try:
            with open(self.path("snapshot.json")) as saved:
                snapshot = json.load(saved)
        except FileNotFoundError:
            return None
        snapshot["serial"] = snapshot["serial"].encode()
        return snapshot


def package_architecture(deb):
    return subprocess.run(["dpkg-deb", "-f", deb, "Architecture"], capture_output=True,
                          text=True, check=True).stdout.strip()


@pytest.fixture(scope="session")
def settings(request):
    return Settings(request.config)


@pytest.fixture(scope="session")
def figures():
    """Measured values for the report."""
    return RESULTS["figures"]


def record_boot(what, seconds):
    RESULTS["boots"].append({"what": what, "seconds": round(seconds, 1)})


@pytest.fixture(scope="module")
def board(settings):
    """A board booted from a fresh disk on the image; it is shut down at the
    end of the module, and its disk, with the snapshot the power cuts start
    from, stays in the run folder."""
    disk = settings.path("disk.qcow2")
    machine.new_overlay(os.path.join(settings.image, "rootfs.img"), disk)
    qemu = machine.Machine(settings.image, settings.run_dir, disk)
    qemu.start()
    try:
        record_boot("first boot of a fresh board", qemu.wait_booted())
        yield board_module.Board(qemu)
    finally:
        qemu.power_off()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" or report.outcome != "passed":
        doc = (item.function.__doc__ or item.name).strip().split("\n")[0]
        if hasattr(report, "wasxfail"):
            result = "xpassed" if report.passed else "xfailed"
        else:
            result = report.outcome
        scenario = item.get_closest_marker("scenario")
        entry = RESULTS["tests"].setdefault(item.nodeid, {
            "doc": doc, "order": len(RESULTS["tests"]),
            "scenario": scenario.args[0] if scenario else None})
        if entry.get("outcome") in (None, "passed"):
            entry["outcome"] = result
        entry["reason"] = getattr(report, "wasxfail", "")


def pytest_configure(config):
    config.addinivalue_line("markers", "scenario(number): the scenario of the board a test checks")


def pytest_sessionstart(session):
    RESULTS["started"] = time.time()
    RESULTS["load_start"] = "%.1f" % os.getloadavg()[0]
    image_dir = session.config.getoption("image")
    if image_dir:
        RESULTS["arch"] = image_module.read_manifest(image_dir)["arch"]
        RESULTS["qemu"] = machine.describe(RESULTS["arch"])


def pytest_sessionfinish(session):
    run_dir = session.config.getoption("run_dir")
    if not run_dir:
        return
    RESULTS["finished"] = time.time()
    RESULTS["seconds"] = round(RESULTS["finished"] - RESULTS["started"])
    RESULTS["load_end"] = "%.1f" % os.getloadavg()[0]
    with open(os.path.join(run_dir, "results.json"), "w") as out:
        json.dump(RESULTS, out, indent=1)
