"""The shipped type stubs describe the compiled modules as they are."""

import ast
import importlib
import importlib.resources
import inspect

import pytest

MODULES = ["plovera.optimize", "plovera.objective", "plovera.benchmark"]


def stub_functions(module_name):
    """(qualified name, parameter names, defaults) of every def in the module's stub."""
    package, _, name = module_name.rpartition(".")
    text = (importlib.resources.files(package) / f"{name}.pyi").read_text(encoding="utf-8")
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                found[prefix + node.name] = None
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                args = node.args.args
                defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
                found[prefix + node.name] = [
                    (a.arg, None if d is None else ast.unparse(d))
                    for a, d in zip(args, defaults, strict=True)
                ]

    visit(ast.parse(text).body, "")
    return found


def runtime_parameters(function):
    return [(p.name, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_the_module(module_name):
    module = importlib.import_module(module_name)
    stubbed = stub_functions(module_name)
    public = {
        name
        for name, value in vars(module).items()
        if getattr(value, "__module__", None) == module_name and not name.startswith("_")
    }
    assert public <= set(stubbed), f"not in the stub: {sorted(public - set(stubbed))}"
    for qualname, parameters in stubbed.items():
        target = module
        for part in qualname.split("."):
            target = getattr(target, part)
        if parameters is None:
            assert inspect.isclass(target), qualname
            continue
        actual = runtime_parameters(target)
        assert [name for name, _ in parameters] == [name for name, _ in actual], qualname
        for (name, stub_default), (_, default) in zip(parameters, actual, strict=True):
            required = default is inspect.Parameter.empty
            assert (stub_default is None) == required, f"{qualname}({name})"
            if stub_default not in (None, "..."):
                assert ast.literal_eval(stub_default) == default, f"{qualname}({name})"
