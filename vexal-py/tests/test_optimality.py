"""The planner returns the optimum of its program, not merely a point the
solver calls solved: every answer is judged against an independent accurate
solve of the same program and against the physics it encodes."""
import math

import numpy as np
import pytest
from random_descents import random_descent
from reference_program import reference_optimum, reference_solve, worst_violation

import _vexal
import vexal

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
    # The front door's structured solver reaches the same optimum.
    plan = vexal.plan(config, pointing=False, solver="structured")
    assert plan.fallbacks == 0 and worst_violation(config, plan) < 1e-6
    assert plan.final_mass == pytest.approx(optimum, rel=1e-6)


# Barely enough fuel: the horizons that land form a window narrower than a
# step of the search's grid (the example needs 198.902 kg at n = 50).
TIGHT_FUEL = {
    "example, 199 kg": (dict(n=50, fuel=199.0), "target"),
    "Earth gravity, 1.001 x the need": (dict(n=40, fuel=481.68, gravity=[0.0, 0.0, -9.81],
                                             initial_position=[700.0, -100.0, 2200.0]), "target"),
    "nearest landing, 198 kg": (dict(n=50, fuel=198.0, target_position=[300.0, 0.0, 0.0]), "nearest"),
}


@pytest.mark.parametrize("name", list(TIGHT_FUEL))
def test_a_fuel_window_between_grid_points_is_found(name):
    fields, landing = TIGHT_FUEL[name]
    config = vexal.configured(vehicle(), **fields)
    fast, golden = (vexal.plan(config, search=mode, pointing=False, landing=landing, landing_tolerance=0.0)
                    for mode in ("fast", "golden"))
    assert golden.solves > 36  # no grid point lands
    for plan in (fast, golden):
        assert plan.fuel_used <= config.spacecraft.fuel * (1 + 1e-8)
        assert worst_violation(config, plan) < 1e-6 or landing == "nearest"
    if landing == "nearest":
        assert fast.landing_error == pytest.approx(golden.landing_error, abs=1e-3)
        status, _, point = reference_solve(config, golden.time_of_flight, landing="nearest")
        assert status.startswith("optimal") and golden.landing_error == pytest.approx(miss(point, config), abs=1e-4)
        return
    exact = _vexal.solve(config)
    assert exact.final_mass == golden.final_mass and np.array_equal(exact.positions, golden.positions)
    assert fast.final_mass == pytest.approx(golden.final_mass, rel=1e-6)
    status, optimum = reference_optimum(config, golden.time_of_flight)
    assert status.startswith("optimal") and golden.final_mass == pytest.approx(optimum, rel=1e-6)
    for t in (golden.time_of_flight - 0.1, golden.time_of_flight + 0.1):  # the optimum of the window
        assert vexal.plan(config, time_of_flight=t, pointing=False).final_mass <= golden.final_mass * (1 + 1e-7)


# Horizons well past the best one (seeded random descents, 20-degree pointing
# limit): the plan is the independent optimum to 1e-6, or says that it is
# not proven optimal (the first ends AlmostSolved, 4e-4 short).
@pytest.mark.filterwarnings("ignore:Solution may be inaccurate")
@pytest.mark.parametrize("case, factor", [(4, 2.5), (0, 1.3), (8, 2.5), (4, 1.9)])
def test_a_long_horizon_is_optimal_or_says_it_is_not(case, factor):
    rng = np.random.default_rng(11)
    for _ in range(case + 1):
        _, config = random_descent(rng)
    config = vexal.configured(config, max_angle_deg=20.0)
    tof = vexal.plan(config).time_of_flight * factor
    plan = vexal.plan(config, time_of_flight=tof)
    assert worst_violation(config, plan) < 1e-6
    status, optimum, _ = reference_solve(config, tof, pointing_deg=20.0)
    assert status.startswith("optimal")
    assert plan.final_mass >= optimum * (1 - 1e-6) or not plan.optimal
    assert plan.optimal or "not proven optimal" in plan.format_summary()


MARS = dict(wet_mass=1905.0, fuel=400.0, real_max_thrust=6 * 3100 * math.cos(math.radians(27)), min_thrust_pct=0.3,
            max_thrust_pct=0.8, fuel_consumption=1 / (225 * 9.807 * math.cos(math.radians(27))),
            max_velocity=500 / 3.6, initial_position=[2000.0, 0.0, 1500.0], initial_velocity=[80.0, 30.0, -75.0],
            gravity=[0.0, 0.0, -3.7114], glide_slope_angle_deg=4.0, max_angle_deg=40.0)
# (fields, time of flight, pointing limit): each limit binds, the free plan breaks it.
POINTING = {
    "default": ({"max_angle_deg": 20.0}, 75.0),
    "Mars": (MARS, 75.0),
    "lunar vehicle": ({**LUNAR, "max_angle_deg": 30.0}, 75.0),
    "lunar, limit past horizontal": ({**LUNAR, "max_angle_deg": 120.0}, 60.0),
}


