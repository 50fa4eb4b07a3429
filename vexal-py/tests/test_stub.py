import ast
import inspect
from pathlib import Path

import pytest

import _vexal

STUB = ast.parse((Path(__file__).parents[1] / "_vexal.pyi").read_text())
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}


def test_stub_lists_the_module():
    assigned = next(n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(assigned.value) == _vexal.__all__
    assert set(CLASSES) == set(_vexal.__all__) - {"solve"}
    solve = next(n for n in STUB.body if isinstance(n, ast.FunctionDef) and n.name == "solve")
    assert [a.arg for a in solve.args.args] == ["config"]


@pytest.mark.parametrize("name", ["Spacecraft", "Environment", "Solver", "Config"])
def test_stub_constructors_match(name):
    new = next(f for f in CLASSES[name].body if isinstance(f, ast.FunctionDef) and f.name == "__new__")
    stub_params = [a.arg for a in new.args.args[1:]]
    assert stub_params == list(inspect.signature(getattr(_vexal, name)).parameters)


@pytest.mark.parametrize("name", ["Spacecraft", "Environment", "Solver", "Config", "PyTrajectory"])
def test_stub_properties_match(name):
    stub_props = []
    for f in CLASSES[name].body:
        if isinstance(f, ast.FunctionDef) and any(
            isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list
        ):
            stub_props.append(f.name)
    runtime = [k for k, v in vars(getattr(_vexal, name)).items() if inspect.isgetsetdescriptor(v)]
    assert stub_props == runtime
