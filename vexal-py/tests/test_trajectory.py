import gc
import weakref

import numpy as np
import pytest
from conftest import run_python, small_config

from _vexal import Config, PyTrajectory, Solver, Spacecraft, solve

ATTRIBUTES = ["positions", "velocities", "u_values", "thrusts", "normalized_thrusts",
              "z_values", "s_values", "time_points", "objective", "final_mass", "status"]
ROWS = ATTRIBUTES[:3]
VECTORS = ATTRIBUTES[3:8]


def test_class_shape(trajectory):
    assert [k for k in PyTrajectory.__dict__ if not k.startswith("__")] == ATTRIBUTES
    assert all(getattr(PyTrajectory, a).__doc__ is None for a in ATTRIBUTES)
    assert PyTrajectory.__doc__ is None
    assert PyTrajectory.__module__ == "builtins" and PyTrajectory.__qualname__ == "PyTrajectory"
    for attempt in (lambda: PyTrajectory(), lambda: type("Derived", (PyTrajectory,), {}),
                    lambda: weakref.ref(trajectory)):
        with pytest.raises(TypeError):
            attempt()
    for attempt in (lambda: setattr(trajectory, "status", "x"), lambda: delattr(trajectory, "positions"),
                    lambda: setattr(trajectory, "other", 1)):
        with pytest.raises(AttributeError):
            attempt()


@pytest.mark.parametrize("n", [1, 10])
def test_array_layout(n):
    # One node: start and target must coincide, at rest.
    config = Config(
        spacecraft=Spacecraft(initial_position=[0, 0, 0], initial_velocity=[0, 0, 0]),
        solver=Solver(n=n, time_of_flight=10.0),
    ) if n == 1 else small_config(n=n)
    t = solve(config)
    for name in ROWS + VECTORS:
        a = getattr(t, name)
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.dtype.isnative
        assert a.shape == ((n, 3) if name in ROWS else (n,))
        assert a.strides == ((24, 8) if name in ROWS else (8,))
        assert a.flags.writeable and a.flags.c_contiguous and a.flags.aligned
        assert not a.flags.owndata and a.base is not None
    assert type(t.objective) is float and type(t.final_mass) is float
    assert t.status in ("Solved", "AlmostSolved")
    assert t.time_points[0] == 0.0


@pytest.mark.parametrize("name", ROWS + VECTORS)
def test_every_read_is_an_independent_copy(trajectory, name):
    first, second = getattr(trajectory, name), getattr(trajectory, name)
    assert first is not second and first.base is not second.base
    assert np.array_equal(first, second)
    expected = second.copy()
    first[...] = 123.0
    assert np.array_equal(second, expected)
    assert np.array_equal(getattr(trajectory, name), expected)


def test_rows_follow_node_order(trajectory):
    # row 0 is the start, the last row the target; time grows down the rows
    assert np.allclose(trajectory.positions[0], [450.0, -330.0, 2400.0], atol=1e-4)
    assert np.allclose(trajectory.velocities[0], [-40.0, 10.0, -10.0], atol=1e-4)
    assert np.allclose(trajectory.positions[-1], [0.0, 0.0, 0.0], atol=1e-4)
    assert np.all(np.diff(trajectory.time_points) > 0)


def test_arrays_outlive_their_trajectory():
    t = solve(small_config())
    kept = {name: getattr(t, name) for name in ROWS + VECTORS}
    copies = {name: a.copy() for name, a in kept.items()}
    del t
    gc.collect()
    for name, a in kept.items():
        assert np.array_equal(a, copies[name])


def test_scalars_are_fresh_objects(trajectory):
    assert trajectory.status == trajectory.status
    assert trajectory.objective == trajectory.objective


def test_without_numpy():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import _vexal
        t = _vexal.solve(_vexal.Config(solver=_vexal.Solver(n=10, time_of_flight=50.0)))
        assert t.status in ("Solved", "AlmostSolved") and t.final_mass > 0 and t.objective < 10
        kinds = []
        for _ in range(2):
            try:
                try:
                    t.positions
                except Exception:
                    raise SystemExit("caught as Exception")
            except BaseException as e:
                kinds.append(type(e))
                assert type(e).__name__ == "PanicException"
                assert type(e).__bases__ == (BaseException,)
                assert type(e).__doc__.startswith("\\n") and "BaseException" in type(e).__doc__
                assert len(e.args) == 1
                assert e.args[0].startswith(
                    "Failed to access NumPy array API capsule: ModuleNotFoundError: "), e.args[0]
        assert kinds[0] is kinds[1]
        assert not hasattr(_vexal, "PanicException")
        del sys.modules["numpy"]
        assert t.velocities.shape == (10, 3)
        print("ok")
        """
    )
    assert result.returncode == 0 and result.stdout == "ok\n", result.stderr


def test_first_array_read_from_several_threads():
    result = run_python(
        """
        import threading, _vexal
        t = _vexal.solve(_vexal.Config(solver=_vexal.Solver(n=10, time_of_flight=50.0)))
        shapes = []
        threads = [threading.Thread(target=lambda: shapes.append(t.u_values.shape)) for _ in range(8)]
        for th in threads: th.start()
        for th in threads: th.join()
        assert shapes == [(10, 3)] * 8, shapes
        """
    )
    assert result.returncode == 0, result.stderr
