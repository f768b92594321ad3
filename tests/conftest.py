"""What every pytest suite here shares: the tools (the sandbox and the radar
simulator in tools/) on the import path, and a fresh folder for a test's files."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))


@pytest.fixture
def folder(tmp_path):
    """An empty folder of the test's own (pytest keeps the last few runs' for a look)."""
    return tmp_path
