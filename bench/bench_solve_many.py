"""Throughput of vexal.solve_many: cases per second of a dispersion study.

Each case is the default descent at n = 50, dispersed with the default
sigmas, planned with the time-of-flight search. Every executor is warmed up
with one case per worker before the timed runs, so worker start-up (process
fork, the Dask cluster) is not counted; the best of several runs is kept,
since on a shared machine other work only ever slows a run down.

Run after `pip install '.[dask]'`:  python bench/bench_solve_many.py [--cases 80] [--n 50] [--repeat 3]

`--executors` instead compares solve_many's two built-in executors,
executor="threads" and executor="processes" over all cores, at n = 30, 50
and 100; there each timed call makes its own pool, as a user's call does,
so starting the worker processes is counted.
"""
import argparse
import concurrent.futures
import os
import time

import _vexal
from vexal import dispersions, solve_many


def cases_per_second(cases, executor, workers, repeat):
    solve_many(cases[:workers], executor=executor, progress=False, pointing=False, search="golden")
    best = 0.0
    for _ in range(repeat):
        start = time.perf_counter()
        records = solve_many(cases, executor=executor, progress=False, pointing=False, search="golden")
        best = max(best, len(cases) / (time.perf_counter() - start))
        assert all(r.ok for r in records), [r.error for r in records if not r.ok]
    return best


def sequential(cases, workers, repeat):
    """The reference: plain _vexal.solve calls in this process, no executor."""
    configs = [_vexal.Config.from_json(text) for text in cases]
    best = 0.0
    for _ in range(repeat):
        start = time.perf_counter()
        for config in configs:
            _vexal.solve(config)
        best = max(best, len(cases) / (time.perf_counter() - start))
    return best


def process_pool(cases, workers, repeat):
    with concurrent.futures.ProcessPoolExecutor(workers) as pool:
        return cases_per_second(cases, pool, workers, repeat)


def dask_cluster(cases, workers, repeat):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        # pure=False: Dask would otherwise key each task by its arguments and
        # hand a repeated run the results it still holds from the last one.
        return cases_per_second(cases, client.get_executor(pure=False), workers, repeat)


def builtin_executors(args):
    cores = os.cpu_count()
    print(f"{args.cases} cases, time-of-flight search, {cores} cores, best of {args.repeat} runs\n")
    print("| n | threads (cases/s) | processes (cases/s) | threads / processes |")
    print("|---:|---:|---:|---:|")
    for n in (30, 50, 100):
        nominal = _vexal.Config(solver=_vexal.Solver(n=n))
        cases = [c.to_json() for c in dispersions(nominal, args.cases, seed=0)]
        rates = {}
        for executor in ("threads", "processes"):
            best = 0.0
            for _ in range(args.repeat):
                start = time.perf_counter()
                solve_many(cases, executor=executor, progress=False, pointing=False, search="golden")
                best = max(best, len(cases) / (time.perf_counter() - start))
            rates[executor] = best
        print(f"| {n} | {rates['threads']:.2f} | {rates['processes']:.2f} | "
              f"{rates['threads'] / rates['processes']:.2f} |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=80)
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per row; the best counts")
    parser.add_argument("--n", type=int, default=50)
    parser.add_argument("--executors", action="store_true", help="threads against processes at n = 30, 50, 100")
    args = parser.parse_args()
    if args.executors:
        builtin_executors(args)
        return

    nominal = _vexal.Config(solver=_vexal.Solver(n=args.n))
    cases = [c.to_json() for c in dispersions(nominal, args.cases, seed=0)]
    cores = os.cpu_count()
    runs = [("sequential _vexal.solve, no executor", 1, sequential),
            ("process pool", 1, process_pool), ("process pool", 2, process_pool),
            (f"process pool (all {cores} cores)", cores, process_pool),
            ("Dask LocalCluster", cores, dask_cluster)]

    print(f"{args.cases} cases, n = {args.n}, time-of-flight search, {cores} cores, "
          f"best of {args.repeat} runs\n")
    print("| executor | workers | cases/s | speed-up |")
    print("|---|---:|---:|---:|")
    baseline = None
    for name, workers, run in runs:
        rate = run(cases, workers, args.repeat)
        baseline = baseline or rate
        print(f"| {name} | {workers} | {rate:.2f} | {rate / baseline:.2f}x |", flush=True)
    print("\nspeed-up: against the sequential calls")


if __name__ == "__main__":
    main()
