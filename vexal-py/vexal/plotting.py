"""Figures of a planned descent and of a dispersion study (matplotlib).

Figures come from pyplot, so an interactive session can show them; without
a display the non-interactive Agg backend is selected before pyplot loads.
Nothing here calls `show()`.
"""
import math
import os
import sys
from collections.abc import Mapping, Sequence
from typing import Any, TypeAlias, cast

import matplotlib

if (sys.platform.startswith("linux") and "MPLBACKEND" not in os.environ
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))):
    matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402  (after the backend choice)
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402
from mpl_toolkits.mplot3d.axes3d import Axes3D  # noqa: E402

import _vexal  # noqa: E402

from .flight import Flight  # noqa: E402
from .outputs import replacing  # noqa: E402
from .planning import Plan  # noqa: E402
from .study import CaseResult  # noqa: E402
from .trajectory import Trajectory, node_table, time_of_flight  # noqa: E402

Array: TypeAlias = npt.NDArray[np.float64]
# A trajectory's columns by name, as `node_table` gives them.
Nodes: TypeAlias = Mapping[str, Array]
# The view's limits on each axis.
Box: TypeAlias = Sequence[tuple[float, float]]

PATH: str = "tab:blue"
LEGEND: dict[str, str] = {"angle": "thrust angle from vertical"}
LIMIT: str = "tab:red"
FLOOR: str = "tab:brown"
THRUST: str = "tab:purple"
# Thrust arrows along the side view's path, at most about this many.
ARROWS: int = 20


def plot(trajectory: Trajectory, config: _vexal.Config | None = None) -> Figure:
    """One figure of the descent, as guidance engineers draw it.

    Left: the 3-D path (equal scales, x increasing to the right) and a side
    view, downrange against height, with the thrust along the path as
    arrows (their directions true, their lengths the thrust's). Right, over
    time up to touchdown: height, speed, thrust in newtons, thrust angle
    from vertical, mass. With `config`, the figure also shows the target,
    the glide-slope cone (about the landing point for a nearest landing),
    the speed limit, the throttle floor and ceiling, the pointing limit when
    it was imposed, and the dry mass. Returns the figure; in Jupyter it
    shows once, as the cell's value.
    """
    nodes = node_table(trajectory)
    u = np.column_stack((nodes["ux"], nodes["uy"], nodes["uz"]))
    with np.errstate(invalid="ignore", divide="ignore"):
        nodes["angle"] = np.degrees(np.arccos(np.clip(u[:, 2] / np.linalg.norm(u, axis=1), -1.0, 1.0)))
    landing = np.array([nodes["x"][-1], nodes["y"][-1], nodes["z"][-1]])
    target = None if config is None else np.array(config.spacecraft.target_position, dtype=float)
    # The program's cone stands on the origin, a nearest landing's on the landing point.
    apex = landing if config is None or getattr(trajectory, "landing", "target") == "nearest" else np.zeros(3)
    gamma = 0.0 if config is None else config.environment.glide_slope_angle_deg

    fig = plt.figure(figsize=(14, 10), layout="constrained")
    grid = fig.add_gridspec(5, 2, width_ratios=(1.2, 1))
    _path(fig.add_subplot(grid[:3, 0], projection="3d"), nodes, target, apex, gamma)
    _side_view(fig.add_subplot(grid[3:, 0]), nodes, u, target, apex, gamma)

    series = [("z", "height (m)"), ("speed", "speed (m/s)"), ("thrust", "thrust (N)"),
              ("angle", "thrust angle (deg)"), ("mass", "mass (kg)")]
    panels: list[Axes] = []
    for row, (name, label) in enumerate(series):
        axes = fig.add_subplot(grid[row, 1], sharex=panels[0] if panels else None)
        axes.plot(nodes["time"], nodes[name], color=PATH, marker=".", markersize=3,
                  label=LEGEND.get(name, label.split(" (")[0]))
        axes.set_ylabel(label)
        axes.grid(True, alpha=0.3)
        axes.tick_params(labelbottom=row == len(series) - 1)
        panels.append(axes)
    panels[-1].set_xlabel("time (s)")
    panels[0].set_xlim(0.0, max(float(nodes["time"][-1]), 1e-9))  # ends at touchdown
    if config is not None:
        _, speed, thrust, angle, mass = panels
        _limits(speed, thrust, angle, mass, nodes, config, getattr(trajectory, "pointing_limit_deg", None))
    for axes in panels:
        axes.legend(loc="best", fontsize="small")

    fig.suptitle(_title(trajectory, config, nodes))
    if "inline" in matplotlib.get_backend():
        plt.close(fig)  # the cell's value shows it; pyplot would show it again
    return fig


