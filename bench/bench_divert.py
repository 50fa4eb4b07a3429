"""Figures of the pointing limit and the nearest landing: the Mars lander of
a published lossless-convexification example without and with its 40-degree
pointing limit, solves and time per search mode and option, and the figure
of a nearest-landing divert (docs/divert.png).

    python bench/bench_divert.py [--figure divert.png]
    python bench/bench_divert.py --table 16 --seed 5 [--tolerances 0,1,3] [--exact-only]

--table: a seeded random table of diverts (the divert's lander from jittered
starts, glide slopes and node counts), each a searched nearest landing at
every landing tolerance given: its time of flight, fuel and landing error,
the fuel's spread, and the largest increase of the landing error and of the
fuel over the exact least error's (tolerance 0). --exact-only prints the
tolerance-0 answers in full, to compare two builds.
"""
import argparse
import math
import time

import numpy as np

import vexal

MARS = dict(wet_mass=1905.0, fuel=400.0, real_max_thrust=6 * 3100 * math.cos(math.radians(27)),
            min_thrust_pct=0.3, max_thrust_pct=0.8, fuel_consumption=1 / (225 * 9.807 * math.cos(math.radians(27))),
            max_velocity=500 / 3.6, initial_position=[2000.0, 0.0, 1500.0], initial_velocity=[80.0, 30.0, -75.0],
            gravity=[0.0, 0.0, -3.7114], glide_slope_angle_deg=4.0, max_angle_deg=40.0, tof_min=40.0, tof_max=100.0)
# The Mars lander started low and far: outside the glide-slope cone about the target.
DIVERT = dict(MARS, initial_position=[3000.0, 500.0, 400.0], initial_velocity=[-60.0, 10.0, -15.0],
              glide_slope_angle_deg=10.0, tof_min=20.0, tof_max=120.0)


def timed(config, **options):
    start = time.perf_counter()
    plan = vexal.plan(config, **options)
    return plan, time.perf_counter() - start


def random_divert(rng):
    """The divert's lander from a jittered start, out of reach of its target."""
    return vexal.configured(**dict(
        DIVERT, initial_position=[float(rng.uniform(2000.0, 4000.0)), float(rng.uniform(-800.0, 800.0)),
                                  float(rng.uniform(300.0, 600.0))],
        initial_velocity=[float(v) for v in rng.normal([-60.0, 10.0, -15.0], 15.0)],
        glide_slope_angle_deg=float(rng.uniform(5.0, 15.0)), n=int(rng.integers(40, 101))))


