"""The front door's structured solver against the independent optimum (the
tests' cvxpy + Clarabel program at tight tolerances) on the accuracy table:
default, 10-degree glide slope, no throttle floor, a lunar vehicle, a
diverted start and three dispersions, fixed horizons, n = 50 ... 5000.
Prints each relative gap in final mass and the largest, and the gap to the
reference path (the golden solve with the library's defaults), which stays
the check where the independent solve itself warns that it is inaccurate
(n = 5000).

    python bench/structured_accuracy.py [--n 50 100 400 1000 2000 5000]
"""
import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "vexal-py" / "tests"))
from reference_program import reference_optimum  # noqa: E402
from test_optimality import SCENARIOS  # noqa: E402

import _vexal  # noqa: E402
import vexal  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[50, 100, 400, 1000, 2000, 5000])
    args = parser.parse_args()
    worst = worst_golden = 0.0
    print("| n | scenario | structured final mass (kg) | gap to the independent optimum | gap to the golden solve |"
          " fallbacks |")
    print("|---:|---|---:|---:|---:|---:|")
    for n in args.n:
        for name, (config, tof) in SCENARIOS.items():
            config = vexal.configured(config, n=n, time_of_flight=tof)
            plan = vexal.plan(config, pointing=False, solver="structured")
            status, optimum = reference_optimum(config, tof)
            golden = _vexal.solve(config).final_mass
            gap, gap_golden = abs(plan.final_mass - optimum) / optimum, abs(plan.final_mass - golden) / golden
            worst, worst_golden = max(worst, gap), max(worst_golden, gap_golden)
            print(f"| {n} | {name} | {plan.final_mass:.6f} | {gap:.1e} | {gap_golden:.1e} | {plan.fallbacks} |",
                  flush=True)
    print(f"\nlargest relative gap: to the independent optimum {worst:.1e}, to the golden solve {worst_golden:.1e}")


if __name__ == "__main__":
    main()