def _title(trajectory: Trajectory, config: _vexal.Config | None, nodes: Nodes) -> str:
    title = f"Powered descent: {trajectory.status}"
    tof = None if config is None else time_of_flight(trajectory, config)
    if tof is not None:
        title += f", horizon {tof:.2f} s"
    title += f", touchdown at {float(nodes['time'][-1]):.2f} s (last node)"
    if config is not None:
        title += f", fuel used {config.spacecraft.wet_mass - trajectory.final_mass:.1f} kg"
    if isinstance(trajectory, Plan) and trajectory.landing == "nearest":
        title += f", landing error {trajectory.landing_error:.1f} m"
    return title


def _path(axes: Axes3D, nodes: Nodes, target: Array | None, apex: Array, gamma: float) -> None:
    x, y, z = nodes["x"], nodes["y"], nodes["z"]
    axes.plot(x, y, z, color=PATH, marker=".", markersize=3, label="path")
    # Ground track: the path's shadow on the landing plane.
    axes.plot(x, y, np.full_like(z, z[-1]), color="grey", linewidth=1, linestyle="--", label="ground track")
    axes.scatter(x[0], y[0], z[0], color="tab:green", s=40, label="start", depthshade=False)
    axes.scatter(x[-1], y[-1], z[-1], color="black", marker="o", s=30, label="landing point", depthshade=False)
    if target is not None:
        axes.scatter(*target, color=LIMIT, marker="x", s=60, label="target", depthshade=False)
    xs, ys = np.append(x, [apex[0]] if target is None else [apex[0], target[0]]), \
        np.append(y, [apex[1]] if target is None else [apex[1], target[1]])
    box = _equal_box(axes, xs, ys, z)
    _glide_slope_cone(axes, gamma, apex, box)
    axes.set_xlabel("x (m)")
    axes.set_ylabel("y (m)")
    axes.set_zlabel("height (m)")
    axes.view_init(elev=20, azim=_azimuth(x, y))
    axes.set_proj_type("ortho")
    axes.legend(loc="upper left", fontsize="small")  # the height axis is on the right


def _azimuth(x: Array, y: Array) -> float:
    """The 3-D view's azimuth: from beyond the landing point back towards
    the start, a little to one side, so that the descent comes towards the
    viewer and its sideways motion stays visible; of the views that show the
    same motion, one in which x and y both increase to the right."""
    towards_site = np.array([x[-1] - x[0], y[-1] - y[0]])
    if not np.any(towards_site):
        return -60.0
    azimuth = (np.degrees(np.arctan2(towards_site[1], towards_site[0])) - 25.0 + 180.0) % 360.0 - 180.0
    azimuth = -abs(azimuth)  # mirrored across the x axis
    if azimuth < -90.0:  # and across the y axis
        azimuth = -180.0 - azimuth
    return float(np.clip(azimuth, -75.0, -15.0))  # never along an axis


def _equal_box(axes: Axes3D, x: Array, y: Array, z: Array) -> list[tuple[float, float]]:
    """One scale on all three axes; returns the view's limits per axis."""
    low = np.array([x.min(), y.min(), min(z.min(), 0.0)])
    high = np.array([x.max(), y.max(), z.max()])
    half = max(float(np.max(high - low)), 1.0) / 2.0 * 1.05
    centre = (low + high) / 2.0
    box = [(c - half, c + half) for c in centre]
    box[2] = (low[2], low[2] + 2.0 * half)
    axes.set_xlim(*box[0])
    axes.set_ylim(*box[1])
    axes.set_zlim(*box[2])
    axes.set_box_aspect((1.0, 1.0, 1.0))
    return box


def _elevation(angle_deg: float) -> float | None:
    """The cone's surface elevation: nodes keep height >= |sin(angle)| * distance."""
    sine = abs(np.sin(np.radians(angle_deg)))
    return np.arcsin(sine) if 0.0 < sine <= 1.0 else None


