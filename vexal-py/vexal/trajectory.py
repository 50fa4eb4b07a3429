"""Quantities derived from a planned trajectory, and its text forms.

Every attribute read of a `_vexal.PyTrajectory` builds a fresh array, so the
helpers here read each attribute once.
"""
import json
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

import _vexal

if TYPE_CHECKING:
    from .planning import Plan


# What the helpers read: a planned trajectory with one row per node in its arrays.
Trajectory: TypeAlias = "_vexal.PyTrajectory | Plan"


def time_of_flight(trajectory: Trajectory, config: _vexal.Config) -> float | None:
    """The horizon the trajectory was planned for, in seconds, or None.

    A fixed time of flight is taken from the configuration as given. After a
    search it is recovered from the time grid: node k sits at k * tof / n, so
    tof = time_points[1] * n. A single-node trajectory has no second time
    point, so a searched horizon with n = 1 cannot be recovered (None).
    """
    solver = config.solver
    if solver.time_of_flight is not None:
        return solver.time_of_flight
    times = trajectory.time_points
    return float(times[1]) * len(times) if len(times) >= 2 else None


def summary(trajectory: Trajectory, config: _vexal.Config) -> dict[str, Any]:
    """The headline figures of a planned descent, as a dict."""
    return {
        "status": trajectory.status,
        "time_of_flight": time_of_flight(trajectory, config),
        "final_mass": trajectory.final_mass,
        "fuel_used": config.spacecraft.wet_mass - trajectory.final_mass,
        "peak_throttle": float(np.max(trajectory.normalized_thrusts)),
    }


def format_summary(trajectory: Trajectory, config: _vexal.Config) -> str:
    """An aligned, human-readable block of the headline figures."""
    figures = summary(trajectory, config)
    tof = figures["time_of_flight"]
    rows = [
        ("status", f"{figures['status']:>10}"),
        ("time of flight", "       n/a" if tof is None else f"{tof:10.3f} s"),
        ("final mass", f"{figures['final_mass']:10.3f} kg"),
        ("fuel used", f"{figures['fuel_used']:10.3f} kg"),
        ("peak throttle", f"{100.0 * figures['peak_throttle']:10.1f} % of rated thrust"),
    ]
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def node_table(trajectory: Trajectory) -> dict[str, npt.NDArray[np.float64]]:
    """One column per quantity, one entry per node, in a stable order.

    `throttle` is thrust as a fraction of the rated maximum; `mass` is the
    exponential of the solved log-mass `log_mass`; `slack` bounds the thrust
    acceleration `u`.
    """
    positions = trajectory.positions
    velocities = trajectory.velocities
    u = trajectory.u_values
    log_mass = trajectory.z_values
    return {
        "time": trajectory.time_points,
        "x": positions[:, 0], "y": positions[:, 1], "z": positions[:, 2],
        "vx": velocities[:, 0], "vy": velocities[:, 1], "vz": velocities[:, 2],
        "speed": np.linalg.norm(velocities, axis=1),
        "ux": u[:, 0], "uy": u[:, 1], "uz": u[:, 2],
        "thrust": trajectory.thrusts,
        "throttle": trajectory.normalized_thrusts,
        "mass": np.exp(log_mass),
        "log_mass": log_mass,
        "slack": trajectory.s_values,
    }


def to_json(trajectory: Trajectory, config: _vexal.Config) -> str:
    """The whole trajectory, its headline figures and its configuration."""
    document = summary(trajectory, config)
    document["objective"] = trajectory.objective
    for name in ("time_points", "positions", "velocities", "u_values", "thrusts",
                 "normalized_thrusts", "z_values", "s_values"):
        document[name] = getattr(trajectory, name).tolist()
    document["config"] = json.loads(config.to_json())
    return json.dumps(document, indent=2)
