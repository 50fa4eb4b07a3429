"""The cases of a study, drawn reproducibly from a seed.

`dispersions` perturbs a configuration: what the planner is told differs
from case to case. `flight_dispersions` adds, for each flown descent, what
the world does differently from what the planner assumes (the errors of
`vexal.simulate`) and the seed of its noises.
"""
import dataclasses
import json
import math
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

# Imported now, not on first use: NumPy loads its random module lazily, and
# that import swallows a KeyboardInterrupt raised inside it, so a Ctrl-C or
# SIGTERM arriving while a study draws its first case would be lost.
from numpy.random import default_rng

import _vexal

from .errors import InputError


@dataclasses.dataclass(frozen=True)
class Sigma:
    """Dispersions, drawn independently for each case.

    `position` and `velocity` are per axis, in metres and metres per second;
    the others are fractions of the nominal value: `wet_mass` (the fuel load
    kept, so it disperses the dry mass), `thrust` (the rated maximum thrust),
    `fuel` (the fuel load), `isp` (the specific impulse: the fuel
    consumption is divided by 1 + the draw) and `gravity` (the gravity
    vector, scaled). With `distribution="normal"` each is one standard
    deviation; with "uniform" each value is spread evenly over plus or minus
    it.
    """

    position: float = dataclasses.field(
        default=20.0, metadata={"what": "initial position, m per axis"})
    velocity: float = dataclasses.field(
        default=2.0, metadata={"what": "initial velocity, m/s per axis"})
    wet_mass: float = dataclasses.field(
        default=0.005, metadata={"what": "wet mass (fuel load kept), fraction of nominal"})
    thrust: float = dataclasses.field(
        default=0.01, metadata={"what": "rated maximum thrust, fraction of nominal"})
    fuel: float = dataclasses.field(
        default=0.0, metadata={"what": "fuel load, fraction of nominal"})
    isp: float = dataclasses.field(
        default=0.0, metadata={"what": "specific impulse, fraction of nominal"})
    gravity: float = dataclasses.field(
        default=0.0, metadata={"what": "gravity, fraction of nominal"})
    distribution: str = "normal"

    def __post_init__(self) -> None:
        for name in SPREADS:
            value = getattr(self, name)
            if not (isinstance(value, int | float) and math.isfinite(value) and value >= 0.0):
                raise InputError(f"sigma.{name} must be a finite number of at least 0, got {value!r}")
        if self.distribution not in DISTRIBUTIONS:
            raise InputError(f"sigma.distribution must be 'normal' or 'uniform', got {self.distribution!r}")


DISTRIBUTIONS: tuple[str, ...] = ("normal", "uniform")
# The dispersed quantities of a Sigma, in its order.
SPREADS: tuple[str, ...] = ("position", "velocity", "wet_mass", "thrust", "fuel", "isp", "gravity")


def dispersions(config: _vexal.Config, n_cases: int, seed: int,
                sigma: Sigma | Mapping[str, Any] = Sigma()) -> list[_vexal.Config]:
    """A list of `n_cases` perturbed copies of `config`, reproducibly.

    The same `seed` gives the same cases, and a shorter study is a prefix of
    a longer one with the same seed. `sigma` is a `Sigma` or a mapping of
    some of its fields.
    """
    return list(iter_dispersions(config, n_cases, seed, sigma))


def iter_dispersions(config: _vexal.Config, n_cases: int, seed: int,
                     sigma: Sigma | Mapping[str, Any] = Sigma()) -> Iterator[_vexal.Config]:
    """The cases of `dispersions`, one at a time: a study of any size in
    bounded memory."""
    if isinstance(n_cases, bool) or not isinstance(n_cases, int):
        raise TypeError(f"n_cases must be an int, got {type(n_cases).__name__}")
    if n_cases < 0:
        raise InputError(f"n_cases must be a whole number of at least 0, got {n_cases}")
    if not isinstance(sigma, Sigma):
        sigma = Sigma(**sigma)
    # The start, mass and thrust are drawn from the seed's stream, as they
    # always were; the vehicle's other quantities from a stream of their
    # own, so that adding them changes no earlier study's cases.
    start, vehicle = default_rng(seed), default_rng([seed, 1])
    uniform = sigma.distribution == "uniform"
    nominal = config.spacecraft
    environment, solver = config.environment, config.solver
    gravity = np.array(environment.gravity)
    for _ in range(n_cases):
        draw = start.uniform(-1.0, 1.0, 8) if uniform else start.standard_normal(8)
        more = vehicle.uniform(-1.0, 1.0, 3) if uniform else vehicle.standard_normal(3)
        spacecraft = config.spacecraft
        spacecraft.initial_position = (nominal.initial_position + sigma.position * draw[0:3]).tolist()
        spacecraft.initial_velocity = (nominal.initial_velocity + sigma.velocity * draw[3:6]).tolist()
        spacecraft.wet_mass = nominal.wet_mass * (1.0 + sigma.wet_mass * draw[6])
        spacecraft.real_max_thrust = nominal.real_max_thrust * (1.0 + sigma.thrust * draw[7])
        if sigma.fuel:
            spacecraft.fuel = nominal.fuel * (1.0 + sigma.fuel * more[0])
        if sigma.isp:
            spacecraft.fuel_consumption = nominal.fuel_consumption / (1.0 + sigma.isp * more[1])
        if sigma.gravity:
            environment.gravity = (gravity * (1.0 + sigma.gravity * more[2])).tolist()
        yield _vexal.Config(spacecraft=spacecraft, environment=environment, solver=solver)


