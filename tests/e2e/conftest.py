"""Fixtures for the end-to-end tests: a fresh sandbox per test around the built module."""
import os
import time

import pytest

from sandbox import REPO_ROOT, TIME_ZONE, Sandbox, module_path

# The program runs in the sandbox's time zone: the tests read dates and times
# of day in the same zone, or they disagree with it for an hour every night.
os.environ["TZ"] = TIME_ZONE
time.tzset()


@pytest.fixture(scope="session")
def kestrel_module():
    """The built module; its absence is a failure, never a skip."""
    path = module_path()
    if not path.is_file():
        pytest.fail("kestrel module not built: %s is missing. Build it with\n"
                    "  cmake -S %s -B %s/build -G Ninja && cmake --build %s/build\n"
                    "or point KESTREL_MODULE at it." % (path, REPO_ROOT, REPO_ROOT, REPO_ROOT),
                    pytrace=False)
    return path


@pytest.fixture(scope="session")
def report_tool():
    """The built kestrel-report."""
    path = REPO_ROOT / os.environ.get("KESTREL_REPORT", "build/report/kestrel-report")
    if not path.is_file():
        pytest.fail("kestrel-report not built: %s is missing (scripts/build)" % path, pytrace=False)
    return path


@pytest.fixture(scope="session")
def report_page():
    """The built kestrel-report.html."""
    path = REPO_ROOT / os.environ.get("KESTREL_REPORT_PAGE", "build/report/kestrel-report.html")
    if not path.is_file():
        pytest.fail("kestrel-report.html not built: %s is missing (scripts/build)" % path,
                    pytrace=False)
    return path


@pytest.fixture
def sandbox(kestrel_module):
    """A fresh, not yet started Sandbox; it is killed and removed after the test."""
    with Sandbox(module=kestrel_module) as box:
        yield box
