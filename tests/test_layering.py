"""The data layer stands on its own and says what it offers."""

import ast
import importlib
import importlib.util
import inspect
import pkgutil
import subprocess
import sys
from graphlib import CycleError, TopologicalSorter
from pathlib import Path

import pytest

import quotaris

MODULES = sorted(info.name for info in pkgutil.walk_packages(quotaris.__path__, prefix="quotaris."))
SOURCES = sorted(Path(quotaris.__file__).parent.rglob("*.py"))


@pytest.mark.parametrize("path", SOURCES, ids=lambda path: path.name)
def test_quotaris_imports_nothing_of_plovera(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    imported = [
        alias.name
        for node in ast.walk(tree)
        if isinstance(node, ast.Import)
        for alias in node.names
    ] + [node.module or "" for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)]
    assert not [name for name in imported if name.split(".")[0] == "plovera"]


def imported_modules(name: str) -> set[str]:
    """The modules of quotaris that module ``name`` imports, also inside its functions."""
    path = Path(importlib.util.find_spec(name).origin)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parent = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{parent}.{base}" if base else parent
            found.add(base)
            found.update(f"{base}.{alias.name}" for alias in node.names)
    return found & (set(MODULES) - {name})


def test_no_module_imports_one_that_imports_it_back():
    graph = {name: imported_modules(name) for name in MODULES}
    try:
        tuple(TopologicalSorter(graph).static_order())
    except CycleError as cycle:
        pytest.fail(f"import cycle: {' -> '.join(cycle.args[1])}")


@pytest.mark.parametrize("name", [name for name in MODULES if not name.startswith("quotaris.demo")])
def test_all_lists_what_the_module_defines(name):
    module = importlib.import_module(name)
    defined = {
        attribute
        for attribute, value in vars(module).items()
        if not attribute.startswith("_")
        and (inspect.isclass(value) or inspect.isfunction(value))
        and value.__module__ == name
    }
    assert defined <= set(module.__all__)
    assert all(hasattr(module, attribute) for attribute in module.__all__)


def test_subpackages_are_attributes_after_import_plovera():
    # A fresh interpreter: this one has imported them all already.
    script = "import plovera; print(plovera.backtest.Strategy.__name__, plovera.riskmodel.__name__)"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.split() == ["Strategy", "plovera.riskmodel"], result.stderr


def test_reading_backtests_does_not_load_the_solver():
    # Loading a saved result or building a Strategy should not pay cvxpy's second.
    script = "import sys, plovera.backtest; print('cvxpy' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip() == "False", result.stderr
