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


def layout_entries() -> list[str]:
    """The paths of the README's layout block, nested entries joined to their parent."""
    block = re.search(r"## Repository layout\n\n```\n(.*?)```", README.read_text(), re.S)
    assert block is not None
    paths, parent = [], ""
    for line in block.group(1).splitlines():
        name = line.strip().split("  ")[0].split(",")[0]
        if not name or line.startswith("    "):
            continue  # a continued description
        if line.startswith("  "):
            paths.append(parent + name)
        else:
            parent = name
            paths.append(name)
    return paths


def test_the_layout_matches_the_tree() -> None:
    root = README.parent
    entries = layout_entries()
    for entry in entries:
        assert list(root.glob(entry)), f"README layout names {entry}, which does not exist"
    listed = {path for entry in entries for path in root.glob(entry)}
    for folder in ("src/core", "src/binding", "bench", "tests"):
        for path in (root / folder).iterdir():
            if path.name != "__pycache__":
                assert path in listed, f"{path.relative_to(root)} is missing from the README layout"
