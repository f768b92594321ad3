"""Options and shared state of the board tests. scripts/board-test passes the
image, the package and the run folder; the image's manifest says which
architecture the board is, and the package must be of the same. The figures
and each test's outcome go to RUN/results.json, from which the report is
written."""
import json
import os
import random
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import image as image_module  # noqa: E402
import machine  # noqa: E402
import snapshots  # noqa: E402

RESULTS = {"tests": {}, "figures": {}, "boots": [], "restores": []}


def pytest_addoption(parser):
    group = parser.getgroup("board")
    group.addoption("--image", help="folder of the guest image (tests/board/image.py)")
    group.addoption("--deb", help="the kestrel package to install, of the image's architecture")
    group.addoption("--run-dir", help="folder for the disks, sockets, logs and results")
    group.addoption("--cuts", type=int, default=5, help="power cuts")
    group.addoption("--seed", type=int, help="seed of the cuts' random moments (default: the time)")
    group.addoption("--scenario", help="run only these scenarios: N[,N...]")
    group.addoption("--shuffle", type=int, metavar="SEED",
                    help="run the files, and the classes in each, in an order drawn from SEED")
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


@pytest.fixture(scope="class")
def handed_on():
    """What a scenario's tests hand on to the next ones of its class."""
    return {}


def record_boot(what, seconds):
    RESULTS["boots"].append({"what": what, "seconds": round(seconds, 1)})


@pytest.fixture(scope="session")
def installed_facts(settings):
    """The saved state of an installed board, made if there is none."""
    return snapshots.installed_facts(settings, record_boot)


@pytest.fixture(scope="class")
def installed(request, settings, installed_facts):
    """A board of the scenario's own, restored from the `installed` state:
    the package installed, the logger running. It is ended with the class;
    its disk and logs stay in RUN/CLASS."""
    started = time.monotonic()
    board = snapshots.restore(settings, settings.path(request.node.name))
    RESULTS["restores"].append(round(time.monotonic() - started, 1))
    try:
        yield board
    finally:
        board.qemu.quit()


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
        number, title = scenario_of(item) or (None, None)
        entry = RESULTS["tests"].setdefault(item.nodeid, {
            "doc": doc, "order": len(RESULTS["tests"]), "scenario": number, "title": title})
        if entry.get("outcome") in (None, "passed"):
            entry["outcome"] = result
        entry["reason"] = getattr(report, "wasxfail", "")


def scenario_of(item):
    """(number, title) of the scenario a test belongs to, or None."""
    marker = item.get_closest_marker("scenario")
    return marker.args if marker else None


def pytest_configure(config):
    config.addinivalue_line("markers",
                            "scenario(number, title): the scenario of the board a test checks")


def pytest_collection_modifyitems(config, items):
    """--scenario keeps the scenarios named; --shuffle puts the files, and the
    classes in each, in an order drawn from its seed. The tests of one class
    keep theirs: a class is one scenario's story on one board."""
    chosen = config.getoption("scenario")
    if chosen:
        numbers = {int(number) for number in chosen.split(",")}
        kept = [item for item in items if (scenario_of(item) or (None,))[0] in numbers]
        config.hook.pytest_deselected(items=[item for item in items if item not in kept])
        items[:] = kept
    seed = config.getoption("shuffle")
    if seed is None:
        return
    rng = random.Random(seed)
    groups = {}
    for item in items:
        cls = item.cls.__name__ if item.cls else ""
        groups.setdefault(item.module.__name__, {}).setdefault(cls, []).append(item)
    files = list(groups.values())
    rng.shuffle(files)
    shuffled = []
    for classes in files:
        order = list(classes.values())
        rng.shuffle(order)
        for tests in order:
            shuffled.extend(tests)
    items[:] = shuffled
    RESULTS["shuffle_seed"] = seed


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
    os.makedirs(run_dir, exist_ok=True)
    with open(os.path.join(run_dir, "results.json"), "w") as out:
        json.dump(RESULTS, out, indent=1)
