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
from .flight import LandingLimits
from .planning import SolverChoice, check_options, check_solver
from .study import PLAN_TABLE, run_study
from .table import Schema


@dataclasses.dataclass(frozen=True)
class FlightResult(Outcome):
    """The outcome of flying one case.

    `status` is the flight's: "landed" (on the ground within the study's
    landing limits), "hard_landing" (on the ground outside them) or
    "time_limit" (never on the ground: its touchdown figures are None);
    "error" when it could not fly (no plan at ignition, or errors outside
    their range: `error` says why), and then every figure is None.
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

    @property
    def touched_down(self) -> bool:
        return self.status in TOUCHED_DOWN


# The statuses of a flight that reached the ground; the others have no
# touchdown figures.
TOUCHED_DOWN: tuple[str, ...] = ("landed", "hard_landing")
TOUCHDOWN_FIGURES: tuple[str, ...] = ("touchdown_time", "touchdown_error", "touchdown_x", "touchdown_y",
                                      "vertical_speed", "horizontal_speed")


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
    touchdown: dict[str, Any] = {}
    if flown.touchdown is not None:
        d = flown.touchdown
        touchdown = {"touchdown_time": d.time, "touchdown_error": d.miss, "touchdown_x": d.position[0],
                     "touchdown_y": d.position[1], "vertical_speed": d.vertical_speed,
                     "horizontal_speed": d.horizontal_speed}
    return FlightResult(
        status=flown.outcome, **touchdown, fuel_used=f["fuel_used"], planned_fuel=f["planned_fuel"],
        fuel_margin=f["fuel_margin"], replans=f["replans"], fallbacks=sum(f["fallbacks"].values()),
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
                      result=FlightResult, succeeded=(*TOUCHED_DOWN, "time_limit"),
                      blank={"time_limit": TOUCHDOWN_FIGURES}, untabulated=("longest_plan_seconds",))


def flight_options(replan_period: float = 2.0, pointing: bool = True, thrust_margin: float = 0.05,
                   step: float = 0.01, replan_horizon: str = "searched", terminal_speed: float = 1.0,
                   rotation: Sequence[float] | None = None, terminal_height: float = 5.0,
                   sensors: Mapping[str, Any] | None = None, navigation: str = "filter",
                   control_rate: float = 10.0,
                   limits: LandingLimits | Mapping[str, float | None] | None = None,
                   solver: SolverChoice = _native.DEFAULT_SOLVER) -> dict[str, Any]:
    """`vexal.simulate`'s options for every flight of a study, checked. (The
    navigation options are always written, so that a table flown before
    guidance had a filter is refused on resume rather than mixed; the
    solver only when it is not the default, so that a table flown before
    it could be chosen still resumes.)"""
    from .flight import SENSORS

    check_options(pointing, "target")
    check_solver(solver)
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
    if replan_period != 0 and isinstance(replan_period, int | float) and replan_period < SHORTEST_REPLAN_PERIOD:
        raise InputError(f"replan_period must be 0 (no re-plans) or at least {SHORTEST_REPLAN_PERIOD:g} s, "
                         f"got {replan_period!r}")
    judged = LandingLimits.of(limits)
    for name, value in dataclasses.asdict(judged).items():
        if value is not None and not (isinstance(value, int | float) and math.isfinite(value) and value > 0):
            raise InputError(f"limits.{name} must be a finite number greater than 0, got {value!r}")
    for name, value, low, high in (("replan_period", replan_period, 0.0, math.inf),
                                   ("thrust_margin", thrust_margin, 0.0, 0.5), ("step", step, 1e-4, 1.0),
                                   ("terminal_speed", terminal_speed, 0.0, 100.0),
                                   ("terminal_height", terminal_height, 0.0, 1000.0),
                                   ("control_rate", control_rate, 0.0, 1000.0)):
        if isinstance(value, bool) or not isinstance(value, int | float) or not low <= value <= high:
            raise InputError(f"{name} must be a number from {low:g} to {high:g}, got {value!r}")
    options: dict[str, Any] = {"replan_period": float(replan_period), "pointing": pointing,
                               "thrust_margin": float(thrust_margin), "step": float(step),
                               "replan_horizon": replan_horizon,
                               "terminal_speed": float(terminal_speed), "terminal_height": float(terminal_height),
                               "rotation": rotation, "sensors": sensors, "navigation": navigation,
                               "control_rate": float(control_rate), "limits": dataclasses.asdict(judged)}
    if solver != _native.DEFAULT_SOLVER:
        options["solver"] = solver
    return options


REPLAN_HORIZONS: tuple[str, ...] = ("searched", "fixed")
SHORTEST_REPLAN_PERIOD: float = 0.1  # s, as simulate() takes it


def fly_many(cases: Iterable[FlightCase], executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR,
             progress: bool = True, workers: int | None = None, out: str | None = None, resume: bool = False,
             seed: int | None = None, replan_period: float = 2.0, pointing: bool = True,
             thrust_margin: float = 0.05, step: float = 0.01, replan_horizon: str = "searched",
             terminal_speed: float = 1.0, rotation: Sequence[float] | None = None,
             terminal_height: float = 5.0, sensors: Mapping[str, Any] | None = None, navigation: str = "filter",
             control_rate: float = 10.0,
             limits: LandingLimits | Mapping[str, float | None] | None = None,
             solver: SolverChoice = _native.DEFAULT_SOLVER) -> list[FlightResult]:
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
                             terminal_height, sensors, navigation, control_rate, limits, solver)
    return run_study(flight_task(options), FLIGHT_TABLE, list(cases), {"flight": options}, executor, workers,
                     progress, out, resume, seed)


def wilson_interval(successes: int, trials: int, z: float = 1.959964) -> tuple[float, float]:
    """The Wilson score interval of a success rate (95 % by default)."""
    if trials == 0:
        return 0.0, 1.0
    p = successes / trials
    scale = 1.0 + z * z / trials
    centre = (p + z * z / (2 * trials)) / scale
    half = z / scale * math.sqrt(p * (1.0 - p) / trials + z * z / (4 * trials * trials))
    return max(0.0, centre - half), min(1.0, centre + half)


# Upper percentiles a study may state: each only when at least this many
# flights lie beyond it, so that it is measured and not extrapolated (with
# 20 flights: the median and the worst).
PERCENTILES: tuple[float, ...] = (90.0, 95.0, 99.0, 99.9)
BEYOND: int = 5


def supported_percentiles(count: int) -> tuple[float, ...]:
    """The percentiles of `PERCENTILES` a sample of `count` supports."""
    return tuple(q for q in PERCENTILES if count * (1.0 - q / 100.0) >= BEYOND)


def spread(values: Sequence[float]) -> dict[str, float]:
    """The median, the supported upper percentiles and the worst of a sample."""
    import numpy as np

    qs = supported_percentiles(len(values))
    figures = np.percentile(values, [50.0, *qs])
    return {"median": float(figures[0]), **{f"{q:g} %": float(v) for q, v in zip(qs, figures[1:], strict=True)},
            "worst": float(max(values))}


def dispersion_figures(records: Iterable[FlightResult]) -> dict[str, Any]:
    """The figures of a closed-loop study: how many flights landed, landed
    hard, ran out of time and could not fly; the success rate (landed over
    every flight, those that could not fly included) with its 95 % Wilson
    interval; over the flights that touched down, the touchdown error, the
    vertical and horizontal speeds (each as `spread`: median, the upper
    percentiles the sample supports, the worst) and the 1σ ellipse of the
    touchdown points (semi-axes, m); the least fuel left over those that
    flew."""
    import numpy as np

    records = list(records)
    flown = [r for r in records if r.ok]
    down = [r for r in flown if r.touched_down]
    landed = sum(r.landed for r in records)
    figures: dict[str, Any] = {
        "flights": len(records), "landed": landed,
        "hard_landing": sum(r.status == "hard_landing" for r in records),
        "time_limit": sum(r.status == "time_limit" for r in records),
        "failed": len(records) - len(flown),
        "success_rate": landed / len(records) if records else 0.0,
        "success_interval": wilson_interval(landed, len(records)),
    }
    if down:
        points = np.array([[r.touchdown_x, r.touchdown_y] for r in down], dtype=float)
        axes = np.sqrt(np.maximum(np.linalg.eigvalsh(np.cov(points.T)), 0.0))[::-1] if len(down) > 2 else [0.0, 0.0]
        figures |= {"touchdown_error": spread([cast(float, r.touchdown_error) for r in down]),
                    "vertical_speed": spread([cast(float, r.vertical_speed) for r in down]),
                    "horizontal_speed": spread([cast(float, r.horizontal_speed) for r in down]),
                    "ellipse": (float(axes[0]), float(axes[1]))}
    if flown:
        figures["least_fuel_left"] = min(cast(float, r.fuel_margin) for r in flown)
    return figures
