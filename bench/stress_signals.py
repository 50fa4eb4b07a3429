"""Signals and kills at random moments of the `vexal` console script, each
kind tried many times: what the test suite checks once, at a moment it
chooses, looped over the moments a user may hit.

    python bench/stress_signals.py [TRIES] [SEED]

Kinds (TRIES each, default 20):
  start    Ctrl-C 0 to 80 ms after `vexal plan` starts: no traceback from the
           package (one from the interpreter's own start-up, before the
           package loads, is counted apart), exit 0 or 130.
  summary  SIGTERM about when a 40-case study ends: exit 0 with the summary,
           or 143 with the `interrupted:` line; never 143 in silence.
  first    SIGKILL in the first second of a study, then --resume until done:
           the table equals one never interrupted.
  fifo     SIGTERM while `vexal plan --json FIFO` waits for a reader: exit
           143 within 5 s.
Prints one line per kind: the outcomes counted, and every failure.
"""
import collections
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time

VEXAL = str(pathlib.Path(sys.executable).with_name("vexal"))
STUDY = ["study", "--n", "10", "--tof", "50", "--cases", "40", "--seed", "1", "--csv", "t.csv"]


def run(args: list[str], cwd: str, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    return subprocess.run([VEXAL, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout)


def start(rng: random.Random, where: str) -> str:
    child = subprocess.Popen([VEXAL, "plan", "--n", "10", "--tof", "50"], cwd=where, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    time.sleep(rng.uniform(0.0, 0.08))
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    if "Traceback" in err:
        if "/vexal/" in err:  # a frame of the package's own
            return f"FAIL traceback from the package: {err[-400:]!r}"
        if "bin/vexal" in err:
            return "traceback while the console script imports the package, before its first line"
        return "traceback in the interpreter's start-up"
    if child.returncode == -signal.SIGINT:
        return "killed before the interpreter took over Ctrl-C"
    return f"exit {child.returncode}" if child.returncode in (0, 130) else f"FAIL exit {child.returncode}"


def summary(rng: random.Random, where: str, length: float) -> str:
    child = subprocess.Popen([VEXAL, *STUDY], cwd=where, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(rng.uniform(0.8, 1.05) * length)
    child.send_signal(signal.SIGTERM)
    out, err = child.communicate(timeout=60)
    if "Traceback" in err:
        return "FAIL traceback"
    if child.returncode == 0 and out.startswith("40 cases: 40 planned"):
        return "finished"
    if child.returncode == 143 and err.startswith("interrupted: "):
        return "interrupted, said so" + (" (table complete)" if "complete" in err else "")
    return f"FAIL exit {child.returncode}, stderr {err!r}"


def first(rng: random.Random, where: str, whole: bytes) -> str:
    args = ["study", "--n", "200", "--tof", "50", "--cases", "4", "--seed", "1", "--workers", "1", "--csv", "t.csv"]
    child = subprocess.Popen([VEXAL, *args], cwd=where, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(rng.uniform(0.0, 1.0))
    child.kill()
    child.wait()
    for _ in range(3):
        result = run([*args, "--resume"], where)
        if result.returncode == 0:
            return "resumed, equal" if (pathlib.Path(where) / "t.csv").read_bytes() == whole else "FAIL table differs"
    return f"FAIL resume refused: {result.stderr.strip()}"


def fifo(rng: random.Random, where: str) -> str:
    os.mkfifo(os.path.join(where, "plan.json"))
    child = subprocess.Popen([VEXAL, "plan", "--n", "10", "--tof", "50", "--json", "plan.json"], cwd=where,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(rng.uniform(0.3, 0.8))  # past the interpreter's start-up: waiting for the reader
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(timeout=5)
    except subprocess.TimeoutExpired:
        child.kill()
        return "FAIL still waiting 5 s after SIGTERM"
    return "ended, 143" if child.returncode == 143 else f"FAIL exit {child.returncode}"


def main() -> None:
    tries = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 29)
    with tempfile.TemporaryDirectory() as base:
        began = time.perf_counter()
        run(STUDY, base)
        length = time.perf_counter() - began
        first_args = ["study", "--n", "200", "--tof", "50", "--cases", "4", "--seed", "1", "--workers", "1",
                      "--csv", "whole.csv"]
        run(first_args, base)
        whole = (pathlib.Path(base) / "whole.csv").read_bytes()
        kinds = {"start": lambda where: start(rng, where), "summary": lambda where: summary(rng, where, length),
                 "first": lambda where: first(rng, where, whole), "fifo": lambda where: fifo(rng, where)}
        for name, attempt in kinds.items():
            seen: collections.Counter[str] = collections.Counter()
            for i in range(tries):
                where = os.path.join(base, f"{name}{i}")
                os.mkdir(where)
                seen[attempt(where)] += 1
            failed = sum(count for outcome, count in seen.items() if outcome.startswith("FAIL"))
            print(f"{name}: {tries} tries, {failed} failed: " + "; ".join(f"{k} x{v}" for k, v in sorted(seen.items())))


if __name__ == "__main__":
    main()
