"""A descent flown under guidance: `simulate(config)` plans at ignition,
flies the plan through a simulated vehicle with the errors asked for, and
re-plans every `replan_period` seconds from where the vehicle is; the
`Flight` it returns holds the true state at every integration step, the
plans made, and the touchdown's figures."""
from __future__ import annotations

import dataclasses
import json
import os
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _vexal

from . import _native
from .cases import FLIGHT_ERRORS
from .errors import InputError
from .planning import SolverChoice, check_solver, configured

# The errors `simulate` takes by name, each off by default; rotation_error
# is a vector (rad/s), the others numbers.
ERRORS: tuple[str, ...] = (*FLIGHT_ERRORS, "rotation_error")


@dataclasses.dataclass(frozen=True)
class LandingLimits:
    """What a touchdown must keep within to be a landing: the vertical
    (downward) and horizontal speed, m/s, and if given the horizontal
    distance from the target, m. The defaults, 2 m/s down and 1 m/s across
    with no miss radius, are of the order landers are built for (lunar
    landers are specified for about 2 m/s down and 0.5 m/s across)."""

    vertical_speed: float = 2.0
    horizontal_speed: float = 1.0
    miss_radius: float | None = None

    @classmethod
    def of(cls, limits: LandingLimits | Mapping[str, float | None] | None) -> LandingLimits:
        """Limits given as LandingLimits, a mapping of some of their names,
        or None for the defaults."""
        if limits is None:
            return cls()
        if isinstance(limits, LandingLimits):
            return limits
        if not isinstance(limits, Mapping):
            raise TypeError(f"limits must be a LandingLimits, a dict or None, got {type(limits).__name__}")
        unknown = [name for name in limits if name not in LIMITS]
        if unknown:
            raise InputError(f"limits: no limit named {unknown[0]!r} (they are {', '.join(LIMITS)})")
        return cls(**limits)  # type: ignore[arg-type]

    def exceeded(self, vertical: float, horizontal: float, miss: float) -> list[str]:
        """The limits a touchdown with these figures exceeds, in words."""
        over = [f"{name} {value:.3f} {unit} over {limit:g}"
                for name, value, limit, unit in (("vertical speed", vertical, self.vertical_speed, "m/s"),
                                                 ("horizontal speed", horizontal, self.horizontal_speed, "m/s"),
                                                 ("miss", miss, self.miss_radius, "m"))
                if limit is not None and value > limit]
        return over


LIMITS: tuple[str, ...] = tuple(field.name for field in dataclasses.fields(LandingLimits))


@dataclasses.dataclass(frozen=True)
class Touchdown:
    """The state at the ground."""

    time: float
    """Flight time, s."""
    position: tuple[float, float, float]
    """m; height 0."""
    velocity: tuple[float, float, float]
    """m/s."""
    mass: float
    """kg."""
    vertical_speed: float
    """Downward, m/s."""
    horizontal_speed: float
    """m/s."""
    miss: float
    """Horizontal distance from the target, m."""


