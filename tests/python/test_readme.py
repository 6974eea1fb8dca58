"""The README's quick start runs as written and prints what it says."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_quick_start_runs() -> None:
    code = re.search(r"```python\n(.*?)```", README.read_text(), re.S)
    assert code is not None
    result = subprocess.run(
        [sys.executable, "-c", code.group(1)], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "synchrotron nu I_nu peaks at 1.0e+17 Hz"
