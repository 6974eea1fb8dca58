"""The README's Python examples run as written and print what it says."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
# Each ```python block (those inside a list item are indented), with the ``` block after a
# following "prints", if there is one.
BLOCKS = re.findall(r"```python\n(.*?)```(?:\s*prints\s*```\n(.*?)```)?", README.read_text(), re.S)
QUICK_START_PRINTS = "synchrotron nu I_nu peaks at 1.0e+17 Hz"


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_example_runs_and_prints_what_the_readme_says(index: int, tmp_path: Path) -> None:
    code, printed = BLOCKS[index]
    # In a folder of its own (what an example writes stays out of the clone), where the
    # repository's paths work as they do from its root.
    (tmp_path / "examples").symlink_to(README.parent / "examples")
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
        timeout=300,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    expected = QUICK_START_PRINTS if index == 0 else printed
    assert result.stdout.strip() == expected.strip()


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


def test_the_module_and_the_model_layer_both_have_an_example() -> None:
    assert len(BLOCKS) >= 2
    assert "import sorvex\n" in BLOCKS[0][0]
    assert any("import sorvexfit" in code for code, _ in BLOCKS)
