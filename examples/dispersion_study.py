"""A small dispersion (Monte Carlo) study of the default descent: 40 cases
with the start, wet mass and thrust dispersed, planned on all cores, with a
histogram of the fuel used when matplotlib is installed.

Run after `pip install .`:  python examples/dispersion_study.py [fuel.png]
"""
import sys

import numpy as np

import vexal


def main():
    nominal = vexal.configured(n=40)
    cases = vexal.dispersions(nominal, 40, seed=1, sigma={"position": 50.0, "velocity": 3.0})
    records = vexal.solve_many(cases, search="fast", progress=False)   # keep this behind the __main__ guard
    fuel = [r.fuel_used for r in records if r.ok]
    print(f"{len(records)} cases, {len(fuel)} planned: fuel used {np.percentile(fuel, 5):.1f} kg (5 %), "
          f"{np.median(fuel):.1f} kg (median), {np.percentile(fuel, 95):.1f} kg (95 %)")
    if len(sys.argv) > 1:
        from vexal import plotting

        plotting.save(plotting.plot_final_mass(records, fuel_budget=nominal.spacecraft.fuel), sys.argv[1])
        print(f"histogram: {sys.argv[1]}")


if __name__ == "__main__":
    main()
