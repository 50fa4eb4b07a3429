"""Load of a long study: cases per second and the parent's memory over time.

Runs `vexal study --n 30 --cases N --csv OUT` in a child process and samples
the resident set size of that process (the parent of the workers) as the
table grows. Cases are submitted a window at a time, so the parent's memory
should stay flat however many cases the study has.

    python bench/bench_study_load.py 1000 10000 [--executor processes] [--search fast]
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time


def rss_mib(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def rows(path):
    try:
        with open(path, "rb") as file:
            return max(0, sum(1 for _ in file) - 1)
    except FileNotFoundError:
        return 0


def run(cases, executor, search, directory):
    out = os.path.join(directory, f"cases{cases}.csv")
    child = subprocess.Popen([sys.executable, "-m", "vexal", "study", "--n", "30", "--cases", str(cases),
                              "--executor", executor, "--search", search, "--no-pointing", "--csv", out],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    start = time.perf_counter()
    samples = []  # (fraction done, RSS MiB)
    while child.poll() is None:
        try:
            samples.append((rows(out + ".part") / cases, rss_mib(child.pid)))
        except (FileNotFoundError, ProcessLookupError):
            pass
        time.sleep(0.5)
    elapsed = time.perf_counter() - start
    assert child.returncode == 0 and rows(out) == cases, (child.returncode, rows(out))

    def at(fraction):
        return next((rss for done, rss in samples if done >= fraction), samples[-1][1])

    return cases / elapsed, at(0.1), at(0.5), at(0.9), max(rss for _, rss in samples)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cases", type=int, nargs="+")
    parser.add_argument("--executor", default="processes")
    parser.add_argument("--search", default="fast")
    args = parser.parse_args()
    print("| cases | cases/s | parent RSS at 10 % | 50 % | 90 % | peak (MiB) |")
    print("|---:|---:|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as directory:
        for cases in args.cases:
            rate, r10, r50, r90, peak = run(cases, args.executor, args.search, directory)
            print(f"| {cases} | {rate:.1f} | {r10:.1f} | {r50:.1f} | {r90:.1f} | {peak:.1f} |", flush=True)


if __name__ == "__main__":
    main()
