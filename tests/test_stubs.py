"""The shipped type stubs describe the compiled modules as they are.

One convention for every stub: it declares each name the module binds and
nothing else.  A global the module imports is re-exported under its own
name (``from .exception import InvalidArgument as InvalidArgument``) or as
an alias of an imported name (``cp = cvxpy``); any other import serves the
annotations only.  A class
declares every member its own body defines, with its bases and, where it
differs from theirs, its metaclass.  No ``__all__``: the modules have none.
"""

import ast
import importlib
import importlib.resources
import inspect

import pytest

MODULES = [
    "plovera.optimize",
    "plovera.objective",
    "plovera.benchmark",
    "plovera.constraints",
    "plovera.prepared",
]


def stub_tree(module_name):
    package, _, name = module_name.rpartition(".")
    text = (importlib.resources.files(package) / f"{name}.pyi").read_text(encoding="utf-8")
    return ast.parse(text)


def stub_functions(module_name):
    """(qualified name, parameter names, defaults) of every def in the module's stub."""
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

    visit(stub_tree(module_name).body, "")
    return found


def declared(body):
    """Name -> node of what a stub body declares: defs, classes, annotated or assigned names."""
    names = {}
    for node in body:
        if isinstance(node, ast.FunctionDef | ast.ClassDef):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((target.id, node) for target in node.targets)
    return names


def reexports(module_name):
    """Name -> (source module, attribute or None): the object the stub says a global is.

    A re-export is an import under its own name (``import quotaris as quotaris``,
    ``from .const import CovModel as CovModel``) or an alias of an imported
    name (``cp = cvxpy``), the forms type checkers take as exported.
    """
    package = module_name.rpartition(".")[0]
    imported, found = {}, {}
    for node in stub_tree(module_name).body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                name = alias.asname or alias.name.partition(".")[0]  # import a.b binds a
                imported[name] = (alias.name if alias.asname else name, None)
                if alias.asname == alias.name:
                    found[alias.asname] = imported[alias.asname]
        elif isinstance(node, ast.ImportFrom):
            source = "." * node.level + (node.module or "")
            source = importlib.util.resolve_name(source, package) if node.level else source
            for alias in node.names:
                imported[alias.asname or alias.name] = (source, alias.name)
                if alias.asname == alias.name:
                    found[alias.asname] = imported[alias.asname]
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
            public_targets = [t.id for t in node.targets if not t.id.startswith("_")]
            found.update((target, imported[node.value.id]) for target in public_targets)
    return found


def public(names):
    return {name for name in names if not name.startswith("_")}


def runtime_parameters(function):
    return [(p.name, p.default) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_declares_every_global_of_the_module_and_no_other(module_name):
    module = importlib.import_module(module_name)
    stubbed = public(declared(stub_tree(module_name).body)) | public(reexports(module_name))
    bound = public(vars(module))
    assert bound - stubbed == set(), "bound by the module, missing from the stub"
    assert stubbed - bound == set(), "in the stub, not bound by the module"
    assert ("__all__" in declared(stub_tree(module_name).body)) == hasattr(module, "__all__")


@pytest.mark.parametrize("module_name", MODULES)
def test_reexported_names_are_the_objects_the_stub_names(module_name):
    module = importlib.import_module(module_name)
    for name, (source, attribute) in reexports(module_name).items():
        origin = importlib.import_module(source)
        expected = origin if attribute is None else getattr(origin, attribute)
        assert getattr(module, name) is expected, name


@pytest.mark.parametrize("module_name", MODULES)
def test_what_the_module_defines_is_a_def_or_class_in_the_stub(module_name):
    module = importlib.import_module(module_name)
    body = declared(stub_tree(module_name).body)
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module_name or name.startswith("_"):
            continue
        kind = ast.ClassDef if inspect.isclass(value) else ast.FunctionDef
        assert isinstance(body.get(name), kind), name


def own_members(cls):
    return {
        name
        for name in vars(cls)
        if name == "__init__" or not (name.startswith("_") or name.startswith("__"))
    }


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_classes_declare_their_own_members_bases_and_metaclass(module_name):
    module = importlib.import_module(module_name)
    for node in stub_tree(module_name).body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, node.name)
        members = declared(node.body)
        assert own_members(cls) == {n for n in members if n == "__init__" or n[0] != "_"}, node.name
        for name in members:  # private ones are instance attributes, set by __init__
            assert name.startswith("_") or hasattr(cls, name), f"{node.name}.{name}"
        bases = [b.__name__ for b in cls.__bases__ if b is not object]
        assert [ast.unparse(b) for b in node.bases] == bases, node.name
        inherited = type(cls.__bases__[0])
        metaclass = [ast.unparse(k.value) for k in node.keywords if k.arg == "metaclass"]
        assert metaclass == ([] if type(cls) is inherited else [type(cls).__name__]), node.name


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_signatures_match_the_module(module_name):
    module = importlib.import_module(module_name)
    for qualname, parameters in stub_functions(module_name).items():
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