@dataclasses.dataclass(frozen=True, eq=False, repr=False)
class Flight:
    """A flown descent. `outcome` is "landed" (on the ground within
    `limits`), "hard_landing" (on the ground outside them: `touchdown` says
    how), "time_limit" (still in the air when the time ran out) or "no_plan"
    (no plan at ignition: `message` says why). Only a flight that touched
    down has a `touchdown` and touchdown figures; for the others they are
    None. Arrays hold one row per integration step and are read-only, named
    as a `Plan`'s (`t`, `position`, `velocity`, `mass` and `thrust` are their
    older names); `plans` lists every plan asked for: its flight time, how
    it was made ("searched", "replanned", "reserve" when the thrust reserve
    had to be spent, "nearest", or "kept" when every re-plan failed and the
    plan in force flew on), its wall time, its touchdown time and the
    engine's thrust per command as guidance read it then ("engine")."""

    outcome: str
    message: str
    time_points: npt.NDArray[np.float64]
    """Flight time, (steps,), s."""
    positions: npt.NDArray[np.float64]
    """True position, (steps, 3), m; z is the height above the landing plane."""
    velocities: npt.NDArray[np.float64]
    """True velocity, (steps, 3), m/s."""
    masses: npt.NDArray[np.float64]
    """True mass, (steps,), kg."""
    thrust_vectors: npt.NDArray[np.float64]
    """The engine's actual thrust, (steps, 3), N."""
    plans: tuple[dict[str, Any], ...]
    planned_fuel: float
    """Fuel the plan made at ignition expects to burn, kg."""
    first_plan_positions: npt.NDArray[np.float64]
    """The node positions of the plan made at ignition, (n, 3), m."""
    config: _vexal.Config
    terminal_descent: float | None = None
    """Flight time at which the terminal descent began, s, if it did."""
    touchdown: Touchdown | None = None
    """The state at the ground, if the flight got there."""
    limits: LandingLimits = LandingLimits()
    """What the touchdown was judged by."""
    estimated_position: npt.NDArray[np.float64] = dataclasses.field(default_factory=lambda: np.zeros((0, 3)))
    """What guidance believed the position was at each step, (steps, 3), m:
    the filter's estimate (with navigation="raw", the truth with the last
    raw reading's errors)."""
    estimated_velocity: npt.NDArray[np.float64] = dataclasses.field(default_factory=lambda: np.zeros((0, 3)))
    """Likewise the velocity, (steps, 3), m/s."""
    position_sigma: npt.NDArray[np.float64] = dataclasses.field(default_factory=lambda: np.zeros((0, 3)))
    """The estimate's 1-sigma uncertainty per axis (the square root of the
    filter's covariance diagonal), (steps, 3), m."""
    velocity_sigma: npt.NDArray[np.float64] = dataclasses.field(default_factory=lambda: np.zeros((0, 3)))
    """Likewise of the velocity, (steps, 3), m/s."""
    fixes: tuple[int, int] = (0, 0)
    """The fixes the filter (taken, rejected by its innovation test)."""

    @property
    def navigation_error(self) -> npt.NDArray[np.float64]:
        """The estimate less the truth at each step: position then velocity,
        (steps, 6)."""
        return np.hstack([self.estimated_position - self.position, self.estimated_velocity - self.velocity])

    @property
    def thrusts(self) -> npt.NDArray[np.float64]:
        """Thrust magnitude, (steps,), N."""
        magnitudes: npt.NDArray[np.float64] = np.linalg.norm(self.thrust_vectors, axis=1)
        return magnitudes

    # The older names of the arrays.
    t = property(lambda self: self.time_points)
    position = property(lambda self: self.positions)
    velocity = property(lambda self: self.velocities)
    mass = property(lambda self: self.masses)
    thrust = property(lambda self: self.thrust_vectors)

    @property
    def touched_down(self) -> bool:
        return self.touchdown is not None

    @property
    def touchdown_error(self) -> float | None:
        """Horizontal distance of the touchdown from the target, m; None
        without a touchdown."""
        return None if self.touchdown is None else self.touchdown.miss

    @property
    def touchdown_speed(self) -> tuple[float, float] | None:
        """(vertical, horizontal) speed at touchdown, m/s; None without one."""
        d = self.touchdown
        return None if d is None else (d.vertical_speed, d.horizontal_speed)

    @property
    def fuel_used(self) -> float | None:
        return float(self.masses[0] - self.masses[-1]) if len(self.masses) else None

    @property
    def fuel_margin(self) -> float | None:
        """Fuel left in the tank at the end, kg."""
        sc = self.config.spacecraft
        return float(self.masses[-1] - (sc.wet_mass - sc.fuel)) if len(self.masses) else None

    def __repr__(self) -> str:
        # The headline figures, never the arrays (thousands of rows).
        d = self.touchdown
        if d is not None:
            how = (f"touchdown_time={d.time:.3f} s, touchdown_error={d.miss:.3f} m, touchdown_speed="
                   f"{d.vertical_speed:.3f} m/s down {d.horizontal_speed:.3f} m/s across")
        elif len(self.time_points):
            how = f"no touchdown: {self.positions[-1, 2]:.3f} m up at {self.time_points[-1]:.3f} s"
        else:
            how = f"no touchdown: {self.message}"
        fuel = f", fuel_used={self.fuel_used:.3f} kg" if self.fuel_used is not None else ""
        return f"<Flight {self.outcome}: {len(self.time_points)} steps, {how}{fuel}, {len(self.plans)} plans>"

    def summary(self) -> dict[str, Any]:
        """The figures of the flight, as a dict; the touchdown's are None
        for a flight that never touched down."""
        sources = [p["source"] for p in self.plans]
        d = self.touchdown
        return {
            "outcome": self.outcome,
            "end_time": float(self.time_points[-1]) if len(self.time_points) else None,
            "end_height": float(self.positions[-1, 2]) if len(self.positions) else None,
            "touchdown_time": None if d is None else d.time,
            "touchdown_error": None if d is None else d.miss,
            "touchdown_point": None if d is None else list(d.position[:2]),
            "touchdown_vertical_speed": None if d is None else d.vertical_speed,
            "touchdown_horizontal_speed": None if d is None else d.horizontal_speed,
            "limits": dataclasses.asdict(self.limits),
            "fuel_used": self.fuel_used,
            "planned_fuel": self.planned_fuel,
            "fuel_margin": self.fuel_margin,
            "replans": max(len(self.plans) - 1, 0),
            "fallbacks": {s: sources.count(s) for s in ("reserve", "nearest", "kept") if s in sources},
            "longest_plan_seconds": max((p["seconds"] for p in self.plans), default=0.0),
        }

    def format_summary(self) -> str:
        """An aligned, human-readable block of the flight's figures, for
        every outcome."""
        f = self.summary()
        d = self.touchdown
        limits = self.limits
        said = f"{limits.vertical_speed:10.3f} m/s down, {limits.horizontal_speed:.3f} m/s across" + (
            f", {limits.miss_radius:.3f} m from the target" if limits.miss_radius is not None else "")
        rows = [("outcome", f"{self.outcome:>10}")]
        if self.outcome == "no_plan":
            rows.append(("why", self.message))
        elif d is None:
            rows.append(("touchdown", f"none: {f['end_height']:.3f} m up at {f['end_time']:.3f} s"))
        else:
            over = limits.exceeded(d.vertical_speed, d.horizontal_speed, d.miss)
            rows += [("touchdown time", f"{d.time:10.3f} s"), ("touchdown error", f"{d.miss:10.3f} m"),
                     ("touchdown speed", f"{d.vertical_speed:10.3f} m/s down, {d.horizontal_speed:.3f} m/s across"),
                     ("limits", said + (f" ({'; '.join(over)})" if over else ""))]
        if f["fuel_used"] is not None:
            spent = ", ".join(f"{count} {SPENT[source]}" for source, count in f["fallbacks"].items())
            rows += [("fuel used", f"{f['fuel_used']:10.3f} kg (first plan {f['planned_fuel']:.3f} kg)"),
                     ("fuel left", f"{f['fuel_margin']:10.3f} kg"),
                     ("re-plans", f"{f['replans']:10d}" + (f" ({spent})" if spent else "")),
                     ("longest plan", f"{f['longest_plan_seconds']:10.3f} s")]
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)

    def to_json(self) -> str:
        """The flight's summary and its touchdown as JSON text (no arrays)."""
        return json.dumps({**self.summary(), "message": self.message,
                           "touchdown": None if self.touchdown is None else dataclasses.asdict(self.touchdown)},
                          indent=1)


