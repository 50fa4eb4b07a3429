"""Figures of a planned descent and of a dispersion study (matplotlib).

Figures come from pyplot, so an interactive session can show them; without
a display the non-interactive Agg backend is selected before pyplot loads.
Nothing here calls `show()`.
"""
import os
import sys

import matplotlib

if (sys.platform.startswith("linux") and "MPLBACKEND" not in os.environ
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))):
    matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402  (after the backend choice)
import numpy as np  # noqa: E402

from .outputs import replacing  # noqa: E402
from .trajectory import node_table, time_of_flight  # noqa: E402

PATH = "tab:blue"
LIMIT = "tab:red"


def plot(trajectory, config=None):
    """One figure of the descent: 3-D path, throttle, mass and speed over time.

    With `config`, the figure also shows the landing site, the glide-slope
    cone (when its angle is non-zero), the throttle limits, the dry mass and
    the speed limit. Returns the figure.
    """
    nodes = node_table(trajectory)
    fig = plt.figure(figsize=(12, 7), layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=(1.15, 1))
    _path(fig.add_subplot(grid[:, 0], projection="3d"), nodes, config)

    series = [("throttle", 100.0, "throttle (% of rated)"), ("mass", 1.0, "mass (kg)"),
              ("speed", 1.0, "speed (m/s)")]
    panels = []
    for row, (name, scale, label) in enumerate(series):
        axes = fig.add_subplot(grid[row, 1], sharex=panels[0] if panels else None)
        axes.plot(nodes["time"], scale * nodes[name], color=PATH, marker=".", label=name)
        axes.set_ylabel(label)
        axes.grid(True, alpha=0.3)
        axes.tick_params(labelbottom=row == len(series) - 1)
        panels.append(axes)
    panels[-1].set_xlabel("time (s)")
    if config is not None:
        _limits(*panels, nodes, config)
    for axes in panels:
        axes.legend(loc="best", fontsize="small")

    title = f"Powered descent: {trajectory.status}, final mass {trajectory.final_mass:.1f} kg"
    tof = None if config is None else time_of_flight(trajectory, config)
    if tof is not None:
        title += f", time of flight {tof:.1f} s"
    fig.suptitle(title)
    return fig


def _path(axes, nodes, config):
    x, y, z = nodes["x"], nodes["y"], nodes["z"]
    axes.plot(x, y, z, color=PATH, marker=".", markersize=3, label="path")
    # Ground track: the path's shadow on the landing plane.
    axes.plot(x, y, np.zeros_like(z), color="grey", linewidth=1, linestyle="--", label="ground track")
    axes.scatter(x[0], y[0], z[0], color="tab:green", s=40, label="start", depthshade=False)
    site = (x[-1], y[-1], z[-1]) if config is None else config.spacecraft.target_position
    axes.scatter(*site, color="black", marker="x", s=60, label="landing site", depthshade=False)
    box = _equal_horizontal(axes, x, y)
    if config is not None:
        _glide_slope_cone(axes, config.environment.glide_slope_angle_deg, float(np.max(z)), box)
    axes.set_xlabel("x (m)")
    axes.set_ylabel("y (m)")
    axes.set_zlabel("height (m)")
    axes.set_box_aspect((1.0, 1.0, 1.3))
    # Look from beyond the landing site back towards the start, a little to
    # one side, so the descent comes towards the viewer and its sideways
    # motion stays visible.
    towards_site = np.subtract(site[:2], (x[0], y[0]))
    azimuth = np.degrees(np.arctan2(towards_site[1], towards_site[0])) - 25.0
    axes.view_init(elev=20, azim=azimuth if np.any(towards_site) else -60.0)
    axes.set_proj_type("ortho")
    axes.legend(loc="upper left", fontsize="small")


def _equal_horizontal(axes, x, y):
    """Equal scales on the two horizontal axes; returns the view's (x, y) limits."""
    centre = ((x.max() + x.min()) / 2.0, (y.max() + y.min()) / 2.0)
    half = max(x.max() - x.min(), y.max() - y.min(), 1.0) / 2.0 * 1.1
    box = [(c - half, c + half) for c in centre]
    axes.set_xlim(*box[0])
    axes.set_ylim(*box[1])
    return box