@pytest.mark.parametrize("name", list(POINTING))
def test_pointing_limit_is_optimal_and_kept(name):
    fields, tof = POINTING[name]
    config = vexal.configured(vehicle(), n=60, time_of_flight=tof, **fields)
    theta = config.environment.max_angle_deg
    free, plan = vexal.plan(config, pointing=False), vexal.plan(config)
    structured = vexal.plan(config, solver="structured")
    assert free.max_pointing_angle_deg > theta + 1.0
    assert plan.pointing_limit_deg == theta and plan.over_pointing == () and plan.relaxation_tight
    assert plan.max_pointing_angle_deg <= theta + math.degrees(1e-6)
    assert float(np.max(plan.relaxation_gap)) < 1e-6
    assert worst_violation(config, plan) < 1e-6
    status, optimum, _ = reference_solve(config, tof, pointing_deg=theta)
    assert status.startswith("optimal")
    assert plan.final_mass == pytest.approx(optimum, rel=1e-6, abs=1e-5)
    assert structured.final_mass == pytest.approx(optimum, rel=1e-6, abs=1e-5)


def test_mars_descent_with_the_pointing_limit_matches_the_published_fuel():
    config = vexal.configured(vehicle(), tof_min=40.0, tof_max=100.0, **MARS)
    free, plan = vexal.plan(config, search="fast", pointing=False), vexal.plan(config, search="fast")
    assert free.fuel_used == pytest.approx(369.28, abs=0.01) and free.max_pointing_angle_deg > 50.0
    # Published: 373.77 kg, with Mars rotation and a four-sided glide pyramid.
    assert plan.fuel_used == pytest.approx(373.33, abs=0.01) and plan.max_pointing_angle_deg < 40.0 + 1e-4
    assert plan.fuel_used == pytest.approx(373.77, rel=2e-3)
    # With the published rotation, in this frame: 0.24 kg nearer.
    turning = vexal.plan(config, search="fast", rotation=ROTATIONS["Mars"][2])
    assert turning.fuel_used == pytest.approx(373.57, abs=0.01)


# The published Mars rotation in the configuration's frame (z up, y north
# at 20.9 degrees north), and a small body spinning fast enough to move the
# optimum by kilograms: the plan keeps the rotating dynamics and is their optimum.
ROTATIONS = {
    "Mars": (MARS, 75.0, (0.0, 6.62e-5, 2.53e-5)),
    "fast spin": ({"glide_slope_angle_deg": 10.0}, 50.0, (2e-3, -1e-3, 3e-3)),
}


@pytest.mark.parametrize("name", list(ROTATIONS))
def test_a_turning_planet_is_planned_to_its_optimum(name):
    fields, tof, rotation = ROTATIONS[name]
    config = vexal.configured(vehicle(), n=60, time_of_flight=tof, **fields)
    plan = vexal.plan(config, rotation=rotation)
    structured = vexal.plan(config, rotation=rotation, solver="structured")
    assert plan.rotation == rotation and plan.relaxation_tight
    assert worst_violation(config, plan, rotation) < 1e-6
    status, optimum, _ = reference_solve(config, tof, pointing_deg=config.environment.max_angle_deg,
                                         rotation=rotation)
    assert status.startswith("optimal")
    assert plan.final_mass == pytest.approx(optimum, rel=1e-6, abs=1e-5)
    assert structured.final_mass == pytest.approx(optimum, rel=1e-6, abs=1e-5)


# Targets that cannot be reached: the start is outside the glide-slope cone
# about the target, or there is too little fuel for the divert.
UNREACHABLE = {
    "outside the cone": ({"initial_position": [3000.0, 200.0, 400.0], "glide_slope_angle_deg": 10.0,
                          "tof_min": 20.0, "tof_max": 80.0}, [40.0, 65.0]),
    "too little fuel": ({"fuel": 400.0, "initial_position": [3000.0, 1500.0, 2400.0],
                         "initial_velocity": [60.0, 10.0, -20.0], "tof_min": 20.0, "tof_max": 41.0}, [35.0, 41.0]),
    "pointing limited": ({"initial_position": [3000.0, 200.0, 400.0], "glide_slope_angle_deg": 10.0,
                          "max_angle_deg": 20.0, "pointing": True, "tof_min": 20.0, "tof_max": 80.0}, [50.0]),
    # The start on the glide slope's boundary about the landing point, 2.7 km
    # short: its cones bind at kilometres (the structured solver broke down).
    "Mars, glide slope 27 degrees": ({"n": 97, "wet_mass": 8139.12, "fuel": 2783.02, "real_max_thrust": 75490.36,
                                      "min_thrust_pct": 0.2346, "max_thrust_pct": 0.6943,
                                      "fuel_consumption": 4.532072e-4, "max_velocity": 1000.0,
                                      "initial_position": [1983.22, 4628.85, 1164.79],
                                      "initial_velocity": [-53.17, -35.23, 10.22], "gravity": [0.0, 0.0, -3.71],
                                      "glide_slope_angle_deg": 26.77, "tof_min": 50.0, "tof_max": 150.0,
                                      "fallbacks": 0},
                                     [62.6, 150.0]),
}


