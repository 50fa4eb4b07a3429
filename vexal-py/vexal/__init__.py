"""vexal: fuel-optimal powered-descent planning.

`vexal.plan(config)` plans one descent and returns a `Plan`; `Config`,
`Spacecraft`, `Environment` and `Solver` describe it. Around that: figures
(`plot`, needs matplotlib: the `plot` extra), a command line (`python -m
vexal`, `vexal`), dispersion studies (`dispersions`, `solve_many`), and
descents flown under guidance (`simulate`) and their studies
(`flight_dispersions`, `fly_many`).

`_vexal` is the exact low-level module underneath: `_vexal.solve` with its
fixed contract (no input checks, the lock held, always the golden search).
"""
# The package (the native module and NumPy included) loads on first use, so
# that the command line takes over Ctrl-C before anything is imported.
import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from _vexal import Config, Environment, Solver, Spacecraft

    from .cases import FlightCase, Sigma, dispersions, flight_dispersions
    from .closed_loop import FlightResult, fly_many
    from .errors import InfeasibleError, InputError, Interrupted, JSONError, SolverError, VexalError
    from .flight import Flight, LandingLimits, simulate
    from .planning import Plan, configured, plan
    from .records import asdict, describe, replace
    from .study import CaseResult, solve_many
    from .trajectory import Trajectory, format_summary, node_table, summary, time_of_flight

if TYPE_CHECKING:
    __version__: str

__all__ = ["CaseResult", "Config", "Environment", "Flight", "FlightCase", "FlightResult", "InfeasibleError",
           "InputError", "Interrupted", "JSONError", "LandingLimits", "Plan", "Sigma", "Solver", "SolverError",
           "Spacecraft", "VexalError", "asdict", "configured", "describe", "dispersions", "flight_dispersions",
           "fly_many", "format_summary", "node_table", "plan", "plot", "replace", "simulate", "solve_many", "summary",
           "time_of_flight"]

# Where each name of the package's face lives.
_HOMES: dict[str, str] = {
    "Config": "_vexal", "Environment": "_vexal", "Solver": "_vexal", "Spacecraft": "_vexal",
    "Plan": "planning", "configured": "planning", "plan": "planning",
    "Flight": "flight", "LandingLimits": "flight", "simulate": "flight",
    "CaseResult": "study", "solve_many": "study",
    "Sigma": "cases", "dispersions": "cases", "FlightCase": "cases", "flight_dispersions": "cases",
    "FlightResult": "closed_loop", "fly_many": "closed_loop",
    "format_summary": "trajectory", "node_table": "trajectory", "summary": "trajectory",
    "time_of_flight": "trajectory",
    "VexalError": "errors", "InputError": "errors", "JSONError": "errors", "InfeasibleError": "errors",
    "SolverError": "errors", "Interrupted": "errors",
    "asdict": "records", "describe": "records", "replace": "records",
}

_SUBMODULES: frozenset[str] = frozenset({"cases", "cli", "closed_loop", "commands", "engine", "errors", "flight",
                                         "interrupts", "outputs", "planning", "plotting", "records", "study", "table",
                                         "trajectory"})


def __getattr__(name: str) -> Any:
    if name == "__version__":
        return _version()
    if name in _SUBMODULES:
        return importlib.import_module(f".{name}", __name__)
    if name not in _HOMES:
        raise AttributeError(f"module 'vexal' has no attribute {name!r}")
    home = _HOMES[name]
    value = getattr(importlib.import_module(home if home.startswith("_") else f".{home}", __name__), name)
    globals()[name] = value
    return value


def _register_pretty() -> None:
    # In IPython and Jupyter a Config shows its fields (see records.register_pretty).
    import sys

    if "IPython" in sys.modules:
        importlib.import_module(".records", __name__).register_pretty()


_register_pretty()


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("vexal")
    except metadata.PackageNotFoundError:  # imported from a source tree
        return "0+unknown"


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def plot(trajectory: "Trajectory | Flight", config: "Config | None" = None) -> "Figure":
    """One figure of a planned descent (a `Plan`, or a `_vexal` trajectory
    with its config; see `vexal.plotting.plot`) or of a flown one (a
    `Flight`; see `vexal.plotting.plot_flight`).

    matplotlib is imported only here, so the rest of the package works
    without it.
    """
    from .flight import Flight
    from .planning import Plan
    from .plotting import plot as plot_descent
    from .plotting import plot_flight

    if isinstance(trajectory, Flight):
        return plot_flight(trajectory)

    if config is None and isinstance(trajectory, Plan):
        config = trajectory.config
    return plot_descent(trajectory, config)
