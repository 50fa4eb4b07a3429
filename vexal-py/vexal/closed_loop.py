"""Closed-loop (Monte Carlo) studies: descents flown under guidance in bulk.

Each case is a `FlightCase` (`cases.flight_dispersions`): the configuration
the planner is told, the errors the world has, the seed of its noises.
`fly_text` flies one in a worker and keeps the touchdown's figures;
`fly_many` runs a list of them on the study engine, with the same
executors, resumable table and interrupts as `solve_many`.
"""
import concurrent.futures
import dataclasses
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, cast

from . import _native
from .cases import DRAWN_ERRORS, FlightCase
from .engine import DEFAULT_EXECUTOR, Outcome, Task, attempt
from .errors import InputError
from .planning import check_options
from .study import PLAN_TABLE, run_study
from .table import Schema


@dataclasses.dataclass(frozen=True)
class FlightResult(Outcome):
    """The outcome of flying one case.

    `status` is the flight's: "landed" (the ground reached, at whatever
    speed: see the speeds) or "time_limit"; "error" when it could not fly
    (no plan at ignition: `error` says why), and then the figures are None.
    Positions are metres, speeds metres per second (vertical: downward),
    masses kilograms, times seconds; `fallbacks` counts the re-plans that
    were not plain ones (thrust reserve spent, nearest landing, plan kept);
    `longest_plan_seconds` is a wall time, kept out of a study's table (None
    for a flight read back from one).
    """

    touchdown_time: float | None = None
    touchdown_error: float | None = None
    touchdown_x: float | None = None
    touchdown_y: float | None = None
    vertical_speed: float | None = None
    horizontal_speed: float | None = None
    fuel_used: float | None = None
    planned_fuel: float | None = None
    fuel_margin: float | None = None
    replans: int | None = None
    fallbacks: int | None = None
    longest_plan_seconds: float | None = None

    @property
    def landed(self) -> bool:
        return self.status == "landed"


def failed(message: str) -> FlightResult:
    return FlightResult(status="error", error=message)


def fly_text(text: str, options: Mapping[str, Any], tag: object = None) -> FlightResult:
    """Flies the `FlightCase` given as JSON text with `vexal.simulate`'s
    keyword `options`; never raises for the case's own failure. `tag` is
    the engine's (see `engine.Task`)."""
    from .flight import simulate

    case = FlightCase.from_json(text)
    flown = attempt(lambda: simulate(case.config, seed=case.seed, errors=dict(case.errors), **options))
    if isinstance(flown, str):
        return failed(flown)
    if flown.outcome == "no_plan":
        return failed(flown.message)
    f = flown.summary()
    return FlightResult(
        status=flown.outcome, touchdown_time=f["touchdown_time"], touchdown_error=f["touchdown_error"],
        touchdown_x=f["touchdown_point"][0], touchdown_y=f["touchdown_point"][1],
        vertical_speed=f["touchdown_vertical_speed"], horizontal_speed=f["touchdown_horizontal_speed"],
        fuel_used=f["fuel_used"], planned_fuel=f["planned_fuel"], fuel_margin=f["fuel_margin"],
        replans=f["replans"], fallbacks=sum(f["fallbacks"].values()),
        longest_plan_seconds=f["longest_plan_seconds"])


def checked_text(case: FlightCase) -> str:
    """The JSON text of a flight whose configuration passed the input checks."""
    _native.checked(case.config)
    return case.to_json()


def flight_task(options: Mapping[str, Any]) -> Task[FlightResult]:
    """Flying each case with `vexal.simulate`'s keyword `options`."""
    return Task(fly_text, (dict(options),), checked_text, failed, verb="flying")


def inputs_of(case: FlightCase) -> list[object]:
    return [*PLAN_TABLE.inputs_of(case.config), *(case.errors.get(name, 0.0) for name in DRAWN_ERRORS), case.seed]


# A closed-loop study's table: the planning study's inputs, then each
# flight's drawn errors and noise seed, then its outcome.
FLIGHT_TABLE = Schema(inputs=(*PLAN_TABLE.inputs, *DRAWN_ERRORS, "flight_seed"), inputs_of=inputs_of,
                      result=FlightResult, succeeded=("landed", "time_limit"), untabulated=("longest_plan_seconds",))


