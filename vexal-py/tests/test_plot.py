import os
import subprocess
import sys

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest
from conftest import run_python, small_config
from mpl_toolkits.mplot3d import proj3d

import _vexal
import vexal
from vexal import CaseResult


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def labels(axes):
    return [line.get_label() for line in axes.get_lines()]


def panels(fig):
    path, side, height, speed, thrust, angle, mass = fig.axes
    assert path.name == "3d"
    assert side.get_xlabel() == "downrange to the landing point (m)" and side.get_ylabel() == "height (m)"
    assert [a.get_ylabel() for a in (height, speed, thrust, angle, mass)] == [
        "height (m)", "speed (m/s)", "thrust (N)", "thrust angle (deg)", "mass (kg)"]
    # x and y increase to the right in the 3-D view, as a reader expects.
    path.figure.canvas.draw()
    projected = [proj3d.proj_transform(*corner, path.get_proj())[0]
                 for corner in ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))]
    assert projected[1] > projected[0] and projected[2] > projected[0]
    assert mass.get_xlabel() == "time (s)"
    return path, side, speed, thrust, angle, mass


def legend(axes):
    return [text.get_text() for text in axes.get_legend().get_texts()]


@pytest.mark.parametrize("angle, cone", [(0.0, False), (20.0, True), (160.0, True)])
def test_descent_figure_with_configuration(monkeypatch, angle, cone):
    monkeypatch.setattr(plt, "show", lambda *a, **k: pytest.fail("plot must not show"))
    config = small_config(n=12, time_of_flight=45.0)
    config.environment = _vexal.Environment(glide_slope_angle_deg=angle)
    t = _vexal.solve(config)
    fig = vexal.plot(t, config)
    path, side, speed, thrust, angle_axes, mass = panels(fig)

    line = path.get_lines()[0]
    x, y, z = line.get_data_3d()
    assert line.get_label() == "path" and list(z) == list(t.positions[:, 2])
    assert legend(path) == ["path", "ground track", "start", "landing point", "target"] + (
        [f"glide slope {20.0:g}°"] if cone else [])
    # One scale on the three axes of the 3-D view.
    spans = [b - a for a, b in (path.get_xlim(), path.get_ylim(), path.get_zlim())]
    assert spans == pytest.approx([spans[0]] * 3)
    assert legend(side)[:5] == ["path", "thrust (true direction)", "start", "landing point", "target"]
    assert side.get_lines()[0].get_ydata().tolist() == list(t.positions[:, 2])
    # The side view spans the path (and the target at the origin), not a square about it.
    downrange = side.get_lines()[0].get_xdata()
    assert np.ptp(side.get_xlim()) < 1.5 * max(np.ptp(downrange), downrange.max())

    assert labels(thrust) == ["thrust", "throttle ceiling 19200 N (80 %)", "throttle floor 4800 N (20 %)"]
    floor, ceiling = thrust.get_lines()[2], thrust.get_lines()[1]
    assert (floor.get_linestyle(), floor.get_color()) != (ceiling.get_linestyle(), ceiling.get_color())
    assert thrust.get_ylim()[0] < 4800.0 and thrust.get_ylim()[1] > 19200.0  # neither bound on the border
    assert list(thrust.get_lines()[0].get_xdata()) == list(t.time_points)
    assert thrust.get_xlim() == (0.0, t.time_points[-1])  # ends at touchdown
    assert labels(angle_axes) == ["thrust angle from vertical"]  # _vexal.solve imposes no limit
    assert labels(mass) == ["mass", "dry mass 300 kg (off scale)"]
    # The speed limit of 1000 m/s is far above a descent at tens of m/s:
    # named, but the scale stays on the curve.
    assert labels(speed) == ["speed", "speed limit 1000 m/s (off scale)"]
    assert speed.get_ylim()[1] < 200.0
    title = fig._suptitle.get_text()
    assert "Solved" in title and "horizon 45.00 s" in title and f"touchdown at {t.time_points[-1]:.2f} s" in title


def test_plan_figure_shows_the_pointing_limit_and_the_nearest_landing():
    plan = vexal.plan(n=20, time_of_flight=40.0, pointing=True, max_angle_deg=30.0, landing="nearest",
                      initial_position=[3000.0, 200.0, 400.0], glide_slope_angle_deg=10.0)
    fig = vexal.plot(plan, plan.config)
    path, side, speed, thrust, angle, mass = panels(fig)
    assert labels(angle) == ["thrust angle from vertical", "pointing limit 30°"]
    assert "landing error" in fig._suptitle.get_text()
    # The cone's section stands on the landing point, not on the target.
    section = side.get_lines()[-1]
    lowest = np.nanargmin(section.get_ydata())
    assert section.get_xdata()[lowest] == pytest.approx(0.0, abs=10.0)


