# The vexal package's native module; `vexal.plan` is its documented face.
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

from _vexal import Config

@type_check_only
class PlanData(TypedDict):
    """What `plan` returns: the trajectory's arrays, one row per node (three
    columns for vectors), its figures and the number of solves it took."""

    positions: npt.NDArray[np.float64]
    velocities: npt.NDArray[np.float64]
    u_values: npt.NDArray[np.float64]
    thrusts: npt.NDArray[np.float64]
    normalized_thrusts: npt.NDArray[np.float64]
    z_values: npt.NDArray[np.float64]
    s_values: npt.NDArray[np.float64]
    time_points: npt.NDArray[np.float64]
    status: str
    objective: float
    final_mass: float
    time_of_flight: float
    iterations: int
    landing_error: float
    solves: int
    fallbacks: int

# The name of the solver of PlanOptions{} in the core: plan's default.
DEFAULT_SOLVER: Literal["clarabel", "structured"]
# PlanOptions{}.landing_tolerance, m.
DEFAULT_LANDING_TOLERANCE: float

# A failed plan raises ValueError with the attribute `kind`: "invalid_input",
# "infeasible", "solver_status", "solver_construction" or "json".
def plan(config: Config | str, search: Literal["golden", "fast"] = "fast",
         tolerance: float = 2e-4, pointing: bool = False,
         landing: Literal["target", "nearest"] = "target",
         progress: Callable[[int, float | None], object] | None = None,
         threads: int | None = None, rotation: Sequence[float] | None = None,
         solver: Literal["clarabel", "structured"] = ...,
         landing_tolerance: float = ...) -> PlanData: ...
def checked(config: Config | str, landing: Literal["target", "nearest"] = "target") -> None: ...
def simulate(config: Config | str, replan_period: float = 2.0, pointing: bool = True, thrust_margin: float = 0.05,
             step: float = 0.01, errors: dict[str, float | Sequence[float]] | None = None, seed: int = 0,
             rotation: Sequence[float] | None = None, replan_horizon: str = "searched",
             terminal_speed: float = 1.0, terminal_height: float = 5.0,
             sensors: dict[str, float | bool | Sequence[float]] | None = None,
             navigation: str = "filter", control_rate: float = 10.0,
             limits: tuple[float, float, float | None] = (2.0, 1.0, None),
             solver: Literal["clarabel", "structured"] = ...) -> dict[str, Any]: ...
def stop_all(stop: bool = True) -> None:
    """Ends every plan in progress at the moment of the call with
    KeyboardInterrupt; plans started afterwards run normally.
    stop_all(False) does nothing."""
