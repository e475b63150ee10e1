"""The repository keeps its own formatting and lint rules."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]


def run(*command):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True)


@pytest.mark.parametrize(
    "command",
    [["check", "."], ["format", "--check", "."]],
    ids=["lint", "format"],
)
def test_python_is_ruff_clean(command):
    result = run(sys.executable, "-m", "ruff", *command)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format not installed")
def test_cpp_is_clang_formatted():
    sources = sorted(str(p) for p in (ROOT / "csrc").rglob("*.[ch]pp"))
    result = run("clang-format", "--dry-run", "--Werror", *sources)
    assert result.returncode == 0, result.stderr