def test_limit_near_the_data_stays_on_scale():
    config = small_config(n=12, time_of_flight=45.0)
    spacecraft = config.spacecraft
    spacecraft.max_velocity = 90.0
    config.spacecraft = spacecraft
    speed = panels(vexal.plot(_vexal.solve(config), config))[2]
    assert labels(speed) == ["speed", "speed limit 90 m/s"]
    assert speed.get_ylim()[1] > 90.0


def test_descent_figure_without_configuration(trajectory):
    path, side, speed, thrust, angle, mass = panels(vexal.plot(trajectory))
    assert [labels(a) for a in (speed, thrust, angle, mass)] == [
        ["speed"], ["thrust"], ["thrust angle from vertical"], ["mass"]]
    assert not any(label.startswith("glide slope") for label in labels(path))


@pytest.mark.parametrize("nearest", [False, True])
def test_study_histograms(nearest):
    from vexal.plotting import plot_final_mass

    records = [CaseResult("Solved", final_mass=2000.0 - f, fuel_used=f, landing_error=e)
               for f, e in ((210.0, 0.0), (205.0, 0.0), (199.0, 30.0), (198.5, 0.001))]
    records.append(CaseResult("error", error="solver status: PrimalInfeasible"))
    fig = plot_final_mass(records, nearest=nearest)
    assert len(fig.axes) == (2 if nearest else 1)
    for axes in fig.axes:
        assert sum(patch.get_height() for patch in axes.patches) == 4
    assert [a.get_xlabel() for a in fig.axes] == ["fuel used (kg)", "landing error (m)"][:len(fig.axes)]
    title = "Fuel used over 4 planned cases (1 failed)"
    assert fig.axes[0].get_title() == title + (", 3 on target" if nearest else "")


def test_figure_shows_once_in_jupyter(monkeypatch):
    # The inline backend shows every open pyplot figure after a cell, and the
    # returned figure again as its value: the figure must not stay open.
    monkeypatch.setattr(matplotlib, "get_backend", lambda: "module://matplotlib_inline.backend_inline")
    fig = vexal.plot(_vexal.solve(small_config(n=8)))
    assert fig.number not in plt.get_fignums()


@pytest.mark.parametrize("environment, backend", [({}, "agg"), ({"MPLBACKEND": "svg"}, "svg")])
def test_backend_without_a_display(environment, backend):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "MPLBACKEND")}
    result = subprocess.run(
        [sys.executable, "-c", "import vexal.plotting, matplotlib; print(matplotlib.get_backend().lower())"],
        env={**env, **environment}, capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == backend, result.stderr


def test_importing_the_package_leaves_matplotlib_alone():
    result = run_python("import sys, vexal; print('matplotlib' in sys.modules)")
    assert result.stdout.strip() == "False", result.stderr


def test_landing_dispersion_ellipses_hold_the_scatter():
    from vexal.plotting import plot_landing_dispersion

    rng = np.random.default_rng(1)
    points = rng.normal([3.0, -1.0], [4.0, 1.0], size=(400, 2))
    flights = [vexal.FlightResult("hard_landing" if k % 40 == 0 else "landed", touchdown_x=x, touchdown_y=y,
                                  vertical_speed=1.0, horizontal_speed=0.5, fuel_margin=5.0)
               for k, (x, y) in enumerate(points)]
    flights += [vexal.FlightResult("error", "no plan"), vexal.FlightResult("time_limit", fuel_margin=0.0)]
    fig = plot_landing_dispersion(flights, target=(1.0, 1.0), limits={"vertical_speed": 2.0,
                                                                      "horizontal_speed": 0.4, "miss_radius": 5.0})
    scatter = fig.axes[0]
    rings = {line.get_label(): line.get_xydata() for line in scatter.lines}
    landed = [k % 40 != 0 for k in range(400)]
    assert np.allclose(rings["landed (390)"], (points - [1.0, 1.0])[landed])
    assert len(rings["hard landings (10)"]) == 10 and "miss radius" in rings
    # The 3-sigma and 99 % ellipses are 3 and 3.03 times the 1-sigma one about the mean, and wider along x.
    centre = (points - [1.0, 1.0]).mean(axis=0)
    one, three, most = rings["1 sigma"] - centre, rings["3 sigma"] - centre, rings["99 %"] - centre
    assert np.allclose(three, 3.0 * one) and np.allclose(most, 3.0349 * one, rtol=1e-4)
    assert np.ptp(one[:, 0]) / np.ptp(one[:, 1]) == pytest.approx(4.0, rel=0.15)
    # The speeds of the flights that touched down, the fuel of every one that flew; the limits marked.
    assert [sum(p.get_height() for p in axes.patches) for axes in fig.axes[1:]] == [400, 400, 401]
    assert [len(axes.patches) for axes in fig.axes[1:]] == [20, 20, 20]
    assert [line.get_xdata()[0] for axes in fig.axes[1:3] for line in axes.lines] == [2.0, 0.4]
