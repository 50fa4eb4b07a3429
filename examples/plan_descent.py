"""Plans the default descent, letting the search choose the time of flight.

Run after `pip install .`:  python examples/plan_descent.py
"""
import vexal


def main():
    plan = vexal.plan(vexal.Config())  # default vehicle and environment, no time of flight
    print(plan.format_summary())
    print(plan)


if __name__ == "__main__":
    main()