def flight_options(replan_period: float = 2.0, pointing: bool = True, thrust_margin: float = 0.05,
                   step: float = 0.01, replan_horizon: str = "searched", terminal_speed: float = 1.0,
                   rotation: Sequence[float] | None = None, terminal_height: float = 5.0,
                   sensors: Mapping[str, Any] | None = None, navigation: str = "filter",
                   control_rate: float = 10.0) -> dict[str, Any]:
    """`vexal.simulate`'s options for every flight of a study, checked. (The
    navigation options are always written, so that a table flown before
    guidance had a filter is refused on resume rather than mixed.)"""
    from .flight import SENSORS

    check_options(pointing, "target")
    if replan_horizon not in REPLAN_HORIZONS:
        raise InputError(f"replan_horizon must be 'searched' or 'fixed', got {replan_horizon!r}")
    if navigation not in ("filter", "raw"):
        raise InputError(f"navigation must be 'filter' or 'raw', got {navigation!r}")
    sensors = dict(sensors or {})
    for name, setting in sensors.items():
        if name not in SENSORS:
            raise InputError(f"sensors: {name!r} is not one of {', '.join(SENSORS)}")
        if isinstance(setting, list | tuple):
            sensors[name] = [float(v) for v in setting]
    if rotation is not None:
        rotation = [float(w) for w in rotation]
        if len(rotation) != 3 or not all(map(math.isfinite, rotation)):
            raise InputError(f"rotation must be three finite numbers (wx, wy, wz) in rad/s, got {rotation!r}")
    for name, value, low, high in (("replan_period", replan_period, 0.0, math.inf),
                                   ("thrust_margin", thrust_margin, 0.0, 0.5), ("step", step, 1e-4, 1.0),
                                   ("terminal_speed", terminal_speed, 0.0, 100.0),
                                   ("terminal_height", terminal_height, 0.0, 1000.0),
                                   ("control_rate", control_rate, 0.0, 1000.0)):
        if isinstance(value, bool) or not isinstance(value, int | float) or not low <= value <= high:
            raise InputError(f"{name} must be a number from {low:g} to {high:g}, got {value!r}")
    return {"replan_period": float(replan_period), "pointing": pointing, "thrust_margin": float(thrust_margin),
            "step": float(step), "replan_horizon": replan_horizon, "terminal_speed": float(terminal_speed),
            "terminal_height": float(terminal_height), "rotation": rotation, "sensors": sensors,
            "navigation": navigation, "control_rate": float(control_rate)}


REPLAN_HORIZONS: tuple[str, ...] = ("searched", "fixed")


def fly_many(cases: Iterable[FlightCase], executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR,
             progress: bool = True, workers: int | None = None, out: str | None = None, resume: bool = False,
             seed: int | None = None, replan_period: float = 2.0, pointing: bool = True,
             thrust_margin: float = 0.05, step: float = 0.01, replan_horizon: str = "searched",
             terminal_speed: float = 1.0, rotation: Sequence[float] | None = None,
             terminal_height: float = 5.0, sensors: Mapping[str, Any] | None = None, navigation: str = "filter",
             control_rate: float = 10.0) -> list[FlightResult]:
    """Flies every case (`vexal.flight_dispersions`) under guidance and
    returns one `FlightResult` each, in order.

    The flights are those of `vexal.simulate` with the options given;
    `executor`, `workers`, `progress`, `out`, `resume` and `seed` are
    `solve_many`'s: threads, processes or any executor, a CSV table written
    as flights finish and resumed from, Ctrl-C stopping the work with the
    finished flights kept. A flight that cannot plan at ignition is a row
    with its error, never an exception.
    """
    options = flight_options(replan_period, pointing, thrust_margin, step, replan_horizon, terminal_speed, rotation,
                             terminal_height, sensors, navigation, control_rate)
    return run_study(flight_task(options), FLIGHT_TABLE, list(cases), {"flight": options}, executor, workers,
                     progress, out, resume, seed)


def dispersion_figures(records: Iterable[FlightResult]) -> dict[str, Any]:
    """The figures of a closed-loop study over its flights that ran: how
    many landed, the touchdown error's median and 99th percentile, the 1σ
    ellipse of the touchdown points (semi-axes, m), the vertical speed's
    median and 99th percentile, and the least fuel left."""
    import numpy as np

    flown = [r for r in records if r.ok]
    if not flown:
        return {"flights": 0}
    points = np.array([[r.touchdown_x, r.touchdown_y] for r in flown], dtype=float)
    axes = np.sqrt(np.maximum(np.linalg.eigvalsh(np.cov(points.T)), 0.0))[::-1] if len(flown) > 2 else [0.0, 0.0]
    miss = np.percentile([r.touchdown_error for r in flown], [50, 99])
    speed = np.percentile([r.vertical_speed for r in flown], [50, 99])
    return {"flights": len(flown), "landed": sum(r.landed for r in flown),
            "touchdown_error": (float(miss[0]), float(miss[1])), "ellipse": (float(axes[0]), float(axes[1])),
            "vertical_speed": (float(speed[0]), float(speed[1])),
            "least_fuel_left": min(cast(float, r.fuel_margin) for r in flown)}
