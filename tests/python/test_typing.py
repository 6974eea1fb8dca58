"""The installed stubs type-check a typed usage example (mypy finds them as a user would)."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

USAGE = Path(__file__).resolve().parents[1] / "typing" / "usage.py"


def test_mypy_accepts_typed_usage_against_the_installed_stubs(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    shutil.copy(USAGE, tmp_path / "usage.py")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "usage.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
