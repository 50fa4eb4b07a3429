import importlib.util
import math
import re
import sys

import numpy as np
import pytest
from conftest import raises_exactly, run_python, small_config

import _vexal
from _vexal import Config, PyTrajectory, Solver, solve

NAMES = ["Config", "Spacecraft", "Environment", "Solver", "PyTrajectory", "solve"]


def test_module_contents():
    assert _vexal.__all__ == NAMES
    assert _vexal.__doc__ == ""
    assert not hasattr(_vexal, "PanicException")
    assert [k for k in vars(_vexal) if k in NAMES] == NAMES


def test_solve_function():
    assert solve.__doc__ is None
    assert solve.__text_signature__ == "(config)"
    assert solve.__module__ == "_vexal"
    assert solve.__name__ == solve.__qualname__ == "solve"
    assert solve.__self__ is _vexal
    assert Config.__module__ == PyTrajectory.__module__ == "builtins"


def test_second_execution_shares_the_type_objects():
    spec = importlib.util.find_spec("_vexal")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _vexal
    assert again.__all__ == NAMES
    assert all(getattr(again, n) is getattr(_vexal, n) for n in NAMES[:5])
    assert again.solve.__self__ is again


def test_numpy_untouched_by_import_and_solve():
    result = run_python(
        """
        import sys, _vexal
        assert "numpy" not in sys.modules, "import"
        t = _vexal.solve(_vexal.Config(solver=_vexal.Solver(n=10, time_of_flight=50.0)))
        t.objective, t.final_mass, t.status
        assert "numpy" not in sys.modules, "solve"
        t.positions
        assert "numpy" in sys.modules
        """
    )
    assert result.returncode == 0, result.stderr


SOLVE_BINDING = [
    (lambda: solve(), "solve() missing 1 required positional argument: 'config'"),
    (lambda: solve(Config(), Config()), "solve() takes 1 positional arguments but 2 were given"),
    (lambda: solve(Config(), config=Config()), "solve() got multiple values for argument 'config'"),
    (lambda: solve(Config(), cfg=1), "solve() got an unexpected keyword argument 'cfg'"),
    (lambda: solve(cfg=1), "solve() got an unexpected keyword argument 'cfg'"),
    (lambda: solve(**{"\udc80": 1}), "solve() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("call,message", SOLVE_BINDING)
def test_solve_binding_errors(call, message):
    raises_exactly(call, TypeError, message)


@pytest.mark.parametrize(
    "value,message",
    [
        (None, "'None' is not an instance of 'Config'"),
        (42, "'int' object is not an instance of 'Config'"),
        (Solver(), "'Solver' object is not an instance of 'Config'"),
    ],
)
def test_solve_type_errors(value, message):
    raises_exactly(lambda: solve(value), TypeError, message, "while processing 'config'")


def arrays(t):
    return [t.positions, t.velocities, t.u_values, t.thrusts, t.normalized_thrusts,
            t.z_values, t.s_values, t.time_points]


def same_result(a, b):
    return a.status == b.status and a.objective == b.objective and all(
        np.array_equal(x, y) for x, y in zip(arrays(a), arrays(b), strict=True)
    )


def test_solve_by_keyword_equals_by_position():
    c = small_config()
    assert same_result(solve(c), solve(config=c))


def test_solve_leaves_config_unchanged_and_holds_no_reference():
    c = small_config()
    before, refs = c.to_json(), sys.getrefcount(c)
    solve(c)
    assert c.to_json() == before
    assert sys.getrefcount(c) == refs


def test_fixed_time_of_flight_ignores_bounds():
    plain = solve(small_config())
    bounded = solve(small_config(tof_min=1.0, tof_max=2.0))
    assert same_result(plain, bounded)


def test_max_angle_changes_nothing():
    c = small_config()
    env = c.environment
    env.max_angle_deg = 1.0
    c2 = small_config()
    c2.environment = env
    assert same_result(solve(c), solve(c2))


def test_search_leaves_time_of_flight_unset():
    c = Config(solver=Solver(n=20))
    t = solve(c)
    assert c.solver.time_of_flight is None
    assert t.status in ("Solved", "AlmostSolved")
    assert t.time_points[1] * 20 > 0


CORE_ERROR = re.compile(
    r"solver construction error: .+|solver status: [A-Za-z]+"
    r"|infeasible: no feasible time-of-flight in \[-?\d+\.\d{3}, -?\d+\.\d{3}\]"
)


@pytest.mark.parametrize(
    "config",
    [
        small_config(time_of_flight=0.5),  # far too short to land
        Config(spacecraft=_vexal.Spacecraft(fuel=0.0), solver=Solver(n=10)),
    ],
)
def test_core_failures_are_value_errors(config):
    with pytest.raises(ValueError) as info:
        solve(config)
    assert type(info.value) is ValueError
    assert CORE_ERROR.fullmatch(str(info.value)), str(info.value)
    assert len(info.value.args) == 1


def test_final_mass_is_exp_of_objective(trajectory):
    assert trajectory.final_mass == math.exp(trajectory.objective)
    assert trajectory.objective == trajectory.z_values[-1]