# The errors of a flight (`vexal.simulate`'s names) that stay the same all
# through it: a closed-loop study draws each one per flight, its setting
# being the spread (one sigma, or the half-width of a uniform draw).
# `initial_mass_error` is the fuel load's error (kg of fuel more than
# planned), `dry_mass_error` the dry mass's.
DRAWN_ERRORS: tuple[str, ...] = ("thrust_bias", "misalignment_deg", "isp_error", "initial_mass_error",
                                 "gravity_error", "dry_mass_error")
# Drawn errors added since the first are drawn from a stream of their own,
# so that a study's other errors and seeds stay as they were.
LATER_DRAWN: tuple[str, ...] = ("dry_mass_error",)
# The others are the flight's own processes (noises, the engine's lag) and
# its engine fault: every flight is given them as set, and its seed draws
# the noises.
FLIGHT_ERRORS: tuple[str, ...] = (*DRAWN_ERRORS, "thrust_noise", "position_noise", "velocity_noise", "engine_lag",
                                  "thrust_loss", "thrust_loss_time")


@dataclasses.dataclass(frozen=True)
class FlightCase:
    """One descent of a closed-loop study: the configuration the planner is
    given, what the world does differently (`errors`, by the names
    `vexal.simulate` takes) and the seed of the flight's noises."""

    config: _vexal.Config
    errors: Mapping[str, float]
    seed: int

    def to_json(self) -> str:
        return json.dumps({"config": json.loads(self.config.to_json()), "errors": dict(self.errors),
                           "seed": self.seed})

    @classmethod
    def from_json(cls, text: str) -> "FlightCase":
        data = json.loads(text)
        return cls(_vexal.Config.from_json(json.dumps(data["config"])), data["errors"], data["seed"])


def flight_dispersions(config: _vexal.Config, n_cases: int, seed: int,
                       sigma: Sigma | Mapping[str, Any] = Sigma(),
                       errors: Mapping[str, float] | None = None) -> list[FlightCase]:
    """`n_cases` flights, reproducibly: the configurations of `dispersions`
    (same seed, same starts), each with its errors and noise seed.

    `errors` maps `vexal.simulate`'s error names to settings: for
    `DRAWN_ERRORS` the spread of a per-flight draw (of `sigma`'s
    distribution, about zero), for the others the value every flight has.
    """
    return list(iter_flight_dispersions(config, n_cases, seed, sigma, errors))


def iter_flight_dispersions(config: _vexal.Config, n_cases: int, seed: int,
                            sigma: Sigma | Mapping[str, Any] = Sigma(),
                            errors: Mapping[str, float] | None = None) -> Iterator[FlightCase]:
    """The cases of `flight_dispersions`, one at a time."""
    settings = check_errors(errors or {})
    if not isinstance(sigma, Sigma):
        sigma = Sigma(**sigma)
    # A stream of its own, so the configurations are those of `dispersions`.
    draws, later = default_rng([seed, 2]), default_rng([seed, 3])
    uniform = sigma.distribution == "uniform"
    first = len(DRAWN_ERRORS) - len(LATER_DRAWN)
    for case in iter_dispersions(config, n_cases, seed, sigma):
        draw = draws.uniform(-1.0, 1.0, first) if uniform else draws.standard_normal(first)
        flight_seed = int(draws.integers(0, 2**63))
        more = later.uniform(-1.0, 1.0, len(LATER_DRAWN)) if uniform else later.standard_normal(len(LATER_DRAWN))
        drawn = {name: float(settings[name] * d) for name, d in zip(DRAWN_ERRORS, [*draw, *more], strict=True)
                 if settings.get(name)}
        if "misalignment_deg" in drawn:  # about a random axis already: its sign adds nothing
            drawn["misalignment_deg"] = abs(drawn["misalignment_deg"])
        kept = {name: settings[name] for name in FLIGHT_ERRORS if name not in DRAWN_ERRORS and settings.get(name)}
        yield FlightCase(case, {**drawn, **kept}, flight_seed)


def check_errors(errors: Mapping[str, float]) -> dict[str, float]:
    """The error settings of a closed-loop study, checked: known names,
    finite values of at least 0."""
    for name, value in errors.items():
        if name not in FLIGHT_ERRORS:
            raise InputError(f"errors: {name!r} is not one of {', '.join(FLIGHT_ERRORS)}")
        if not (isinstance(value, int | float) and math.isfinite(value) and value >= 0.0):
            raise InputError(f"errors.{name} must be a finite number of at least 0, got {value!r}")
    return {name: float(value) for name, value in errors.items()}