def miss(point, config):
    return math.hypot(*(np.asarray(point)[:2] - config.spacecraft.target_position[:2]))


@pytest.mark.filterwarnings("ignore:Solution may be inaccurate")  # reference times that are not kept
@pytest.mark.parametrize("name", list(UNREACHABLE))
def test_nearest_landing_matches_the_independent_minimum(name):
    fields, tofs = UNREACHABLE[name]
    fields = dict(fields)
    pointing = fields.pop("pointing", False)
    fallbacks = fields.pop("fallbacks", None)  # of the structured solves, when both stages converge
    config = vexal.configured(vehicle(), **{"n": 40, **fields})
    theta = config.environment.max_angle_deg if pointing else None
    with pytest.raises(ValueError):
        vexal.plan(config, search="fast", pointing=pointing)
    for tof in tofs:
        plan = vexal.plan(config, time_of_flight=tof, landing="nearest", pointing=pointing)
        structured = vexal.plan(config, time_of_flight=tof, landing="nearest", pointing=pointing,
                                solver="structured")
        status, _, point = reference_solve(config, tof, pointing_deg=theta, landing="nearest")
        assert status.startswith("optimal")
        least = miss(point, config)
        assert least > 100.0
        # The fuel stage may use a margin of 3e-8 of the divert.
        start, target = config.spacecraft.initial_position, config.spacecraft.target_position
        near = max(1e-4, 4e-8 * math.dist(start[:2], target[:2]))
        assert plan.landing_error == pytest.approx(least, abs=near)
        assert structured.landing_error == pytest.approx(least, abs=near)
        assert fallbacks is None or structured.fallbacks == fallbacks
        assert structured.final_mass == pytest.approx(plan.final_mass, rel=1e-5)
        assert plan.landing_error == pytest.approx(miss(plan.landing_point, config), abs=1e-12)
        # The least fuel for landing there; at the edge of reach the fuel
        # moves grams for every micrometre of landing error.
        status, mass, _ = reference_solve(config, tof, pointing_deg=theta, landing=plan.landing_error)
        assert status.startswith("optimal")
        assert plan.final_mass == pytest.approx(mass, rel=1e-5)
    searched = vexal.plan(config, search="fast", landing="nearest", pointing=pointing, landing_tolerance=0.0)
    references = [reference_solve(config, t, pointing_deg=theta, landing="nearest")
                  for t in np.linspace(config.solver.tof_min, config.solver.tof_max, 9)]
    least = min(miss(point, config) for status, _, point in references if status == "optimal")
    assert searched.landing_error <= least + near
    # Within the default tolerance of the least error fuel decides: never
    # further than it, never more fuel.
    for search in ("fast", "golden"):
        exact = searched if search == "fast" else vexal.plan(config, search=search, landing="nearest",
                                                              pointing=pointing, landing_tolerance=0.0)
        cheaper = vexal.plan(config, search=search, landing="nearest", pointing=pointing)
        assert cheaper.landing_tolerance == 1.0
        assert cheaper.landing_error <= exact.landing_error + cheaper.landing_tolerance
        assert cheaper.final_mass >= exact.final_mass


@pytest.mark.filterwarnings("ignore:Solution may be inaccurate")
def test_nearest_landing_on_a_seeded_random_table_keeps_its_stated_bound():
    # Diverts nobody tuned on: the error reported exceeds the independent
    # least error by no more than the documented 1e-6 of the divert distance (docs/landing.md).
    rng = np.random.default_rng(2026)
    compared = 0
    while compared < 5:
        gravity, ratio, isp = [(1.62, 2.0, 311.0), (3.71, 2.5, 225.0), (9.81, 1.6, 280.0)][rng.integers(3)]
        wet, d, bearing = rng.uniform(1500.0, 15000.0), rng.uniform(1500.0, 20000.0), rng.uniform(0.0, 2 * math.pi)
        config = vexal.configured(
            wet_mass=wet, fuel=wet * rng.uniform(0.1, 0.4), real_max_thrust=ratio * wet * gravity / 0.8,
            fuel_consumption=1.0 / (isp * 9.80665), initial_position=[d * math.cos(bearing), d * math.sin(bearing),
                                                                      rng.uniform(300.0, 3000.0)],
            initial_velocity=rng.normal(0.0, 30.0, 3).tolist(), gravity=[0.0, 0.0, -gravity],
            glide_slope_angle_deg=float(rng.choice([0.0, 10.0])), n=int(rng.integers(20, 41)),
            time_of_flight=rng.uniform(20.0, 90.0))
        try:
            plan = vexal.plan(config, landing="nearest", pointing=False)
        except ValueError:
            continue  # cannot land at all in that time
        status, _, point = reference_solve(config, config.solver.time_of_flight, landing="nearest")
        if status != "optimal":
            continue
        compared += 1
        assert plan.landing_error - miss(point, config) <= max(1e-4, 1e-6 * d)
