# Type stub of the native module _vexal.
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["Config", "Spacecraft", "Environment", "Solver", "PyTrajectory", "solve"]

_Float = SupportsFloat | SupportsIndex
_Vector = Sequence[_Float]

@final
class Spacecraft:
    """The vehicle: masses, engine, speed limit, and the start and target states.

    SI units in the landing frame (z up from the landing plane, the origin the
    landing site). Fields are keyword arguments of the constructor, each with
    its default; vectors are three floats."""

    def __new__(
        cls,
        wet_mass: _Float = 2000.0,
        fuel: _Float = 1700.0,
        real_max_thrust: _Float = 24000.0,
        min_thrust_pct: _Float = 0.2,
        max_thrust_pct: _Float = 0.8,
        max_velocity: _Float = 1000.0,
        initial_position: _Vector = ...,
        initial_velocity: _Vector = ...,
        target_velocity: _Vector = ...,
        target_position: _Vector = ...,
        fuel_consumption: _Float = 5e-4,
    ) -> Spacecraft: ...
    @property
    def wet_mass(self) -> float:
        """Mass at ignition, fuel included, kg."""
    @wet_mass.setter
    def wet_mass(self, value: _Float) -> None: ...
    @property
    def fuel(self) -> float:
        """Fuel at ignition, kg; the dry mass is wet_mass - fuel."""
    @fuel.setter
    def fuel(self, value: _Float) -> None: ...
    @property
    def real_max_thrust(self) -> float:
        """Rated maximum thrust of the engine, N."""
    @real_max_thrust.setter
    def real_max_thrust(self, value: _Float) -> None: ...
    @property
    def min_thrust_pct(self) -> float:
        """Throttle floor: a fraction (not percent) of real_max_thrust, 0..1."""
    @min_thrust_pct.setter
    def min_thrust_pct(self, value: _Float) -> None: ...
    @property
    def max_thrust_pct(self) -> float:
        """Throttle ceiling: a fraction (not percent) of real_max_thrust, 0..1."""
    @max_thrust_pct.setter
    def max_thrust_pct(self, value: _Float) -> None: ...
    @property
    def max_velocity(self) -> float:
        """Speed limit at every node, m/s."""
    @max_velocity.setter
    def max_velocity(self, value: _Float) -> None: ...
    @property
    def initial_position(self) -> list[float]:
        """Start [x, y, z], m, in the landing frame: z is the height, up from the landing plane."""
    @initial_position.setter
    def initial_position(self, value: _Vector) -> None: ...
    @property
    def initial_velocity(self) -> list[float]:
        """Velocity at the start, m/s."""
    @initial_velocity.setter
    def initial_velocity(self, value: _Vector) -> None: ...
    @property
    def target_velocity(self) -> list[float]:
        """Velocity at touchdown, m/s."""
    @target_velocity.setter
    def target_velocity(self, value: _Vector) -> None: ...
    @property
    def target_position(self) -> list[float]:
        """Landing site [x, y, z], m."""
    @target_position.setter
    def target_position(self, value: _Vector) -> None: ...
    @property
    def fuel_consumption(self) -> float:
        """Fuel burnt per newton per second, alpha = 1/(Isp g0), kg/(N s)."""
    @fuel_consumption.setter
    def fuel_consumption(self, value: _Float) -> None: ...

@final
class Environment:
    """Gravity, the glide-slope angle and the pointing limit."""

    def __new__(
        cls,
        gravity: _Vector = ...,
        glide_slope_angle_deg: _Float = 0.0,
        max_angle_deg: _Float = 90.0,
    ) -> Environment: ...
    @property
    def gravity(self) -> list[float]:
        """Gravitational acceleration, m/s^2 (constant)."""
    @gravity.setter
    def gravity(self, value: _Vector) -> None: ...
    @property
    def glide_slope_angle_deg(self) -> float:
        """Least elevation of every node seen from the landing site, degrees; 0: only the ground."""
    @glide_slope_angle_deg.setter
    def glide_slope_angle_deg(self, value: _Float) -> None: ...
    @property
    def max_angle_deg(self) -> float:
        """Pointing limit: greatest thrust angle from vertical, degrees.

        The vexal package keeps it by default; `solve` carries it unused."""
    @max_angle_deg.setter
    def max_angle_deg(self, value: _Float) -> None: ...

