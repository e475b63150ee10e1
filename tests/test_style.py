"""The repository keeps its own formatting and lint rules."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]


def tool(name):
    """The console script installed with this interpreter, else the one on PATH.

    An environment that is not activated keeps its scripts beside its
    interpreter, off PATH; a tool found there has the pinned version.
    """
    return shutil.which(name, path=Path(sys.executable).parent) or shutil.which(name)


def run(*command):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True)


def test_tools_beside_the_interpreter_come_first(tmp_path, monkeypatch):
    for place in ("env", "elsewhere"):
        (tmp_path / place).mkdir()
        script = tmp_path / place / "some-tool"
        script.write_text("#!/bin/sh\n")
        script.chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(tmp_path / "env" / "python"))
    monkeypatch.setenv("PATH", str(tmp_path / "elsewhere"))
    assert tool("some-tool") == str(tmp_path / "env" / "some-tool")
    (tmp_path / "env" / "some-tool").unlink()
    assert tool("some-tool") == str(tmp_path / "elsewhere" / "some-tool")


@pytest.mark.parametrize(
    "command",
    [["check", "."], ["format", "--check", "."]],
    ids=["lint", "format"],
)
def test_python_is_ruff_clean(command):
    ruff = tool("ruff")
    assert ruff is not None, "ruff is not installed (pip install '.[test]')"
    result = run(ruff, *command)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(tool("clang-format") is None, reason="clang-format not installed")
def test_cpp_is_clang_formatted():
    sources = sorted(str(p) for p in (ROOT / "csrc").rglob("*.[ch]pp"))
    result = run(tool("clang-format"), "--dry-run", "--Werror", *sources)
    assert result.returncode == 0, result.stderr