def _glide_slope_cone(axes: Axes3D, angle_deg: float, apex: Array, box: Box) -> None:
    """The glide-slope surface as a wireframe about `apex`, cut to the view."""
    elevation = _elevation(angle_deg)
    if elevation is None:
        return
    top = box[2][1] - apex[2]
    azimuth = np.linspace(0.0, 2.0 * np.pi, 181)
    reach = 1.0 / np.tan(elevation)
    rings = [(apex[0] + h * reach * np.cos(azimuth), apex[1] + h * reach * np.sin(azimuth),
              np.full_like(azimuth, apex[2] + h)) for h in np.linspace(0.0, top, 7)[1:]]
    spokes = [(apex[0] + np.linspace(0.0, top * reach * np.cos(a), 50),
               apex[1] + np.linspace(0.0, top * reach * np.sin(a), 50),
               apex[2] + np.linspace(0.0, top, 50)) for a in np.linspace(0.0, 2.0 * np.pi, 12, endpoint=False)]
    label: str | None = f"glide slope {np.degrees(elevation):.3g}°"  # in the legend once
    for cx, cy, cz in rings + spokes:
        outside = (cx < box[0][0]) | (cx > box[0][1]) | (cy < box[1][0]) | (cy > box[1][1])
        axes.plot(np.where(outside, np.nan, cx), cy, cz, color="tab:orange", alpha=0.5,
                  linewidth=0.8, label=label)
        label = None