@final
class Solver:
    """The discretisation: node count, and a time of flight or the bracket to
    search one in."""

    def __new__(
        cls,
        n: SupportsIndex = 100,
        time_of_flight: _Float | None = None,
        tof_min: _Float | None = None,
        tof_max: _Float | None = None,
    ) -> Solver: ...
    @property
    def n(self) -> int:
        """Node count."""
    @n.setter
    def n(self, value: SupportsIndex) -> None: ...
    @property
    def time_of_flight(self) -> float | None:
        """Discretization horizon, s. `None` ⇒ `solve` searches for the fuel-optimal
        time-of-flight."""
    @time_of_flight.setter
    def time_of_flight(self, value: _Float | None) -> None: ...
    @property
    def tof_min(self) -> float | None:
        """Lower bound for the time-of-flight search, s. `None` ⇒ auto-bracket."""
    @tof_min.setter
    def tof_min(self, value: _Float | None) -> None: ...
    @property
    def tof_max(self) -> float | None:
        """Upper bound for the time-of-flight search, s. `None` ⇒ auto-bracket."""
    @tof_max.setter
    def tof_max(self, value: _Float | None) -> None: ...

@final
class Config:
    """A whole descent: a `Spacecraft`, an `Environment` and a `Solver`.

    Its records are copies: `config.solver.n = 60` changes a copy that is
    thrown away; assign the whole record instead."""

    def __new__(
        cls,
        spacecraft: Spacecraft = ...,
        environment: Environment = ...,
        solver: Solver = ...,
    ) -> Config: ...
    @property
    def spacecraft(self) -> Spacecraft: ...
    @spacecraft.setter
    def spacecraft(self, value: Spacecraft) -> None: ...
    @property
    def environment(self) -> Environment: ...
    @environment.setter
    def environment(self, value: Environment) -> None: ...
    @property
    def solver(self) -> Solver: ...
    @solver.setter
    def solver(self, value: Solver) -> None: ...
    def to_json(self) -> str:
        """The configuration as JSON text (the form `from_json` and configuration files take)."""
    @staticmethod
    def from_json(s: str) -> Config:
        """A configuration from JSON text; missing fields take their defaults."""

@final
class PyTrajectory:
    """The planned trajectory `solve` returns: per-node arrays (read-only
    float64) and the final figures."""

    @property
    def positions(self) -> npt.NDArray[np.float64]:
        """Node positions, (n, 3), m."""
    @property
    def velocities(self) -> npt.NDArray[np.float64]:
        """Node velocities, (n, 3), m/s."""
    @property
    def u_values(self) -> npt.NDArray[np.float64]:
        """Thrust acceleration T/m per node, (n, 3), m/s^2."""
    @property
    def thrusts(self) -> npt.NDArray[np.float64]:
        """Thrust magnitude per node, (n,), N."""
    @property
    def normalized_thrusts(self) -> npt.NDArray[np.float64]:
        """Throttle per node: thrust over real_max_thrust, (n,)."""
    @property
    def z_values(self) -> npt.NDArray[np.float64]:
        """Log of the mass per node, (n,), ln kg."""
    @property
    def s_values(self) -> npt.NDArray[np.float64]:
        """Slack sigma >= |u| bounding the thrust acceleration, (n,), m/s^2."""
    @property
    def time_points(self) -> npt.NDArray[np.float64]:
        """Node times k tof/n, (n,), s."""
    @property
    def objective(self) -> float:
        """The program's optimum: the log of the final mass, ln kg."""
    @property
    def final_mass(self) -> float:
        """Mass at the last node, kg."""
    @property
    def status(self) -> str:
        """The solver's status (Solved, AlmostSolved)."""

def solve(config: Config) -> PyTrajectory:
    """Plans the descent `config` describes: one fixed-horizon solve when
    `config.solver.time_of_flight` is set, otherwise the golden search (a
    13-point grid, then 20 golden-section steps: 36 solves) over
    `tof_min`..`tof_max` or the automatic bracket.

    The exact low-level entry: it checks nothing, holds the interpreter lock
    and cannot be interrupted; failures raise `ValueError` with the planner's
    message (`solver status: PrimalInfeasible`). `vexal.plan` is the checked,
    interruptible front door."""
