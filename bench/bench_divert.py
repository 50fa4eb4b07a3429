"""Figures of the pointing limit and the nearest landing: the Mars lander of
a published lossless-convexification example without and with its 40-degree
pointing limit, solves and time per search mode and option, and the figure
of a nearest-landing divert (docs/divert.png).

    python bench/bench_divert.py [--figure divert.png]
"""
import argparse
import math
import time

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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--figure", help="write the divert's figure there (the site's is docs/divert.png)")
    args = parser.parse_args()

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
            ("divert", divert, {"pointing": False, "landing": "nearest"}),
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
