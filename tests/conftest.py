"""What every pytest suite here shares: the tools (the sandbox and the radar
simulator in tools/) on the import path."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
