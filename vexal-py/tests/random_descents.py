"""A seeded random table of descents nobody tuned on: lunar, Martian and
terrestrial vehicles of 1.5-15 t, throttle floors from 0, glide slopes
0-40 degrees, starts up to 3 km off the target, n = 30-400. The tests and
the benches that quote a figure "on a seeded random table" draw their cases
here.
"""
import math

import numpy as np

import vexal

# (gravity m/s^2, thrust-to-weight at ignition, Isp s)
WORLDS = {"Moon": (1.62, 2.0, 311.0), "Mars": (3.71, 2.5, 225.0), "Earth": (9.81, 1.6, 280.0)}


def random_descent(rng: np.random.Generator, n_range: tuple[int, int] = (30, 400)) -> tuple[str, vexal.Config]:
    """(world, config): one random descent with its time of flight left to the search."""
    world = str(rng.choice(list(WORLDS)))
    gravity, ratio, isp = WORLDS[world]
    wet = float(rng.uniform(1500.0, 15000.0))
    height = float(rng.uniform(1000.0, 3000.0))
    slope = float(rng.uniform(0.0, 40.0))
    # Inside the glide-slope cone, with room to spare.
    reach = min(3000.0, 0.8 * height / max(math.tan(math.radians(slope)), 1e-9))
    distance = float(rng.uniform(0.0, reach))
    bearing = float(rng.uniform(0.0, 2 * math.pi))
    return world, vexal.configured(
        wet_mass=wet, fuel=wet * float(rng.uniform(0.2, 0.6)), real_max_thrust=ratio * wet * gravity,
        min_thrust_pct=float(rng.uniform(0.0, 0.4)), max_thrust_pct=float(rng.uniform(0.6, 1.0)),
        fuel_consumption=1.0 / (isp * 9.80665), max_velocity=1000.0,
        initial_position=[distance * math.cos(bearing), distance * math.sin(bearing), height],
        initial_velocity=[float(v) for v in rng.normal(0.0, [30.0, 30.0, 20.0])], gravity=[0.0, 0.0, -gravity],
        glide_slope_angle_deg=slope, n=int(rng.integers(n_range[0], n_range[1] + 1)))