def _side_view(axes: Axes, nodes: Nodes, u: Array, target: Array | None, apex: Array, gamma: float) -> None:
    """Downrange (horizontal distance towards the landing point, along the
    line from the start's ground point) against height, with thrust vectors."""
    x, y, z = nodes["x"], nodes["y"], nodes["z"]
    ground = np.array([x[0] - x[-1], y[0] - y[-1]])
    norm = np.hypot(*ground)
    along = ground / norm if norm > 0 else np.array([1.0, 0.0])

    def downrange(px: npt.ArrayLike, py: npt.ArrayLike) -> Any:  # a scalar for a point, an array for arrays
        return (np.asarray(px) - x[-1]) * along[0] + (np.asarray(py) - y[-1]) * along[1]

    d = downrange(x, y)
    shown_d = np.append(d, [] if target is None else [downrange(target[0], target[1])])
    shown_z = np.append(z, [] if target is None else [target[2]])
    # The view spans the path and the target, each axis on its own scale
    # (a steep descent drawn to one scale is a line along the panel's edge;
    # the 3-D view beside it keeps one scale).
    span_d = max(float(np.ptp(shown_d)), 0.02 * float(np.ptp(shown_z)), 1.0)
    span_z = max(float(np.ptp(shown_z)), 1.0)
    xlim = (float(shown_d.min()) - 0.12 * span_d, float(shown_d.max()) + 0.12 * span_d)
    ylim = (float(shown_z.min()) - 0.08 * span_z, float(shown_z.max()) + 0.12 * span_z)
    span = max(span_d, span_z)
    axes.plot(d, z, color=PATH, marker=".", markersize=3, label="path")
    # Arrows on the screen: their directions the thrust's whatever the
    # axes' scales, their lengths in proportion to it, the largest 0.8 in.
    step = max(len(d) // ARROWS, 1)
    thrust = np.column_stack((u[:, :2] @ along, u[:, 2]))
    thrust *= (nodes["thrust"] / np.maximum(np.linalg.norm(u, axis=1), 1e-300))[:, None]
    largest = max(float(np.max(nodes["thrust"])), 1e-12)
    arrows = axes.quiver(d[::step], z[::step], thrust[::step, 0], thrust[::step, 1], angles="uv",
                         scale_units="inches", scale=largest / 0.8, color=THRUST, width=0.004, zorder=3,
                         label="thrust (true direction)")
    axes.quiverkey(arrows, 0.78, 0.06, largest, f"{largest:.0f} N", labelpos="E", coordinates="axes",
                   fontproperties={"size": "small"})
    axes.scatter(d[0], z[0], color="tab:green", s=40, zorder=3, label="start")
    axes.scatter(d[-1], z[-1], color="black", s=30, zorder=3, label="landing point")
    if target is not None:
        axes.scatter(downrange(target[0], target[1]), target[2], color=LIMIT, marker="x", s=60, zorder=3,
                     label="target")
    elevation = _elevation(gamma)
    if elevation is not None:
        # The cone's section in this plane, cut to the view.
        a = float(downrange(apex[0], apex[1]))
        side = np.linspace(xlim[0] - span, xlim[1] + span, 801)
        height = apex[2] + np.abs(side - a) * np.tan(elevation)
        height[height > ylim[1] + span] = np.nan
        axes.plot(side, height, color="tab:orange", alpha=0.8, linewidth=1, scalex=False, scaley=False,
                  label=f"glide slope {np.degrees(elevation):.3g}° (section)")
    axes.set_xlim(*xlim)
    axes.set_ylim(*ylim)
    axes.set_xlabel("downrange to the landing point (m)")
    axes.set_ylabel("height (m)")
    axes.grid(True, alpha=0.3)
    axes.legend(loc="best", fontsize="small")


def _limits(speed: Axes, thrust: Axes, angle: Axes, mass: Axes, nodes: Nodes, config: _vexal.Config,
            pointing_limit: float | None) -> None:
    spacecraft = config.spacecraft
    _limit_line(speed, nodes["speed"], spacecraft.max_velocity, "speed limit {:g} m/s")
    rated = spacecraft.real_max_thrust
    floor, ceiling = spacecraft.min_thrust_pct * rated, spacecraft.max_thrust_pct * rated
    thrust.axhline(ceiling, color=LIMIT, linestyle="--", linewidth=1.2,
                   label=f"throttle ceiling {ceiling:.0f} N ({100.0 * spacecraft.max_thrust_pct:.3g} %)")
    thrust.axhline(floor, color=FLOOR, linestyle=":", linewidth=1.5,
                   label=f"throttle floor {floor:.0f} N ({100.0 * spacecraft.min_thrust_pct:.3g} %)")
    # Both bounds inside the frame, never on its border.
    low, high = min(floor, float(np.min(nodes["thrust"]))), max(ceiling, float(np.max(nodes["thrust"])))
    room = 0.08 * max(high - low, 1e-9 * max(abs(high), 1.0))
    thrust.set_ylim(low - room, high + room)
    if pointing_limit is not None:
        angle.axhline(pointing_limit, color=LIMIT, linestyle="--", linewidth=1,
                      label=f"pointing limit {pointing_limit:g}°")
    _limit_line(mass, nodes["mass"], spacecraft.wet_mass - spacecraft.fuel, "dry mass {:g} kg")


def _limit_line(axes: Axes, data: Array, limit: float, label: str) -> None:
    """A dashed line at `limit`; one far from the data is named in the legend
    but left off the scale, so the curve keeps its detail."""
    low, high = float(np.min(data)), float(np.max(data))
    margin = max(high - low, 1e-9 * max(abs(high), 1.0))
    label = label.format(limit)
    if not low - 3.0 * margin <= limit <= high + 3.0 * margin:
        axes.set_ylim(low - 0.1 * margin, high + 0.1 * margin)
        label += " (off scale)"
    axes.axhline(limit, color=LIMIT, linestyle="--", linewidth=1, label=label)


def plot_final_mass(records: Sequence[CaseResult], nearest: bool = False,
                    fuel_budget: float | None = None) -> Figure:
    """Histograms over the successful cases of a study: fuel used (with the
    `fuel_budget`, kg, marked), and with `nearest` (a study of nearest
    landings) the landing error beside it."""
    done = [r for r in records if r.ok]
    failed = len(records) - len(done)
    fig, all_axes = plt.subplots(1, 2 if nearest else 1, figsize=(12 if nearest else 7, 4.5),
                                 layout="constrained", squeeze=False)
    shown = [("fuel_used", "fuel used (kg)", "kg")]
    if nearest:
        shown.append(("landing_error", "landing error (m)", "m"))
    for axes, (name, label, unit) in zip(all_axes[0], shown, strict=True):
        values = [getattr(r, name) for r in done]
        low, high = (min(values), max(values)) if values else (0.0, 1.0)
        if high - low < 1e-9 * max(1.0, abs(high)):  # all alike: one bar, with room around it
            pad = max(1e-3, 0.01 * abs(high))
            axes.hist(values, bins=1, range=(low - pad, high + pad), color=PATH, edgecolor="white")
            axes.set_xlim(low - 10 * pad, high + 10 * pad)
        else:
            axes.hist(values, bins="auto", color=PATH, edgecolor="white")
        axes.set_xlabel(label)
        axes.set_ylabel("cases")
        axes.yaxis.set_major_locator(MaxNLocator(integer=True))
        if values:
            mean = float(np.mean(values))
            axes.axvline(mean, color=LIMIT, linestyle="--", label=f"mean {mean:.1f} {unit}")
        if name == "fuel_used" and fuel_budget is not None:
            left, right = axes.get_xlim()
            if left <= fuel_budget <= right:
                axes.axvline(fuel_budget, color="black", linewidth=1.5, label=f"fuel budget {fuel_budget:.1f} kg")
            else:  # far from the cases: named, not drawn, so the bars stay readable
                axes.plot([], [], color="black", linewidth=1.5, label=f"fuel budget {fuel_budget:.1f} kg (off scale)")
        if values or fuel_budget is not None:
            axes.legend()
        axes.grid(True, alpha=0.3)
    title = f"Fuel used over {len(done)} planned cases"
    if failed:
        title += f" ({failed} failed)"
    if nearest:
        title += f", {sum(r.on_target for r in records)} on target"
    all_axes[0][0].set_title(title)
    return fig


def plot_flight(flight: Flight) -> Figure:
    """The flown descent against the plan made at ignition: height over
    the horizontal distance from the target, and speed (left axis) and
    thrust (right axis) over time, with the re-plans marked."""
    fig, (side, timeline) = plt.subplots(1, 2, figsize=(12, 5))
    target = np.asarray(flight.config.spacecraft.target_position)
    flown = np.hypot(flight.positions[:, 0] - target[0], flight.positions[:, 1] - target[1])
    plan = flight.first_plan_positions
    side.plot(np.hypot(plan[:, 0] - target[0], plan[:, 1] - target[1]), plan[:, 2], "o", ms=3,
              color="0.6", label="first plan (nodes)")
    side.plot(flown, flight.positions[:, 2], color="C0", label="flown")
    at = np.searchsorted(flight.time_points, [p["t"] for p in flight.plans[1:]])
    at = at[at < len(flown)]
    side.plot(flown[at], flight.positions[at, 2], "x", color="C3", label="re-plans")
    side.set_xlabel("horizontal distance from the target (m)")
    side.set_ylabel("height (m)")
    side.legend()
    timeline.plot(flight.time_points, np.linalg.norm(flight.velocities, axis=1), color="C0", label="speed")
    timeline.set_ylabel("speed (m/s)", color="C0")
    thrust = timeline.twinx()
    thrust.plot(flight.time_points, flight.thrusts / 1000.0, color="C1", label="thrust")
    thrust.set_ylabel("thrust (kN)", color="C1")
    for k, t in enumerate(flight.time_points[at]):
        timeline.axvline(t, color="C3", lw=0.5, alpha=0.5, label="re-plans" if k == 0 else None)
    timeline.set_xlabel("time (s)")
    lines, labels = timeline.get_legend_handles_labels()
    more, more_labels = thrust.get_legend_handles_labels()
    timeline.legend(lines + more, labels + more_labels, loc="upper right")
    f = flight.summary()
    if flight.touchdown is not None:
        d = flight.touchdown
        how = (f"{d.miss:.2f} m from the target at {d.vertical_speed:.2f} m/s down, "
               f"{d.horizontal_speed:.2f} m/s across")
    elif f["end_time"] is not None:
        how = f"still {f['end_height']:.1f} m up at {f['end_time']:.1f} s"
    else:
        how = flight.message
    fuel = f", {f['fuel_used']:.1f} kg of fuel" if f["fuel_used"] is not None else ""
    fig.suptitle(f"{flight.outcome}: {how}{fuel}, {f['replans']} re-plans")
    fig.tight_layout()
    return fig


# The 99 % ellipse of a two-dimensional normal: the square root of the
# chi-square quantile with two degrees of freedom, -2 ln(0.01).
SIGMAS_99: float = math.sqrt(-2.0 * math.log(0.01))


def histogram_bins(count: int) -> int:
    """Bins for a histogram of `count` values: the square root, from 5 to 50."""
    return max(5, min(50, round(math.sqrt(max(count, 1)))))


def plot_landing_dispersion(records: Sequence[Any], target: Sequence[float] = (0.0, 0.0),
                            limits: Mapping[str, float | None] | None = None) -> Figure:
    """A closed-loop study's flights (`FlightResult`s): the touchdown points
    on the ground plane about the target, landed and hard landings apart,
    with the 1-sigma, 3-sigma and 99 % ellipses of their covariance (and the
    miss radius, if a limit), and histograms of the touchdown's vertical and
    horizontal speeds with their limits marked, and of the fuel left. Flights
    that never touched down are counted in the title."""
    limits = dict(limits or {"vertical_speed": 2.0, "horizontal_speed": 1.0, "miss_radius": None})
    flown = [r for r in records if r.ok]
    down = [r for r in flown if r.touched_down]
    points = np.array([[r.touchdown_x, r.touchdown_y] for r in down], dtype=float).reshape(-1, 2)
    points -= np.asarray(target[:2], dtype=float)
    landed = np.array([r.landed for r in down], dtype=bool)
    fig, (scatter, vertical, horizontal, fuel) = plt.subplots(1, 4, figsize=(19, 4.8))
    scatter.plot(points[landed, 0], points[landed, 1], ".", ms=3, alpha=0.6, color="C0",
                 label=f"landed ({int(landed.sum())})")
    if (~landed).any():
        scatter.plot(points[~landed, 0], points[~landed, 1], "x", ms=4, color="C3",
                     label=f"hard landings ({int((~landed).sum())})")
    scatter.plot([0.0], [0.0], "k+", ms=12, mew=2, label="target")
    angle = np.linspace(0.0, 2.0 * np.pi, 200)
    circle = np.stack([np.cos(angle), np.sin(angle)])
    if len(points) > 2:
        centre = points.mean(axis=0)
        values, vectors = np.linalg.eigh(np.cov(points.T))
        for k, style, label in ((1.0, "-", "1 sigma"), (3.0, "--", "3 sigma"), (SIGMAS_99, ":", "99 %")):
            ring = centre[:, None] + vectors @ (k * np.sqrt(np.maximum(values, 0.0))[:, None] * circle)
            scatter.plot(ring[0], ring[1], style, color="C3", label=label)
    if limits.get("miss_radius"):
        radius = float(cast(float, limits["miss_radius"]))
        scatter.plot(radius * circle[0], radius * circle[1], color="k", lw=0.8, label="miss radius")
    scatter.set_aspect("equal", adjustable="datalim")
    scatter.set_xlabel("x from the target (m)")
    scatter.set_ylabel("y from the target (m)")
    scatter.legend(loc="best")
    bins = histogram_bins(len(down))
    for axes, name, what in ((vertical, "vertical_speed", "touchdown vertical speed (m/s, down)"),
                             (horizontal, "horizontal_speed", "touchdown horizontal speed (m/s)")):
        axes.hist([getattr(r, name) for r in down], bins=bins, color="C1")
        axes.axvline(cast(float, limits[name]), color="C3", ls="--", label=f"limit {limits[name]:g} m/s")
        axes.set_xlabel(what)
        axes.legend(loc="upper right")
    fuel.hist([r.fuel_margin for r in flown], bins=histogram_bins(len(flown)), color="C2")
    fuel.set_xlabel("fuel left at the end (kg)")
    for axes in (vertical, horizontal, fuel):
        axes.set_ylabel("flights")
    never = sum(r.status == "time_limit" for r in flown)
    failed = len(records) - len(flown)
    fig.suptitle(f"{len(records)} flights: {int(landed.sum())} landed, {int((~landed).sum())} hard landings"
                 + (f", {never} never touched down" if never else "") + (f", {failed} could not fly" if failed else ""))
    fig.tight_layout()
    return fig


def figure_format(path: str) -> str:
    """The image format a path's suffix names (PNG without one); a
    ValueError, before any work, for one matplotlib cannot write."""
    suffix = os.path.splitext(path)[1][1:].lower() or "png"
    formats = Figure().canvas.get_supported_filetypes()
    if suffix not in formats:
        raise ValueError(f"{path}: cannot write a figure as .{suffix}; "
                         f"use one of {', '.join('.' + f for f in sorted(formats))}")
    return suffix


def save(fig: Figure, path: str) -> None:
    """Writes the figure to `path` (format from its suffix, PNG without one),
    atomically, and releases it."""
    try:
        with replacing(path, binary=True) as file:
            fig.savefig(file, format=figure_format(path), dpi=100)
    finally:
        plt.close(fig)
