"""The front door's two solvers on a seeded random table of descents
(vexal-py/tests/random_descents.py): each descent planned by the fast search
with solver="clarabel" and with solver="structured", in turns. Reported: the
same verdict (a plan, or the same error kind), the final masses' largest
relative difference, the fallbacks to Clarabel's default solve, and CPU time
per plan (median, 90th percentile, worst).

    python bench/solver_table.py [--cases 300] [--seed 2027] [--n 30 400] [--nearest]
"""
import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

import vexal

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "vexal-py" / "tests"))
from random_descents import random_descent  # noqa: E402

SOLVERS = ("clarabel", "structured")


def planned(config, solver, landing):
    """(verdict, final mass, fallbacks, solves, CPU seconds, time of flight); the verdict is "plan" or the
    error kind."""
    start = time.process_time()
    try:
        plan = vexal.plan(config, solver=solver, landing=landing, threads=1)
    except (ValueError, RuntimeError) as error:
        return getattr(error, "kind", type(error).__name__), float("nan"), 0, 0, time.process_time() - start, 0.0
    return "plan", plan.final_mass, plan.fallbacks, plan.solves, time.process_time() - start, plan.time_of_flight


def percentile(values, q):
    return float(np.percentile(values, q)) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=300)
    parser.add_argument("--seed", type=int, default=2027)
    parser.add_argument("--n", type=int, nargs=2, default=[30, 400], help="node count range")
    parser.add_argument("--nearest", action="store_true", help="plan with landing='nearest'")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    landing = "nearest" if args.nearest else "target"
    rows = []
    for i in range(args.cases):
        world, config = random_descent(rng, tuple(args.n))
        rows.append((world, config.solver.n, {solver: planned(config, solver, landing) for solver in SOLVERS}))
        if (i + 1) % 50 == 0:
            print(f"{i + 1} of {args.cases}", file=sys.stderr)

    differ = [(w, n, r) for w, n, r in rows if r["clarabel"][0] != r["structured"][0]]
    both = [(w, n, r) for w, n, r in rows if r["clarabel"][0] == r["structured"][0] == "plan"]
    gaps = [abs(r["structured"][1] - r["clarabel"][1]) / r["clarabel"][1] for _, _, r in both]
    print(f"seed {args.seed}, {args.cases} descents, n {args.n[0]}-{args.n[1]}, landing {landing}")
    print(f"planned by both: {len(both)}; other verdicts alike: {len(rows) - len(both) - len(differ)}; "
          f"verdicts that differ: {len(differ)}")
    for world, n, r in differ:
        print(f"  {world} n={n}: clarabel {r['clarabel'][0]}, structured {r['structured'][0]}")
    if gaps:
        print(f"final mass, relative difference: median {statistics.median(gaps):.1e}, largest {max(gaps):.1e}")
        # The largest differences, with the times of flight each search stopped at (its tolerance is
        # relative, 2e-4 by default: on a flat optimum two searches may stop apart).
        for gap, (world, n, r) in sorted(zip(gaps, both, strict=True), key=lambda t: -t[0])[:3]:
            print(f"  {gap:.1e}: {world} n={n}, time of flight clarabel {r['clarabel'][5]:.4f} s, "
                  f"structured {r['structured'][5]:.4f} s")
    print("\n| solver | solves | fallbacks | fallback rate | median (ms) | 90 % (ms) | worst (ms) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for solver in SOLVERS:
        solves = sum(r[solver][3] for _, _, r in rows)
        fallbacks = sum(r[solver][2] for _, _, r in rows)
        times = [1e3 * r[solver][4] for _, _, r in rows]
        print(f"| {solver} | {solves} | {fallbacks} | {fallbacks / max(solves, 1):.1%} | "
              f"{statistics.median(times):.1f} | {percentile(times, 90):.1f} | {max(times):.1f} |")
    ratios = [r["structured"][4] / r["clarabel"][4] for _, _, r in rows if r["clarabel"][4] > 0]
    print(f"\nCPU time structured / clarabel per plan: median {statistics.median(ratios):.2f}, "
          f"90 % {percentile(ratios, 90):.2f}, worst {max(ratios):.2f}")


if __name__ == "__main__":
    main()
