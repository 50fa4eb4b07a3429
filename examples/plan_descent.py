"""Plans the default descent, letting the search choose the time of flight.

Run after `pip install .`:  python examples/plan_descent.py
"""
from _vexal import Config, solve

from vexal import format_summary


def main():
    config = Config()  # default vehicle and environment, no time of flight
    trajectory = solve(config)
    print(format_summary(trajectory, config))


if __name__ == "__main__":
    main()