def _glide_slope_cone(axes, angle_deg, height, box):
    """The glide-slope surface as a wireframe, apex at the origin, cut to the view.

    The planner keeps every node where height >= |sin(angle)| * |position|,
    a cone whose surface rises at asin(|sin(angle)|) above the landing plane.
    """
    sine = abs(np.sin(np.radians(angle_deg)))
    if not 0.0 < sine <= 1.0:
        return
    elevation = np.arcsin(sine)
    azimuth = np.linspace(0.0, 2.0 * np.pi, 181)
    rings = [(h / np.tan(elevation) * np.cos(azimuth), h / np.tan(elevation) * np.sin(azimuth),
              np.full_like(azimuth, h)) for h in np.linspace(0.0, height, 7)[1:]]
    spokes = [(np.linspace(0.0, height / np.tan(elevation) * np.cos(a), 50),
               np.linspace(0.0, height / np.tan(elevation) * np.sin(a), 50),
               np.linspace(0.0, height, 50)) for a in np.linspace(0.0, 2.0 * np.pi, 12, endpoint=False)]
    label = f"glide slope {np.degrees(elevation):g}°"
    for cx, cy, cz in rings + spokes:
        outside = (cx < box[0][0]) | (cx > box[0][1]) | (cy < box[1][0]) | (cy > box[1][1])
        axes.plot(np.where(outside, np.nan, cx), cy, cz, color="tab:orange", alpha=0.5,
                  linewidth=0.8, label=label)
        label = None


def _limits(throttle, mass, speed, nodes, config):
    spacecraft = config.spacecraft
    for pct, name in ((spacecraft.min_thrust_pct, "min"), (spacecraft.max_thrust_pct, "max")):
        throttle.axhline(100.0 * pct, color=LIMIT, linestyle="--", linewidth=1,
                         label=f"{name} throttle {100.0 * pct:g} %")
    _limit_line(mass, nodes["mass"], spacecraft.wet_mass - spacecraft.fuel, "dry mass {:g} kg")
    _limit_line(speed, nodes["speed"], spacecraft.max_velocity, "speed limit {:g} m/s")


def _limit_line(axes, data, limit, label):
    """A dashed line at `limit`; one far from the data is named in the legend
    but left off the scale, so the curve keeps its detail."""
    low, high = float(np.min(data)), float(np.max(data))
    margin = max(high - low, 1e-9 * max(abs(high), 1.0))
    label = label.format(limit)
    if not low - 3.0 * margin <= limit <= high + 3.0 * margin:
        axes.set_ylim(low - 0.1 * margin, high + 0.1 * margin)
        label += " (off scale)"
    axes.axhline(limit, color=LIMIT, linestyle="--", linewidth=1, label=label)


def plot_final_mass(records):
    """Histogram of the final mass over the successful cases of a study."""
    masses = [r.final_mass for r in records if r.ok]
    failed = len(records) - len(masses)
    fig, axes = plt.subplots(figsize=(7, 4.5), layout="constrained")
    axes.hist(masses, bins="auto", color=PATH, edgecolor="white")
    axes.set_xlabel("final mass (kg)")
    axes.set_ylabel("cases")
    title = f"Final mass over {len(masses)} planned cases"
    if failed:
        title += f" ({failed} failed)"
    axes.set_title(title)
    if masses:
        mean = float(np.mean(masses))
        axes.axvline(mean, color=LIMIT, linestyle="--", label=f"mean {mean:.1f} kg")
        axes.legend()
    axes.grid(True, alpha=0.3)
    return fig


def save(fig, path):
    """Writes the figure to `path` (format from its suffix, PNG without one),
    atomically, and releases it."""
    try:
        with replacing(path, binary=True) as file:
            fig.savefig(file, format=os.path.splitext(path)[1][1:].lower() or "png", dpi=100)
    finally:
        plt.close(fig)
