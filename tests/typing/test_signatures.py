"""inspect.signature of every public function, class and method of every
extension module, and the parameter names it gives agree with the stubs
(the last overload's, without self/cls)."""

import ast
import importlib
import inspect
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "docs"))
from test_stubs import MODULES, Stub, stub_path, stub_parameters  # noqa: E402

# Callables that have no signature yet, each for its reason; the sweep fails
# when one of them gains one, so that it leaves this list.
PENDING = {
    # dict subclasses and the metaclass take what dict() and type() take
    "Tessary.Ext.Dict.DictPlus()", "Tessary.Model.DataModel.ModelInstance()", "Tessary.Model.DataModel.ModelMeta()",
}


def public_callables():
    """(label, callable, stub function node or None) of every public callable."""
    found = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        stub = Stub(stub_path(module_name))
        for name, obj in list(vars(module).items()):
            if name.startswith("_"):
                continue
            if isinstance(obj, type) and obj.__module__ == module_name:
                members = stub.members(name) if name in stub.classes else {}
                init = members.get("__init__")
                found.append((f"{module_name}.{name}()", obj, init if isinstance(init, ast.FunctionDef) else None))
                for member in vars(obj):
                    raw = inspect.getattr_static(obj, member)
                    if member.startswith("_") or isinstance(raw, (property, type)) or not callable(getattr(obj, member)):
                        continue
                    node = members.get(member)
                    found.append((f"{module_name}.{name}.{member}", getattr(obj, member),
                                  node if isinstance(node, ast.FunctionDef) else None))
            elif callable(obj) and not isinstance(obj, type) and name in stub.functions:
                found.append((f"{module_name}.{name}", obj, stub.functions[name]))
    return found


CALLABLES = public_callables()


# A model class is called through ModelMeta.__call__ (giving a ModelInstance); the
# __init__ its stub declares is only what mypy, which does not follow the metaclass, checks.
MODEL_CLASSES = {"Tessary.Model.DataModel.DataModel()", "Tessary.Model.DataModel.MiddleDataModel()"}


def parameter_names(signature):
    """Names as stub_parameters gives them; positional-only ones stand as "/" (their names are free)."""
    names = []
    parameters = list(signature.parameters.values())
    if parameters and parameters[0].name in ("self", "cls", "type"):
        parameters = parameters[1:]
    for p in parameters:
        if p.kind is p.VAR_POSITIONAL:
            names.append("*")
        elif p.kind is p.VAR_KEYWORD:
            names.append("**" + p.name)
        else:
            names.append("/" if p.kind is p.POSITIONAL_ONLY else p.name)
    return names


def test_every_public_callable_was_found():
    assert len(CALLABLES) > 150


@pytest.mark.parametrize("label, obj, node", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_signature(label, obj, node):
    if label in PENDING:
        with pytest.raises((ValueError, TypeError)):
            inspect.signature(obj)
        return
    signature = inspect.signature(obj)
    if node is None or label in MODEL_CLASSES:
        return
    names = parameter_names(signature)
    expected = stub_parameters(node)
    positional_only = len(node.args.posonlyargs) - (node.args.posonlyargs[:1] != [] and
                                                    node.args.posonlyargs[0].arg in ("self", "cls"))
    expected = ["/"] * positional_only + expected[positional_only:]
    assert names == expected


@pytest.mark.parametrize("column", ["IntegerProperty", "VarcharProperty", "JsonProperty"])
def test_column_signature_names_the_no_default_marker(column):
    from Tessary.Model import ModelProperty
    signature = inspect.signature(getattr(ModelProperty, column))
    assert signature.parameters["default"].default is ModelProperty.NullDefault
    assert str(signature).startswith("(*typeArgs, isPrimaryKey=False, nullable=False, default=")
    with pytest.raises(AttributeError):
        getattr(ModelProperty.IntegerProperty(), "__signature__")  # an instance is no callable
