"""The type stubs against the built modules: every extension module has a
stub, every name a stub declares exists in the module with the same kind,
every public name of a module and of its classes is declared, and where a
callable documents its signature the parameter names agree."""

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCE = ROOT / "python"


def extension_modules():
    package = Path(importlib.import_module("Tessary").__path__[0])
    names = []
    for so in sorted(package.rglob("*.so")):
        parts = so.relative_to(package.parent).with_suffix("").parts
        stem = parts[-1].split(".")[0]
        # A package whose __init__ is the extension module is imported by the package's name.
        names.append(".".join(parts[:-1] + (() if stem == "__init__" else (stem,))))
    return names


MODULES = extension_modules()


def stub_path(module_name):
    path = SOURCE.joinpath(*module_name.split("."))
    return path / "__init__.pyi" if path.is_dir() else path.with_suffix(".pyi")


class Stub:
    """The declarations of one .pyi file: top-level names by kind, and for
    each class its members and base names."""

    def __init__(self, path):
        self.tree = ast.parse(path.read_text(), str(path))
        self.functions, self.classes, self.values, self.reexports = {}, {}, set(), set()
        for node in self.tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self.values.add(node.target.id)
            elif isinstance(node, ast.Assign):
                self.values.update(t.id for t in node.targets if isinstance(t, ast.Name))
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                # `import x as x` / `from m import x as x` is an explicit re-export.
                self.reexports.update(a.asname for a in node.names if a.asname == a.name.split(".")[-1])

    def declared(self):
        return set(self.functions) | set(self.classes) | self.values | self.reexports

    def checked(self):
        """Declared names that must exist in the module: stub-only helpers
        (type aliases and type variables with a leading underscore, classes
        marked @type_check_only) need not."""
        return self.declared() - {name for name in self.values if name.startswith("_")} - self.type_check_only()

    def type_check_only(self):
        return {name for name, node in self.classes.items()
                if any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list)}

    def members(self, class_name):
        """Member name -> node, including members declared in stub bases of the same file."""
        node = self.classes[class_name]
        found = {}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in self.classes:
                found.update(self.members(base.id))
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                found[item.name] = item
            elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                found[item.target.id] = item
            elif isinstance(item, ast.Assign):
                found.update((t.id, item) for t in item.targets if isinstance(t, ast.Name))
        return found


def is_property(node):
    return isinstance(node, ast.FunctionDef) and any(
        isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def is_public(name):
    return not name.startswith("_")


def stub_parameters(node):
    """Parameter names of a stub function, without self/cls."""
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args]
    if names and names[0] in ("self", "cls"):
        names = names[1:]
    if args.vararg:
        names.append("*")  # a star parameter cannot be named by a caller
    names += [a.arg for a in args.kwonlyargs]
    if args.kwarg:
        names.append("**" + args.kwarg.arg)
    return names


DOC_SIGNATURE = re.compile(r"^(\w+)\((.*)\)$")


def documented_parameters(obj):
    """Parameter names from a docstring whose first line is `name(params)`, or None."""
    doc = (getattr(obj, "__doc__", None) or "").split("\n", 1)[0].strip()
    match = DOC_SIGNATURE.match(doc)
    if not match:
        return None
    tree = ast.parse(f"def {match.group(1)}({match.group(2)}): pass")
    return stub_parameters(tree.body[0])


@pytest.fixture(scope="module", params=MODULES)
def pair(request):
    path = stub_path(request.param)
    assert path.is_file(), f"{request.param} has no stub at {path.relative_to(ROOT)}"
    return importlib.import_module(request.param), Stub(path)


def test_every_extension_module_was_found():
    expected = {"Tessary._coro", "Tessary.Model.ModelProperty", "Tessary.Model.DataModel", "Tessary.DB.Generator",
                "Tessary.DB.DB", "Tessary.DB.Connector", "Tessary.Model.Carrack", "Tessary.Ext.Dict",
                "Tessary.Ext.Folio", "Tessary.Ext.Seeder"}
    assert expected <= set(MODULES)


def test_package_is_typed():
    assert (SOURCE / "Tessary" / "py.typed").is_file()


def test_declared_names_exist_with_their_kind(pair):
    module, stub = pair
    missing = sorted(name for name in stub.checked() if not hasattr(module, name))
    assert missing == []
    for name in set(stub.classes) - stub.type_check_only():
        assert isinstance(getattr(module, name), type), f"{name} is declared as a class"
    for name in stub.functions:
        assert callable(getattr(module, name)), f"{name} is declared as a function"


def test_public_module_names_are_declared(pair):
    module, stub = pair
    undeclared = sorted(n for n in vars(module) if is_public(n) and n not in stub.declared())
    assert undeclared == []


def test_class_members(pair):
    module, stub = pair
    for class_name in set(stub.classes) - stub.type_check_only():
        real = getattr(module, class_name)
        members = stub.members(class_name)
        for name, node in members.items():
            if isinstance(node, ast.FunctionDef) and not name.startswith("__"):
                assert hasattr(real, name), f"{class_name}.{name} is declared but missing"
                if not is_property(node):
                    assert callable(getattr(real, name)), f"{class_name}.{name} is declared as a method"
        own = [n for n in vars(real) if is_public(n)]
        assert sorted(n for n in own if n not in members) == [], f"undeclared members of {class_name}"


def test_documented_signatures_agree(pair):
    module, stub = pair
    checked = []
    for name, node in stub.functions.items():
        expected = documented_parameters(getattr(module, name))
        if expected is not None:
            assert stub_parameters(node) == expected, name
            checked.append(name)
    for class_name in set(stub.classes) - stub.type_check_only():
        real = getattr(module, class_name)
        expected = documented_parameters(real)
        init = stub.members(class_name).get("__init__")
        if expected is not None and isinstance(init, ast.FunctionDef):
            assert stub_parameters(init) == expected, f"{class_name}()"
        for name, node in stub.members(class_name).items():
            if isinstance(node, ast.FunctionDef) and not name.startswith("__") and not is_property(node):
                expected = documented_parameters(inspect.getattr_static(real, name, None))
                if expected is not None:
                    assert stub_parameters(node) == expected, f"{class_name}.{name}"
