"""vexal's fixed-horizon solve against general conic solvers on the very same
program: the scaled program the planner hands to Clarabel (written by
export_problem --scaled), solved by Clarabel's Python package, ECOS and QOCO
with their default settings. The solvers take turns, round by round, and each
call is timed in CPU time (time.process_time); the tables give medians.

vexal is timed through its front door, a fixed-horizon vexal.plan: assembly,
scaling, solve, answer check and extraction. Its quick path (search="fast")
is the solve the fast search makes, on Clarabel ("vexal quick") and on the
structured solver ("vexal structured"); its reference path (search="golden")
the solve with the library's default settings. A peer is timed on construction
and solve, from matrices already read; a missing peer package is skipped.

    pip install clarabel ecos qoco scipy
    python bench/peers.py [--n 50 100 1000] [--repeats 9] [--glide-slope 10] [--export build/bench/export_problem]
"""
import os

# One thread for every library: the solvers are timed in process CPU time,
# and an idle pool of BLAS or OpenMP threads that spins after a peer's call
# would be charged to whichever call comes next.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from scipy import sparse  # noqa: E402

import vexal  # noqa: E402

try:
    import clarabel
except ImportError:
    clarabel = None
try:
    import ecos
except ImportError:
    ecos = None
try:
    import qoco
except ImportError:
    qoco = None

TIME_OF_FLIGHT = 44.0  # s: a horizon the default descent can fly at every n
ZERO, NONNEGATIVE, SECOND_ORDER = 0, 1, 2  # export_problem's cone kinds
SOLVERS = ("vexal structured", "vexal quick", "vexal reference", "Clarabel Python", "ECOS", "QOCO")


