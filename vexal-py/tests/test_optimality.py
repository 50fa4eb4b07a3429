"""The planner returns the optimum of its program, not merely a point the
solver calls solved: every answer is judged against an independent accurate
solve of the same program and against the physics it encodes."""
import math

import numpy as np
import pytest

import _vexal
import vexal
from reference_program import reference_optimum, worst_violation

pytest.importorskip("cvxpy")


def vehicle(**changes):
    config = _vexal.Config()
    spacecraft, environment = config.spacecraft, config.environment
    for name, value in changes.items():
        setattr(environment if hasattr(environment, name) else spacecraft, name, value)
    config.spacecraft, config.environment = spacecraft, environment
    return config


LUNAR = dict(wet_mass=12000.0, fuel=5000.0, real_max_thrust=60000.0, fuel_consumption=1 / (311 * 9.80665),
             initial_position=[2000.0, 500.0, 3000.0], initial_velocity=[-50.0, 10.0, -40.0],
             gravity=[0.0, 0.0, -1.62], glide_slope_angle_deg=5.0)
SCENARIOS = {
    "default": (vehicle(), 50.0),
    "glide slope 10 degrees": (vehicle(glide_slope_angle_deg=10.0), 60.0),
    "no throttle floor": (vehicle(min_thrust_pct=0.0), 50.0),
    "lunar vehicle": (vehicle(**LUNAR), 75.0),
    "diverted start": (vehicle(initial_position=[900.0, -400.0, 2100.0], initial_velocity=[-60.0, 30.0, -70.0]), 55.0),
}
for i, case in enumerate(vexal.dispersions(_vexal.Config(), 3, seed=7, sigma=dict(position=200.0, velocity=10.0))):
    SCENARIOS[f"dispersion {i}"] = (case, 50.0)


@pytest.mark.parametrize("n", [50, 100, 400, 1000, 2000])
@pytest.mark.parametrize("name", list(SCENARIOS))
def test_fixed_solve_is_feasible_and_optimal(name, n):
    config, tof = SCENARIOS[name]
    solver = config.solver
    solver.n, solver.time_of_flight = n, tof
    config.solver = solver
    trajectory = _vexal.solve(config)
    assert trajectory.status == "Solved"
    assert worst_violation(config, trajectory) < 1e-6
    status, optimum = reference_optimum(config, tof)
    assert status.startswith("optimal")
    assert trajectory.final_mass == pytest.approx(optimum, rel=1e-6)
