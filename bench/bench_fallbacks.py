"""How often the quick path falls back to the library's default solve, by
solver and landing: on a seeded random table (vexal-py/tests/random_descents.py)
each descent is planned to its target, and moved 2-6 km further out (out of
reach) and planned with the nearest landing; both with the fast search, on
the structured solver and on Clarabel's quick path.

    python bench/bench_fallbacks.py [--cases 20] [--seed 2031]
"""
import argparse
import math
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "vexal-py" / "tests"))
from random_descents import random_descent  # noqa: E402

import vexal  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=20)
    parser.add_argument("--seed", type=int, default=2031)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    totals = {}
    for _ in range(args.cases):
        world, config = random_descent(rng)
        bearing = float(rng.uniform(0.0, 2 * math.pi))
        out = float(rng.uniform(2000.0, 6000.0))
        start = config.spacecraft.initial_position
        far = vexal.configured(config, initial_position=[start[0] + out * math.cos(bearing),
                                                          start[1] + out * math.sin(bearing), start[2]])
        for landing, case in (("target", config), ("nearest", far)):
            for solver in ("structured", "clarabel"):
                began = time.process_time()
                try:
                    plan = vexal.plan(case, landing=landing, solver=solver)
                except ValueError:
                    continue
                row = totals.setdefault((landing, solver), [0, 0, 0, 0.0])
                row[0] += 1
                row[1] += plan.solves
                row[2] += plan.fallbacks
                row[3] += time.process_time() - began
    print(f"fallbacks of the fast search, seed {args.seed}, {args.cases} descents")
    print("| landing | solver | plans | solves | fallbacks | rate | CPU s per plan |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for (landing, solver), (plans, solves, fallbacks, seconds) in sorted(totals.items()):
        print(f"| {landing} | {solver} | {plans} | {solves} | {fallbacks} | {fallbacks / max(solves, 1):.1%} | "
              f"{seconds / max(plans, 1):.3f} |")


if __name__ == "__main__":
    main()
