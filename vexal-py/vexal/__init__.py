"""vexal: fuel-optimal powered-descent planning.

The planner itself is the native module `_vexal`; this package adds what its
users reach for next: figures (`plot`, needs matplotlib: the `plot` extra),
a command line (`python -m vexal`, `vexal`), and dispersion studies
(`dispersions`, `solve_many`).
"""
from .study import CaseResult, Sigma, dispersions, solve_many
from .trajectory import format_summary, node_table, summary, time_of_flight

__all__ = ["CaseResult", "Sigma", "dispersions", "format_summary", "node_table", "plot",
           "solve_many", "summary", "time_of_flight"]


def plot(trajectory, config=None):
    """One figure of a planned descent; see `vexal.plotting.plot`.

    matplotlib is imported only here, so the rest of the package works
    without it.
    """
    from .plotting import plot as plot_descent

    return plot_descent(trajectory, config)
