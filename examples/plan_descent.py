"""Plans the default descent, letting the search choose the time of flight.

Run after `pip install .`:  python examples/plan_descent.py
"""
from _vexal import Config, solve


def main():
    config = Config()  # default vehicle and environment, no time of flight
    trajectory = solve(config)

    # The chosen time of flight is not an attribute of the result: node k
    # sits at k * time_of_flight / n, so the second time point gives it back.
    n = config.solver.n
    time_of_flight = trajectory.time_points[1] * n
    wet_mass = config.spacecraft.wet_mass

    rows = [
        ("time of flight", f"{time_of_flight:10.3f} s"),
        ("final mass", f"{trajectory.final_mass:10.3f} kg"),
        ("fuel used", f"{wet_mass - trajectory.final_mass:10.3f} kg"),
        ("status", f"{trajectory.status:>10}"),
    ]
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label:<{width}}  {value}")


if __name__ == "__main__":
    main()
