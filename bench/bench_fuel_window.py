"""Descents with barely enough fuel: the window of horizons that land can be
narrower than a step of the search's grid. On a seeded random table (the
example vehicle, Moon/Mars/Earth gravity, jittered starts, n = 30-100, fuel
1.0002-1.004 times the optimum's need) the fast search, the golden search
and _vexal.solve are judged against a fine scan of fixed horizons: every
window the scan finds must be found, ending within 1e-6 of the scan's best
final mass.

    python bench/bench_fuel_window.py [--cases 100] [--seed 2027] [--step 0.02] [--span 3.0]
"""
import argparse
import math
import statistics
import time

import numpy as np

import _vexal
import vexal

GRAVITY = {"Moon": 1.62, "Mars": 3.71, "Earth": 9.81}


def tight_descents(count, seed):
    """(world, config, need, best tof) for `count` descents that land with the
    example's fuel; the fuel is then cut to 1.0002-1.004 of what they need."""
    rng = np.random.default_rng(seed)
    made = 0
    while made < count:
        world = str(rng.choice(list(GRAVITY)))
        example = vexal.Config()
        start = np.array(example.spacecraft.initial_position) + rng.normal(0.0, [200.0, 200.0, 150.0])
        speed = np.array(example.spacecraft.initial_velocity) + rng.normal(0.0, [10.0, 10.0, 5.0])
        config = vexal.configured(example, gravity=[0.0, 0.0, -GRAVITY[world]], n=int(rng.integers(30, 101)),
                                  initial_position=start.tolist(), initial_velocity=speed.tolist())
        factor = float(rng.uniform(1.0002, 1.004))
        try:
            full = vexal.plan(config, search="golden", pointing=False)
        except ValueError:
            continue  # does not land even with the example's fuel
        made += 1
        tight = vexal.configured(config, fuel=full.fuel_used * factor)
        yield world, tight, full.fuel_used, full.time_of_flight


def scan(config, centre, span, step):
    """The best final mass (and its horizon) of fixed horizons every `step`
    seconds within `span` of `centre`, and how many land."""
    best, best_t, landed = -math.inf, math.nan, 0
    for t in np.arange(centre - span, centre + span + 0.5 * step, step):
        try:
            plan = vexal.plan(config, time_of_flight=float(t), pointing=False)
        except ValueError:
            continue
        landed += 1
        if plan.final_mass > best:
            best, best_t = plan.final_mass, float(t)
    return best, best_t, landed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2027)
    parser.add_argument("--step", type=float, default=0.02, help="of the fine scan, s")
    parser.add_argument("--span", type=float, default=3.0, help="the scan's reach either side of the best horizon, s")
    args = parser.parse_args()

    windows, found = 0, {"fast": 0, "golden": 0, "_vexal.solve": 0}
    spurious = {name: 0 for name in found}
    short = {name: [] for name in found}
    solves = {"fast": [], "golden": []}
    seconds = {name: 0.0 for name in found}
    identical = 0
    widths = []
    for world, config, need, centre in tight_descents(args.cases, args.seed):
        best, _, landed = scan(config, centre, args.span, args.step)
        windows += landed > 0
        widths.append(landed * args.step)
        answers = {}
        for mode in ("fast", "golden"):
            start = time.perf_counter()
            try:
                answers[mode] = vexal.plan(config, search=mode, pointing=False)
                solves[mode].append(answers[mode].solves)
            except ValueError:
                answers[mode] = None
            seconds[mode] += time.perf_counter() - start
        start = time.perf_counter()
        try:
            answers["_vexal.solve"] = _vexal.solve(config)
        except ValueError:
            answers["_vexal.solve"] = None
        seconds["_vexal.solve"] += time.perf_counter() - start
        g, s = answers["golden"], answers["_vexal.solve"]
        identical += (g is None and s is None) or (g is not None and s is not None and g.final_mass == s.final_mass
                                                    and np.array_equal(g.positions, s.positions))
        for name, answer in answers.items():
            if answer is None:
                continue
            if landed == 0:
                spurious[name] += 1
                continue
            found[name] += 1
            short[name].append((best - answer.final_mass) / best)
        missing = [name for name, answer in answers.items() if landed and answer is None]
        if missing:
            print(f"  missed: {world} n={config.solver.n} fuel {config.spacecraft.fuel:.3f} kg "
                  f"({config.spacecraft.fuel / need:.5f} x need) window ~{landed * args.step:.2f} s by {missing}")
    cases = args.cases
    print(f"tight-fuel table: {cases} descents, seed {args.seed}; fine scan every {args.step} s within "
          f"{args.span} s of the best horizon")
    print(f"  windows the scan finds: {windows} of {cases}; width median {statistics.median(widths):.2f} s, "
          f"min {min(w for w in widths if w) if windows else 0:.2f} s")
    for name in found:
        worst = max(short[name]) if short[name] else math.nan
        print(f"  {name:13s} found {found[name]:3d} of {windows}; worst shortfall of the scan's best "
              f"{worst:+.1e} (negative: better than the scan); planned where the scan found none: "
              f"{spurious[name]}; {1e3 * seconds[name] / cases:6.1f} ms per plan")
    for mode, counts in solves.items():
        if counts:
            print(f"  {mode:13s} solves per plan: median {statistics.median(counts)}, max {max(counts)}")
    print(f"  golden search and _vexal.solve identical: {identical} of {cases}")


if __name__ == "__main__":
    main()
