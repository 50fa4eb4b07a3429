"""Times Clarabel's own Python package (pip install clarabel scipy) on a program written by export_problem,
with the same settings the planner uses (library defaults, output off).

    python3 bench/compare_clarabel_python.py /tmp/problem-1000.json [repeats]
"""
import json
import sys
import time

import clarabel
import numpy as np
from scipy import sparse


def main() -> None:
    with open(sys.argv[1]) as f:
        d = json.load(f)
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    m, n = d["m"], d["n"]
    A = sparse.csc_matrix((np.array(d["nzval"], dtype=float), np.array(d["rowval"]), np.array(d["colptr"])),
                          shape=(m, n))
    P = sparse.csc_matrix((n, n))
    q = np.array(d["q"], dtype=float)
    b = np.array([np.nan if v is None else v for v in d["b"]], dtype=float)
    make = {0: clarabel.ZeroConeT, 1: clarabel.NonnegativeConeT, 2: clarabel.SecondOrderConeT}
    cones = [make[k](dim) for k, dim in zip(d["cone_kinds"], d["cone_dims"], strict=True)]
    settings = clarabel.DefaultSettings()
    settings.verbose = False

    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        solver = clarabel.DefaultSolver(P, q, A, b, cones, settings)
        solution = solver.solve()
        times.append(time.perf_counter() - start)
    print(f"n={n // 11} status={solution.status} iterations={solution.iterations} "
          f"best={min(times) * 1e3:.1f} ms median={sorted(times)[len(times) // 2] * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