def table(cases, seed, tolerances, exact_only):
    rng = np.random.default_rng(seed)
    configs = [random_divert(rng) for _ in range(cases)]
    if exact_only:  # the exact least error's answers, in full (no keyword: a build before the tolerance)
        for i, config in enumerate(configs):
            try:
                try:
                    plan = vexal.plan(config, landing="nearest", landing_tolerance=0.0)
                except TypeError:
                    plan = vexal.plan(config, landing="nearest")
            except vexal.VexalError as error:
                print(i, error)
                continue
            print(i, plan.solves, repr(plan.time_of_flight), repr(plan.final_mass), repr(plan.landing_error))
        return
    print("| case | n | " + " | ".join(f"tol {t:g} m: tof (s), fuel (kg), error (m), solves" for t in tolerances)
          + " |")
    print("|---:|---:|" + "---|" * len(tolerances))
    fuel = {t: [] for t in tolerances}
    seconds = {t: 0.0 for t in tolerances}
    solves = {t: 0 for t in tolerances}
    worst_error = {t: -math.inf for t in tolerances}
    worst_fuel = {t: -math.inf for t in tolerances}
    for i, config in enumerate(configs):
        plans, took = {}, {}
        try:
            for t in tolerances:
                plans[t], took[t] = timed(config, landing="nearest", landing_tolerance=t)
        except vexal.VexalError as error:
            print(f"| {i} | {config.solver.n} | {error} |")
            continue
        for t in tolerances:
            fuel[t].append(plans[t].fuel_used)
            seconds[t] += took[t]
            solves[t] += plans[t].solves
        exact = plans[tolerances[0]]
        for t in tolerances:
            worst_error[t] = max(worst_error[t], plans[t].landing_error - exact.landing_error - t)
            worst_fuel[t] = max(worst_fuel[t], plans[t].fuel_used - exact.fuel_used)
        print(f"| {i} | {config.solver.n} | " + " | ".join(
            f"{p.time_of_flight:.2f}, {p.fuel_used:.2f}, {p.landing_error:.3f}, {p.solves}" for p in plans.values())
            + " |")
    print()
    print("| tolerance (m) | fuel min / quartiles / max (kg) | mean fuel (kg) | error - exact's - tolerance, "
          "largest (m) | fuel - exact's, largest (kg) | solves | time (s) |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for t in tolerances:
        q = np.quantile(fuel[t], [0.0, 0.25, 0.5, 0.75, 1.0])
        print(f"| {t:g} | {' / '.join(f'{v:.1f}' for v in q)} | {np.mean(fuel[t]):.1f} | {worst_error[t]:.2e} | "
              f"{worst_fuel[t]:.2e} | {solves[t]} | {seconds[t]:.1f} |")
    for t in tolerances:
        counts, edges = np.histogram(fuel[t], bins=8, range=(min(min(f) for f in fuel.values()),
                                                              max(max(f) for f in fuel.values())))
        print(f"fuel histogram, tolerance {t:g} m: " + ", ".join(
            f"{a:.0f}-{b:.0f}: {c}" for a, b, c in zip(edges[:-1], edges[1:], counts, strict=True)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--figure", help="write the divert's figure there (the site's is docs/divert.png)")
    parser.add_argument("--table", type=int, metavar="CASES", help="a seeded random table of diverts instead")
    parser.add_argument("--seed", type=int, default=5)
    parser.add_argument("--tolerances", default="0,1", help="landing tolerances (m), the first the reference")
    parser.add_argument("--exact-only", action="store_true")
    args = parser.parse_args()
    if args.table:
        table(args.table, args.seed, [float(t) for t in args.tolerances.split(",")], args.exact_only)
        return

    mars = vexal.configured(**MARS)
    print("| Mars lander (n = 100, bracket 40-100 s) | time of flight (s) | fuel (kg) | largest thrust angle (deg) |")
    print("|---|---:|---:|---:|")
    print("| published (with Mars rotation, glide pyramid) | 75.0 | 373.77 | 40 |")
    for pointing in (False, True):
        plan, _ = timed(mars, pointing=pointing)
        name = "vexal.plan, its 40-degree limit" if pointing else "vexal.plan(pointing=False), no pointing limit"
        print(f"| {name} | {plan.time_of_flight:.2f} | {plan.fuel_used:.2f} | {plan.max_pointing_angle_deg:.2f} |")

    print()
    print("| case | search | options | solves | time (s) | time of flight (s) | fuel (kg) | landing error (m) |")
    print("|---|---|---|---:|---:|---:|---:|---:|")
    divert = vexal.configured(**DIVERT)
    rows = [("Mars", mars, {"pointing": False}), ("Mars", mars, {"pointing": True}),
            ("Mars", mars, {"pointing": False, "landing": "nearest"}),
            ("Mars", mars, {"pointing": True, "landing": "nearest"}),
            ("divert", divert, {"pointing": False, "landing": "nearest", "landing_tolerance": 0.0}),
            ("divert", divert, {"pointing": True, "landing": "nearest", "landing_tolerance": 0.0}),
            ("divert", divert, {"pointing": True, "landing": "nearest"})]
    shown = None
    for name, config, options in rows:
        for search in ("golden", "fast"):
            plan, seconds = timed(config, search=search, **options)
            text = ", ".join(f"{k}={v!r}" for k, v in options.items()) or "-"
            print(f"| {name} | {search} | {text} | {plan.solves} | {seconds:.2f} | {plan.time_of_flight:.2f} | "
                  f"{plan.fuel_used:.2f} | {plan.landing_error:.3f} |")
            if name == "divert" and search == "fast" and options.get("pointing"):
                shown = plan
    if args.figure:
        from vexal import plotting
        plotting.save(plotting.plot(shown, shown.config), args.figure)
        print(f"\nfigure: {args.figure}")


if __name__ == "__main__":
    main()
