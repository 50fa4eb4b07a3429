"""Closed-loop descents per second: vexal.simulate on the default descent
(10 degree glide slope) at several node counts and re-plan periods, with
the share of the time spent planning (the sum of the plans' wall times).

    python bench/bench_flights.py [--n 30 50 100] [--periods 1 2] [--flights 5]
"""
import argparse
import statistics
import time

import vexal


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[30, 50, 100])
    parser.add_argument("--periods", type=float, nargs="+", default=[1.0, 2.0])
    parser.add_argument("--flights", type=int, default=5, help="seeded flights per row")
    args = parser.parse_args()
    errors = {"thrust_noise": 0.01, "position_noise": 1.0, "velocity_noise": 0.1}
    print("| n | re-plan period (s) | flights/s | plans per flight | planning share | touchdown error (m) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for n in args.n:
        for period in args.periods:
            seconds, planning, plans, misses = [], [], [], []
            for seed in range(args.flights):
                start = time.perf_counter()
                flight = vexal.simulate(n=n, glide_slope_angle_deg=10.0, replan_period=period, errors=errors,
                                        seed=seed)
                seconds.append(time.perf_counter() - start)
                planning.append(sum(p["seconds"] for p in flight.plans))
                plans.append(len(flight.plans))
                misses.append(flight.touchdown_error)
            print(f"| {n} | {period:g} | {len(seconds) / sum(seconds):.2f} | {statistics.mean(plans):.1f} | "
                  f"{100 * sum(planning) / sum(seconds):.0f} % | {statistics.median(misses):.3f} (median) |")


if __name__ == "__main__":
    main()