# How the summary words the plans that were not plain re-plans.
SPENT: dict[str, str] = {"reserve": "spent the thrust reserve", "nearest": "nearest landing",
                         "kept": "kept the plan in force"}


# The sensor suite `simulate(sensors=...)` takes by name, with the defaults
# of every one left out: perfect instruments, every one fitted, all heights.
SENSORS: dict[str, str] = {
    "accelerometer_noise": "m/s per sqrt(s) per axis, the velocity random walk (default 0)",
    "accelerometer_bias": "m/s^2, 1 sigma per axis, drawn per flight (default 0)",
    "altimeter": "fitted (default True)",
    "altimeter_noise": "1 sigma, a fraction of the height (default 0)",
    "altimeter_bias": "m added to every reading (default 0)",
    "altimeter_range": "m, nothing above it (default 1e5)",
    "altimeter_rate": "Hz (default 10)",
    "altimeter_dropout": "(from, to) s of flight with no reading (default none)",
    "velocimeter": "fitted (default True); its noise is errors['velocity_noise']",
    "velocimeter_bias": "m/s added to each axis (default 0)",
    "velocimeter_ceiling": "m, readings only below it (default 1e5)",
    "velocimeter_rate": "Hz (default 10)",
    "velocimeter_dropout": "(from, to) s (default none)",
    "fixes": "terrain-relative position fixes fitted (default True); their noise is errors['position_noise']",
    "fix_bias": "m added to each axis (default 0)",
    "fix_floor": "m, no fix below it (default 0)",
    "fix_rate": "Hz (default 1)",
    "fix_dropout": "(from, to) s (default none)",
}