def exported(binary, config, n):
    """The scaled program of `config` at TIME_OF_FLIGHT, as export_problem writes it."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "config.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(config.to_json())
        run = subprocess.run([binary, str(n), str(TIME_OF_FLIGHT), path, "--scaled"],
                             capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{binary} failed: {run.stderr.strip()}")
    d = json.loads(run.stdout)
    A = sparse.csc_matrix((np.array(d["nzval"], dtype=float), np.array(d["rowval"]), np.array(d["colptr"])),
                          shape=(d["m"], d["n"]))
    return A, np.array(d["q"], dtype=float), np.array(d["b"], dtype=float), d["cone_kinds"], d["cone_dims"]


def split(A, b, kinds, dims):
    """The program as ECOS and QOCO take it: equality rows (A x = b) apart,
    then the nonnegative rows and the second-order rows, in that order
    (G x + s = h, s in the cones)."""
    rows = {ZERO: [], NONNEGATIVE: [], SECOND_ORDER: []}
    start = 0
    for kind, dim in zip(kinds, dims, strict=True):
        rows[kind].extend(range(start, start + dim))
        start += dim
    A = A.tocsr()
    eq, cone = rows[ZERO], rows[NONNEGATIVE] + rows[SECOND_ORDER]
    soc = [dim for kind, dim in zip(kinds, dims, strict=True) if kind == SECOND_ORDER]
    return A[eq].tocsc(), b[eq], A[cone].tocsc(), b[cone], len(rows[NONNEGATIVE]), soc


def peers(A, q, b, kinds, dims):
    """name -> a call that builds and solves, returning (q'x, iterations, status, solved)."""
    calls = {}
    if clarabel is not None:
        make = {ZERO: clarabel.ZeroConeT, NONNEGATIVE: clarabel.NonnegativeConeT,
                SECOND_ORDER: clarabel.SecondOrderConeT}
        cones = [make[k](dim) for k, dim in zip(kinds, dims, strict=True)]
        P = sparse.csc_matrix((A.shape[1], A.shape[1]))
        settings = clarabel.DefaultSettings()
        settings.verbose = False

        def clarabel_call():
            s = clarabel.DefaultSolver(P, q, A, b, cones, settings).solve()
            return s.obj_val, s.iterations, str(s.status), str(s.status) == "Solved"
        calls["Clarabel Python"] = clarabel_call
    Aeq, beq, G, h, nonnegative, soc = split(A, b, kinds, dims)
    if ecos is not None:
        cone_dims = {"l": nonnegative, "q": soc}

        def ecos_call():
            s = ecos.solve(q, G, h, cone_dims, Aeq, beq, verbose=False)
            info = s["info"]
            return float(q @ s["x"]), info["iter"], info["infostring"], info["exitFlag"] == 0
        calls["ECOS"] = ecos_call
    if qoco is not None:
        def qoco_call():
            solver = qoco.QOCO()
            solver.setup(A.shape[1], G.shape[0], Aeq.shape[0], None, q, Aeq, beq, G, h, nonnegative, len(soc),
                         np.array(soc), verbose=0)
            s = solver.solve()
            return float(q @ s.x), s.iters, s.status, s.status == "QOCO_SOLVED"
        calls["QOCO"] = qoco_call
    return calls


def vexal_call(config, search, solver="clarabel"):
    def call():
        plan = vexal.plan(config, search=search, pointing=False, solver=solver)
        # plan.objective is ln(final mass) = -(q'x)
        return -plan.objective, plan.iterations, plan.status, plan.status == "Solved"
    return call


def bench(binary, n, repeats, glide_slope):
    """Median CPU seconds per solver at n, and whether its last answer was fully solved; prints
    the answers."""
    config = vexal.configured(n=n, glide_slope_angle_deg=glide_slope)
    fixed = vexal.configured(config, time_of_flight=TIME_OF_FLIGHT)
    calls = {"vexal structured": vexal_call(fixed, "fast", "structured"),
             "vexal quick": vexal_call(fixed, "fast"),
             "vexal reference": vexal_call(fixed, "golden")}
    calls.update(peers(*exported(binary, config, n)))
    times = {name: [] for name in calls}
    answers = {name: call() for name, call in calls.items()}  # a warm-up round, untimed
    for _ in range(repeats):  # round robin: drifts of the machine fall on every solver alike
        for name, call in calls.items():
            start = time.process_time()
            answers[name] = call()
            times[name].append(time.process_time() - start)
    reference = answers["vexal reference"][0]
    for name, (objective, iterations, status, _) in answers.items():
        print(f"n={n} {name:16s} q'x = {objective:.10f} (rel. diff. {(objective - reference) / abs(reference):+.1e}"
              f" to vexal reference), {iterations} iterations, {status}")
    return {name: (statistics.median(t), answers[name][3]) for name, t in times.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, nargs="+", default=[50, 100, 1000], help="node counts")
    parser.add_argument("--repeats", type=int, default=9, help="timed rounds")
    parser.add_argument("--glide-slope", type=float, default=10.0, help="glide slope angle, degrees")
    parser.add_argument("--export", default=os.path.join(os.path.dirname(__file__), "..", "build", "bench",
                                                         "export_problem"), help="the export_problem binary")
    args = parser.parse_args()
    if not os.access(args.export, os.X_OK):
        sys.exit(f"{args.export} not found: build it with cmake -S . -B build -G Ninja -DVEXAL_BUILD_BENCH=ON "
                 "-DVEXAL_BUILD_PYTHON=OFF && cmake --build build --target export_problem, or pass --export")
    for name, module in (("clarabel", clarabel), ("ecos", ecos), ("qoco", qoco)):
        if module is None:
            print(f"note: Python package {name} is not installed; its column is left empty")

    medians = {n: bench(args.export, n, args.repeats, args.glide_slope) for n in args.n}

    def cell(m, name, scale):
        """A median (times `scale`), marked * when that solver did not report the program solved."""
        if name not in m:
            return "-"
        seconds, solved = m[name]
        return f"{seconds * scale:.2f}" + ("" if solved else " *")
    print(f"\nMedian CPU time of {args.repeats} interleaved rounds, time of flight {TIME_OF_FLIGHT:g} s, "
          f"glide slope {args.glide_slope:g} deg\n")
    print("| n | " + " | ".join(f"{name} (ms)" for name in SOLVERS) + " |")
    print("|---:|" + "---:|" * len(SOLVERS))
    for n, m in medians.items():
        print(f"| {n} | " + " | ".join(cell(m, s, 1e3) for s in SOLVERS) + " |")
    print("\nRatio to vexal structured (above 1: slower than vexal structured)\n")
    print("| n | " + " | ".join(SOLVERS[1:]) + " |")
    print("|---:|" + "---:|" * (len(SOLVERS) - 1))
    for n, m in medians.items():
        print(f"| {n} | " + " | ".join(cell(m, s, 1.0 / m["vexal structured"][0]) for s in SOLVERS[1:]) + " |")
    if not all(solved for m in medians.values() for _, solved in m.values()):
        print("\n* not solved to the solver's full accuracy (its status is printed above)")


if __name__ == "__main__":
    main()
