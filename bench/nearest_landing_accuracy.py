"""How near the nearest landing comes to the least landing error, on a
seeded random table of vehicles, gravities, glide slopes, node counts and
diverts out of reach, against the program written again in cvxpy and
solved to 1e-9 (vexal-py/tests/reference_program.py).

    python bench/nearest_landing_accuracy.py [--cases 40] [--seed 7]

Prints one row per case and the largest excess over the least error, in
metres and as a fraction of the start's horizontal distance d.
"""
import argparse
import math
import pathlib
import sys
import warnings

import numpy as np

import vexal

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "vexal-py" / "tests"))
from reference_program import reference_solve  # noqa: E402

# (gravity m/s^2, thrust-to-weight at ignition, Isp s)
WORLDS = [(1.62, 2.0, 311.0), (3.71, 2.5, 225.0), (9.81, 1.6, 280.0)]


def random_case(rng: np.random.Generator) -> vexal.Config:
    gravity, ratio, isp = WORLDS[rng.integers(len(WORLDS))]
    wet = float(rng.uniform(1500.0, 15000.0))
    distance = float(rng.uniform(1500.0, 20000.0))
    bearing = float(rng.uniform(0.0, 2 * math.pi))
    height = float(rng.uniform(300.0, 3000.0))
    return vexal.configured(
        wet_mass=wet, fuel=wet * float(rng.uniform(0.1, 0.4)), real_max_thrust=ratio * wet * gravity / 0.8,
        fuel_consumption=1.0 / (isp * 9.80665), max_velocity=1000.0,
        initial_position=[distance * math.cos(bearing), distance * math.sin(bearing), height],
        initial_velocity=[float(v) for v in rng.normal(0.0, 30.0, 3)], gravity=[0.0, 0.0, -gravity],
        glide_slope_angle_deg=float(rng.choice([0.0, 5.0, 10.0, 20.0])), n=int(rng.integers(30, 121)),
        time_of_flight=float(rng.uniform(20.0, 90.0)))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=40)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    print("| case | g | n | tof (s) | d (m) | least error (m) | plan (m) | excess (m) | excess / d |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    worst, worst_fraction, kept = 0.0, 0.0, 0
    for case in range(args.cases):
        config = random_case(rng)
        tof = config.solver.time_of_flight
        try:
            plan = vexal.plan(config, landing="nearest", pointing=False)
        except ValueError:
            continue  # no landing at all in that time: nothing to compare
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            status, _, point = reference_solve(config, tof, landing="nearest")
        if status != "optimal":
            continue
        target = np.array(config.spacecraft.target_position[:2])
        least = float(np.hypot(*(np.asarray(point)[:2] - target)))
        d = float(np.hypot(*(np.array(config.spacecraft.initial_position[:2]) - target)))
        excess = plan.landing_error - least
        worst, worst_fraction, kept = max(worst, excess), max(worst_fraction, excess / d), kept + 1
        print(f"| {case} | {-config.environment.gravity[2]:.2f} | {config.solver.n} | {tof:.3f} | {d:.0f} | "
              f"{least:.6f} | {plan.landing_error:.6f} | {excess:.2e} | {excess / d:.1e} |")
    print(f"\n{kept} cases compared: largest excess {worst:.2e} m, largest excess / d {worst_fraction:.1e}")


if __name__ == "__main__":
    main()
