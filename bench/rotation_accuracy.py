"""Plans on a turning planet against the program written a second time
(vexal-py/tests/reference_program.py, cvxpy + Clarabel at 1e-9): seeded
random descents with random rotations up to a hundred times the Earth's,
each planned by vexal.plan, then solved independently at the time of flight
the search found; the relative gap in final mass.

    python bench/rotation_accuracy.py [--descents 14] [--seed 20261207]
"""
import argparse
import pathlib
import sys

import numpy as np

import vexal

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vexal-py" / "tests"))
from random_descents import random_descent  # noqa: E402
from reference_program import reference_solve  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--descents", type=int, default=14)
parser.add_argument("--seed", type=int, default=20261207)
args = parser.parse_args()
rng = np.random.default_rng(args.seed)
rows = []
for _ in range(args.descents):
    world, config = random_descent(rng, (30, 150))
    scale = float(rng.choice([1.0, 10.0, 100.0]))
    w = (rng.normal(0, 7e-5, 3) * scale).tolist()
    pointing = bool(rng.integers(0, 2))
    try:
        p = vexal.plan(config, rotation=w, pointing=pointing)
    except ValueError as e:
        print(world, "plan failed:", e)
        continue
    tof = p.time_of_flight
    limit = config.environment.max_angle_deg if pointing and config.environment.max_angle_deg < 180 else None
    st, mass, _ = reference_solve(config, tof, pointing_deg=limit, rotation=w)
    rel = abs(p.final_mass - mass) / mass
    rows.append(rel)
    print(f"{world:5} n={config.solver.n:3d} |w|={np.linalg.norm(w):.1e} pointing={pointing!s:5} "
          f"tof={tof:7.3f} vexal={p.final_mass:.6f} reference={mass:.6f} ({st}) gap={rel:.1e}")
print(f"worst gap {max(rows):.1e}, median {float(np.median(rows)):.1e}")
