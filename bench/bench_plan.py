"""Figures of vexal.plan: solves and time per search mode over the scenario
table and over a seeded random table (vexal-py/tests/random_descents.py), thread
scaling, and the delay from SIGINT to KeyboardInterrupt.

    python bench/bench_plan.py [search|random|threads|sigint|all] [--cases 200] [--seed 2026]
"""
import argparse
import math
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time

import vexal

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "vexal-py" / "tests"))
from random_descents import random_descent  # noqa: E402


def scenarios(dispersed=200):
    """(name, config): default, glide slope 10 degrees, a lunar vehicle, a
    diverted start, then seeded dispersions of the default."""
    default = vexal.Config()
    yield "default", default
    yield "glide slope 10", vexal.configured(default, glide_slope_angle_deg=10.0)
    yield "lunar", vexal.configured(default, wet_mass=12000.0, fuel=5000.0, real_max_thrust=60000.0,
                                    gravity=[0.0, 0.0, -1.62])
    yield "diverted", vexal.configured(default, initial_position=[1500.0, 800.0, 2400.0],
                                       initial_velocity=[60.0, -20.0, -30.0])
    for i, config in enumerate(vexal.dispersions(default, dispersed, seed=2024)):
        yield f"dispersion {i}", config


def bench_search(cases):
    rows, worse = [], []
    totals = {"golden": [0, 0.0], "fast": [0, 0.0]}
    for name, config in scenarios(cases):
        plans = {}
        for mode in ("golden", "fast"):
            start = time.perf_counter()
            plans[mode] = vexal.plan(config, search=mode, pointing=False)
            totals[mode][0] += plans[mode].solves
            totals[mode][1] += time.perf_counter() - start
        g, f = plans["golden"], plans["fast"]
        dm = (f.final_mass - g.final_mass) / g.final_mass
        dt = (f.time_of_flight - g.time_of_flight) / g.time_of_flight
        rows.append((name, g.solves, f.solves, dm, dt))
        if dm < -1e-6 or abs(dt) > 1e-3:
            worse.append((name, f.solves, dm, dt, g.time_of_flight, f.time_of_flight))
    count = len(rows)
    print(f"scenarios: {count}")
    for mode, (solves, seconds) in totals.items():
        print(f"  {mode:6s}: {solves / count:5.2f} solves per plan, {1e3 * seconds / count:7.1f} ms per plan")
    print(f"  fast: max {max(r[2] for r in rows)} solves; final mass rel. diff min {min(r[3] for r in rows):.2e}"
          f" max {max(r[3] for r in rows):.2e}; tof rel. diff max |.| {max(abs(r[4]) for r in rows):.2e}")
    for name, solves, dm, dt, tg, tf in worse:
        print(f"  worse: {name}: {solves} solves, mass {dm:+.2e}, tof {dt:+.2e} (golden {tg:.4f} s, fast {tf:.4f} s)")
    for row in rows[:4]:
        print(f"  {row[0]:16s} golden {row[1]} fast {row[2]} mass {row[3]:+.1e} tof {row[4]:+.1e}")


def bench_random(cases, seed):
    """The fast search against the golden one, with the pointing limit (the
    default), on `cases` random descents: solves per plan by world, the
    worst final-mass and time-of-flight differences, the quick path's
    fallback rate, and the time per plan of each."""
    import numpy as np

    rng = np.random.default_rng(seed)
    rows, seconds, skipped = [], {"golden": 0.0, "fast": 0.0}, 0
    for _ in range(cases):
        world, config = random_descent(rng)
        plans = {}
        try:
            for mode in ("golden", "fast"):
                start = time.perf_counter()
                plans[mode] = vexal.plan(config, search=mode)
                seconds[mode] += time.perf_counter() - start
        except ValueError:
            skipped += 1  # no descent at all: nothing to compare
            continue
        g, f = plans["golden"], plans["fast"]
        rows.append((world, f.solves, f.fallbacks, (f.final_mass - g.final_mass) / g.final_mass,
                     (f.time_of_flight - g.time_of_flight) / g.time_of_flight))
    count = len(rows)
    solves = [r[1] for r in rows]
    print(f"random table (seed {seed}): {count} descents planned, {skipped} with no descent")
    print(f"  fast: {statistics.mean(solves):.2f} solves per plan (median {statistics.median(solves):g}, "
          f"max {max(solves)}), golden 36")
    for world in ("Moon", "Mars", "Earth"):
        mine = [r[1] for r in rows if r[0] == world]
        if mine:
            print(f"    {world}: {statistics.mean(mine):.2f} (max {max(mine)}) over {len(mine)}")
    print(f"  final mass vs golden: worst {min(r[3] for r in rows):+.1e} (relative); time of flight: worst "
          f"|{max(abs(r[4]) for r in rows):.1e}|; misses of 1e-6 / 1e-3: "
          f"{sum(1 for r in rows if r[3] < -1e-6 or abs(r[4]) > 1e-3)}")
    print(f"  fallbacks: {sum(r[2] for r in rows)} of {sum(solves)} fast solves "
          f"({100 * sum(r[2] for r in rows) / sum(solves):.1f} %)")
    print(f"  time per plan: golden {1e3 * seconds['golden'] / (count + skipped):.0f} ms, fast "
          f"{1e3 * seconds['fast'] / (count + skipped):.0f} ms")


def bench_threads(n, repeat=3):
    """Each of t threads plans its own dispersed configuration; best of
    `repeat` runs (other work on the machine only ever slows a run down)."""
    configs = [config for _, config in scenarios(8)][4:]
    cores = os.cpu_count()
    base = None
    for threads in sorted({1, 2, cores}):
        best = math.inf
        for _ in range(repeat):
            workers = [threading.Thread(target=vexal.plan, args=(c,), kwargs={"n": n, "threads": 1})
                       for c in configs[:threads]]
            start = time.perf_counter()
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            best = min(best, time.perf_counter() - start)
        rate = threads / best
        base = base or rate
        print(f"threads {threads}: {threads} plans (n={n}) in {best:.2f} s, {rate:.2f} plans/s, "
              f"{rate / base:.2f}x")


CHILD = """
import sys, time, vexal
config = vexal.configured(n={n})
print("ready", flush=True)
try:
    while True:  # searches one after the other, until the signal
        vexal.plan(config)
except KeyboardInterrupt:
    print(time.perf_counter(), flush=True)
    sys.exit(0)
"""


def bench_sigint(n, repeats=3):
    delays = []
    for _ in range(repeats):
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD.format(n=n))],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.5)  # inside the search, usually inside one of its solves
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().strip()
        child.wait()
        delays.append(float(line) - sent)
    print(f"SIGINT to KeyboardInterrupt at n={n}: median {1e3 * statistics.median(delays):.1f} ms "
          f"(max {1e3 * max(delays):.1f} ms over {repeats})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", nargs="?", default="all", choices=["search", "random", "threads", "sigint", "all"])
    parser.add_argument("--cases", type=int, default=200, help="seeded dispersions in the scenario table")
    parser.add_argument("--random-cases", type=int, default=62, help="descents in the random table")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the random table")
    args = parser.parse_args()
    if args.what in ("search", "all"):
        bench_search(args.cases)
    if args.what in ("random", "all"):
        bench_random(args.random_cases, args.seed)
    if args.what in ("threads", "all"):
        bench_threads(200)
    if args.what in ("sigint", "all"):
        for n in (1000, 5000):
            bench_sigint(n)


if __name__ == "__main__":
    main()
