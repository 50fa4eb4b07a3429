"""vexal: fuel-optimal powered-descent planning.

`vexal.plan(config)` plans one descent and returns a `Plan`; `Config`,
`Spacecraft`, `Environment` and `Solver` describe it. Around that: figures
(`plot`, needs matplotlib: the `plot` extra), a command line (`python -m
vexal`, `vexal`), and dispersion studies (`dispersions`, `solve_many`).

`_vexal` is the exact low-level module underneath: `_vexal.solve` with its
fixed contract (no input checks, the lock held, always the golden search).
"""
from importlib import metadata as _metadata
from typing import TYPE_CHECKING

from _vexal import Config, Environment, Solver, Spacecraft

from .planning import Plan, configured, plan
from .study import CaseResult, Sigma, dispersions, solve_many
from .trajectory import format_summary, node_table, summary, time_of_flight

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .trajectory import Trajectory

try:
    __version__: str = _metadata.version("vexal")
except _metadata.PackageNotFoundError:  # imported from a source tree
    __version__ = "0+unknown"

__all__ = ["CaseResult", "Config", "Environment", "Plan", "Sigma", "Solver", "Spacecraft",
           "configured", "dispersions", "format_summary", "node_table", "plan", "plot",
           "solve_many", "summary", "time_of_flight"]


def plot(trajectory: "Trajectory", config: Config | None = None) -> "Figure":
    """One figure of a planned descent (a `Plan`, or a `_vexal` trajectory
    with its config); see `vexal.plotting.plot`.

    matplotlib is imported only here, so the rest of the package works
    without it.
    """
    from .plotting import plot as plot_descent

    if config is None and isinstance(trajectory, Plan):
        config = trajectory.config
    return plot_descent(trajectory, config)
