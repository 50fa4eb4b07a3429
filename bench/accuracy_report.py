"""Turns the CSV of accuracy_table into the accuracy page's table (docs/accuracy.md) and the
figure docs/accuracy.png, with the optimum of each program found by the
independent accurate solve the tests use (cvxpy + Clarabel, tight
tolerances, nondimensional variables).

    build/bench/accuracy_table 3 > /tmp/accuracy.csv
    python3 bench/accuracy_report.py /tmp/accuracy.csv docs/accuracy.png
"""
import csv
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "vexal-py" / "tests"))
from reference_program import reference_optimum  # noqa: E402

import _vexal  # noqa: E402


def optimum(row):
    config = _vexal.Config()
    environment, solver = config.environment, config.solver
    environment.glide_slope_angle_deg = 10.0 if row["scenario"].startswith("glide") else 0.0
    solver.n = int(row["n"])
    config.environment, config.solver = environment, solver
    return reference_optimum(config, float(row["time_of_flight"]))[1]


def main():
    rows = list(csv.DictReader(open(sys.argv[1])))
    for row in rows:
        row["optimum"] = optimum(row)
    print("| scenario | n | iterations before → after | time before → after (s) | speed-up | "
          "final mass before | after | optimum (independent) | fuel wasted before |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        before, after, best = float(r["raw_final_mass"]), float(r["scaled_final_mass"]), r["optimum"]
        speedup = float(r["raw_seconds"]) / float(r["scaled_seconds"])
        print(f"| {r['scenario']} | {r['n']} | {r['raw_iterations']} → {r['scaled_iterations']} | "
              f"{float(r['raw_seconds']):.3f} → {float(r['scaled_seconds']):.3f} | {speedup:.1f}× | "
              f"{before:.6f} | {after:.6f} | {best:.6f} | {best - before:.4f} kg |")
    for name in dict.fromkeys(r["scenario"] for r in rows):
        sel = [r for r in rows if r["scenario"] == name]
        n = np.array([float(r["n"]) for r in sel])
        for side in ("raw", "scaled"):
            t = np.array([float(r[f"{side}_seconds"]) for r in sel])
            slope = np.polyfit(np.log(n), np.log(t), 1)[0]
            print(f"\n{name}, {side}: time grows as n^{slope:.2f}", end="")
        worst = max(abs(float(r["scaled_final_mass"]) - r["optimum"]) / r["optimum"] for r in sel)
        print(f"\n{name}: largest relative gap of the scaled solve to the optimum {worst:.1e}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (mass, iters) = plt.subplots(1, 2, figsize=(11, 4.2), constrained_layout=True)
    for name, colour in zip(dict.fromkeys(r["scenario"] for r in rows), ("tab:blue", "tab:orange"), strict=False):
        sel = [r for r in rows if r["scenario"] == name]
        n = [int(r["n"]) for r in sel]
        best = np.array([r["optimum"] for r in sel])
        mass.plot(n, best - np.array([float(r["raw_final_mass"]) for r in sel]), "o--", color=colour,
                  label=f"{name}: raw program")
        mass.plot(n, np.maximum(abs(best - np.array([float(r["scaled_final_mass"]) for r in sel])), 1e-6), "s-",
                  color=colour, label=f"{name}: scaled (planner)")
        iters.plot(n, [int(r["raw_iterations"]) for r in sel], "o--", color=colour, label=f"{name}: raw")
        iters.plot(n, [int(r["scaled_iterations"]) for r in sel], "s-", color=colour, label=f"{name}: scaled")
    mass.set(xscale="log", yscale="log", xlabel="nodes n", ylabel="|final mass − optimum| (kg)",
             title="Distance from the optimum (floored at 1e-6 kg)")
    iters.set(xscale="log", xlabel="nodes n", ylabel="solver iterations", title="Interior-point iterations")
    for ax in (mass, iters):
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.savefig(sys.argv[2], dpi=110)


if __name__ == "__main__":
    main()
