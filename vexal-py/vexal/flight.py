"""A descent flown under guidance: `simulate(config)` plans at ignition,
flies the plan through a simulated vehicle with the errors asked for, and
re-plans every `replan_period` seconds from where the vehicle is; the
`Flight` it returns holds the true state at every integration step, the
plans made, and the touchdown's figures."""
from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _vexal

from . import _native
from .cases import FLIGHT_ERRORS
from .planning import configured

# The errors `simulate` takes by name, each off by default; rotation_error
# is a vector (rad/s), the others numbers.
ERRORS: tuple[str, ...] = (*FLIGHT_ERRORS, "rotation_error")


@dataclasses.dataclass(frozen=True, eq=False, repr=False)
class Flight:
    """A flown descent. `outcome` is "landed" (the ground reached, at
    whatever speed: see `touchdown_speed`), "time_limit" or "no_plan" (no
    plan at ignition: `message` says why). Arrays hold one row per
    integration step and are read-only; `plans` lists every plan asked for:
    its flight time, how it was made ("searched", "replanned", "reserve" when
    the thrust reserve had to be spent, "nearest", or "kept" when every
    re-plan failed and the plan in force flew on), its wall time and its
    touchdown time."""

    outcome: str
    message: str
    t: npt.NDArray[np.float64]
    """Flight time, (steps,), s."""
    position: npt.NDArray[np.float64]
    """True position, (steps, 3), m; z is the height above the landing plane."""
    velocity: npt.NDArray[np.float64]
    """True velocity, (steps, 3), m/s."""
    mass: npt.NDArray[np.float64]
    """True mass, (steps,), kg."""
    thrust: npt.NDArray[np.float64]
    """The engine's actual thrust, (steps, 3), N."""
    plans: tuple[dict[str, Any], ...]
    planned_fuel: float
    """Fuel the plan made at ignition expects to burn, kg."""
    first_plan_positions: npt.NDArray[np.float64]
    """The node positions of the plan made at ignition, (n, 3), m."""
    config: _vexal.Config
    terminal_descent: float | None = None
    """Flight time at which the terminal descent began, s, if it did."""
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
    def touchdown_error(self) -> float:
        """Horizontal distance of the last state from the target, m."""
        target = np.asarray(self.config.spacecraft.target_position[:2])
        return float(np.hypot(*(self.position[-1, :2] - target)))

    @property
    def touchdown_speed(self) -> tuple[float, float]:
        """(vertical, horizontal) speed at the last state, m/s."""
        v = self.velocity[-1]
        return float(-v[2]), float(np.hypot(v[0], v[1]))

    @property
    def fuel_used(self) -> float:
        return float(self.mass[0] - self.mass[-1])

    @property
    def fuel_margin(self) -> float:
        """Fuel left in the tank at the end, kg."""
        sc = self.config.spacecraft
        return float(self.mass[-1] - (sc.wet_mass - sc.fuel))

    def __repr__(self) -> str:
        # The headline figures, never the arrays (thousands of rows).
        vertical, horizontal = self.touchdown_speed
        return (f"<Flight {self.outcome}: {len(self.t)} steps, touchdown_time={float(self.t[-1]):.3f} s, "
                f"touchdown_error={self.touchdown_error:.3f} m, touchdown_speed={vertical:.3f} m/s down "
                f"{horizontal:.3f} m/s across, fuel_used={self.fuel_used:.3f} kg, {len(self.plans)} plans>")

    def summary(self) -> dict[str, Any]:
        """The figures of the flight, as a dict."""
        sources = [p["source"] for p in self.plans]
        vertical, horizontal = self.touchdown_speed
        return {
            "outcome": self.outcome,
            "touchdown_time": float(self.t[-1]),
            "touchdown_error": self.touchdown_error,
            "touchdown_point": self.position[-1, :2].tolist(),
            "touchdown_vertical_speed": vertical,
            "touchdown_horizontal_speed": horizontal,
            "fuel_used": self.fuel_used,
            "planned_fuel": self.planned_fuel,
            "fuel_margin": self.fuel_margin,
            "replans": len(self.plans) - 1,
            "fallbacks": {s: sources.count(s) for s in ("reserve", "nearest", "kept") if s in sources},
            "longest_plan_seconds": max((p["seconds"] for p in self.plans), default=0.0),
        }


    def format_summary(self) -> str:
        """An aligned, human-readable block of the flight's figures."""
        f = self.summary()
        spent = ", ".join(f"{count} {SPENT[source]}" for source, count in f["fallbacks"].items())
        rows = [
            ("outcome", f"{self.outcome:>10}"),
            ("touchdown time", f"{f['touchdown_time']:10.3f} s"),
            ("touchdown error", f"{f['touchdown_error']:10.3f} m"),
            ("touchdown speed", f"{f['touchdown_vertical_speed']:10.3f} m/s down, "
                                f"{f['touchdown_horizontal_speed']:.3f} m/s across"),
            ("fuel used", f"{f['fuel_used']:10.3f} kg (first plan {f['planned_fuel']:.3f} kg)"),
            ("fuel left", f"{f['fuel_margin']:10.3f} kg"),
            ("re-plans", f"{f['replans']:10d}" + (f" ({spent})" if spent else "")),
            ("longest plan", f"{f['longest_plan_seconds']:10.3f} s"),
        ]
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


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
             control_rate: float = 10.0, **overrides: object) -> Flight:
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
    """
    config = configured(config, **overrides)
    data = _native.simulate(config, replan_period, pointing, thrust_margin, step, errors or {}, seed, rotation,
                            replan_horizon, terminal_speed, terminal_height, sensors or {}, navigation,
                            control_rate)
    history, navigated = data["history"], data["navigation"]
    for values in (*history.values(), *(v for v in navigated.values() if isinstance(v, np.ndarray))):
        values.setflags(write=False)
    return Flight(outcome=data["outcome"], message=data["message"], t=history["t"], position=history["position"],
                  velocity=history["velocity"], mass=history["mass"], thrust=history["thrust"],
                  plans=tuple(data["plans"]), planned_fuel=data["planned_fuel"],
                  first_plan_positions=data["first_plan"]["positions"] if "first_plan" in data else np.zeros((0, 3)),
                  config=config, terminal_descent=data["terminal_descent"],
                  estimated_position=navigated["position"], estimated_velocity=navigated["velocity"],
                  position_sigma=navigated["position_sigma"], velocity_sigma=navigated["velocity_sigma"],
                  fixes=(int(navigated["fixes_taken"]), int(navigated["fixes_rejected"])))
