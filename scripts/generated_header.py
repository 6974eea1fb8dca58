"""Shared by the scripts that generate C++ headers: the repository's C++ style."""

from __future__ import annotations

import subprocess
from pathlib import Path


def clang_format(text: str, header: Path) -> str:
    """`text`, the contents of `header`, formatted by clang-format (.clang-format)."""
    result = subprocess.run(
        ["clang-format", f"--assume-filename={header}"],
        input=text,
        capture_output=True,
        text=True,
        check=True,
        cwd=header.parent,
    )
    return result.stdout