def simulate(config: _vexal.Config | str | os.PathLike[str] | None = None, *, replan_period: float = 2.0,
             pointing: bool = True, thrust_margin: float = 0.05, step: float = 0.01, seed: int = 0,
             errors: dict[str, float | Sequence[float]] | None = None, rotation: Sequence[float] | None = None,
             replan_horizon: str = "searched", terminal_speed: float = 1.0, terminal_height: float = 5.0,
             sensors: dict[str, float | bool | Sequence[float]] | None = None, navigation: str = "filter",
             control_rate: float = 10.0, limits: LandingLimits | Mapping[str, float | None] | None = None,
             solver: SolverChoice = _native.DEFAULT_SOLVER, **overrides: object) -> Flight:
    """Flies the descent of `config` (as `vexal.plan` takes it, keywords
    replacing single fields) under guidance and returns a `Flight`.

    The plan at ignition is the fast search's (or the configured time of
    flight); every `replan_period` seconds (0: never) a new plan starts
    from the navigated state, over the time the plan in force has left;
    when no plan lands in it, `replan_horizon="searched"` (the default)
    takes the best time of flight between 0.8 and 1.25 times it before
    spending the reserve, "fixed" spends the reserve at once. A plan that
    reaches the ground before its last node is not taken. Plans keep `thrust_margin` of the
    top thrust in reserve and spend it only when a re-plan cannot do
    without. Guidance reads the engine's true thrust, as a multiple of its
    command, from the velocity change it sees, and plans and commands for
    that engine. Behind the last plan, above the ground, it descends at
    `terminal_speed` m/s under velocity feedback (0: the engine is cut).
    With `terminal_height` (m, default 5; 0: the plans end on the ground)
    the plans end that high above the target, moving down at
    `terminal_speed`, and the terminal descent lands from there: straight
    down at that speed, the horizontal velocity nulled over where the plan
    ended; the touchdown speed is the descent's whatever the height
    navigation gave, for the fuel of that descent.

    Guidance never sees the true state: `navigation="filter"` (the default)
    estimates it with a Kalman filter over position, velocity and the
    accelerometer's bias, propagated with the accelerometer every step and
    updated with the altimeter, the velocimeter and terrain-relative
    position fixes, a fix failing the filter's chi-square test (99.9 %)
    rejected; `navigation="raw"` takes a raw position and velocity reading
    whenever guidance asks (the navigation of earlier versions). `sensors`
    sets the suite by the names in `SENSORS`; the errors `position_noise`
    and `velocity_noise` are the noise (1 sigma per axis) of the position
    fixes and the velocimeter, and the estimate at ignition is as far off as
    one fix of each. The engine's thrust per command is read from what the
    accelerometer felt. Between re-plans the plan is tracked at
    `control_rate` Hz (0: its thrust flown as planned) with feedback on the
    navigated error from the plan's state. `errors` maps the names in
    `ERRORS` to values (fractions, kg, degrees, m, m/s, s); noises are
    drawn from `seed`, and the same seed gives the same flight. The plant
    is integrated with the classic Runge-Kutta method in steps of `step`
    seconds; the plans' thrust is held to first order between their nodes.

    `rotation=(wx, wy, wz)` is the planet's angular velocity, rad/s, as
    `vexal.plan` takes it: every plan and the plant have it. The error
    `rotation_error` (a vector too) is what the planet's true rotation adds
    to it: `rotation=None, errors={"rotation_error": w}` flies plans that
    ignore a rotation w.

    The engine gives (1 + thrust_bias) times the command held to its rated
    range: an engine 2 % strong gives 2 % over rated at full throttle. Its
    lag is integrated in closed form over each step. `initial_mass_error`
    is kg of fuel more than planned (the fuel load's error),
    `dry_mass_error` kg of dry mass more. `thrust_loss` (with
    `thrust_loss_time`, s) is an engine fault: from then on the engine gives
    that share less, its limits too (0.25: one engine of four out); the
    engines' health monitoring tells guidance 0.2 s later, and it re-plans
    at once for the engine that is left, falling back to the nearest
    landing when the target is out of reach. A weaker engine it is not told
    of it reads from what the accelerometer feels.
    A flight that has not touched down by the plan in force's touchdown,
    plus twice the descent from its gate and 60 s (or half the touchdown
    time, if longer), ends at that time limit.

    `solver` is the interior-point solver of every plan's quick path, as
    `vexal.plan` takes it: "structured" (the default) or "clarabel".

    `limits` (a `LandingLimits`, a dict of some of its names, or None for
    its defaults) judges the touchdown: "landed" within them, "hard_landing"
    outside. Values outside the range a flight is modelled for are refused
    with an InputError naming them: thrust_bias and isp_error within plus or
    minus 0.2, gravity_error within plus or minus 0.1, thrust_noise up to 0.2, misalignment_deg up to
    15, initial_mass_error within plus or minus the fuel load,
    dry_mass_error within half the dry mass, engine_lag up to 1 s,
    thrust_loss from 0 to 1, replan_period 0 or at least 0.1 s, `seed` from
    0 to 2**64 - 1.
    """
    check_seed(seed)
    check_solver(solver)
    judged = LandingLimits.of(limits)
    config = configured(config, **overrides)
    data = _native.simulate(config, replan_period, pointing, thrust_margin, step, errors or {}, seed, rotation,
                            replan_horizon, terminal_speed, terminal_height, sensors or {}, navigation,
                            control_rate, (judged.vertical_speed, judged.horizontal_speed, judged.miss_radius),
                            solver)
    history, navigated = data["history"], data["navigation"]
    for values in (*history.values(), *(v for v in navigated.values() if isinstance(v, np.ndarray))):
        values.setflags(write=False)
    d = data["touchdown"]
    touchdown = None if d is None else Touchdown(
        time=d["t"], position=d["position"], velocity=d["velocity"], mass=d["mass"],
        vertical_speed=d["vertical_speed"], horizontal_speed=d["horizontal_speed"], miss=d["miss"])
    return Flight(outcome=data["outcome"], message=data["message"], time_points=history["t"],
                  positions=history["position"], velocities=history["velocity"], masses=history["mass"],
                  thrust_vectors=history["thrust"], plans=tuple(data["plans"]), planned_fuel=data["planned_fuel"],
                  first_plan_positions=data["first_plan"]["positions"] if "first_plan" in data else np.zeros((0, 3)),
                  config=config, terminal_descent=data["terminal_descent"],
                  estimated_position=navigated["position"], estimated_velocity=navigated["velocity"],
                  position_sigma=navigated["position_sigma"], velocity_sigma=navigated["velocity_sigma"],
                  fixes=(int(navigated["fixes_taken"]), int(navigated["fixes_rejected"])),
                  touchdown=touchdown, limits=judged)


def check_seed(seed: object) -> None:
    """A flight's seed: a whole number from 0 to 2**64 - 1."""
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise TypeError(f"seed must be an int, got {type(seed).__name__}")
    if not 0 <= seed < 2**64:
        raise InputError(f"seed must be from 0 to 2**64 - 1, got {seed}")
