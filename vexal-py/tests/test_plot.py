import os
import subprocess
import sys

import matplotlib.pyplot as plt
import pytest
from conftest import run_python, small_config

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
    path, throttle, mass, speed = fig.axes
    assert path.name == "3d"
    assert [a.get_ylabel() for a in (throttle, mass, speed)] == [
        "throttle (% of rated)", "mass (kg)", "speed (m/s)"]
    assert speed.get_xlabel() == "time (s)"
    return path, throttle, mass, speed


@pytest.mark.parametrize("angle, cone", [(0.0, False), (20.0, True), (160.0, True)])
def test_descent_figure_with_configuration(monkeypatch, angle, cone):
    monkeypatch.setattr(plt, "show", lambda *a, **k: pytest.fail("plot must not show"))
    config = small_config(n=12, time_of_flight=45.0)
    config.environment = _vexal.Environment(glide_slope_angle_deg=angle)
    t = _vexal.solve(config)
    fig = vexal.plot(t, config)
    path, throttle, mass, speed = panels(fig)

    line = path.get_lines()[0]
    x, y, z = line.get_data_3d()
    assert line.get_label() == "path" and list(z) == list(t.positions[:, 2])
    legend = [text.get_text() for text in path.get_legend().get_texts()]
    assert legend[:4] == ["path", "ground track", "start", "landing site"]
    assert legend[4:] == ([f"glide slope {20.0:g}°"] if cone else [])

    assert labels(throttle) == ["throttle", "min throttle 20 %", "max throttle 80 %"]
    assert [l.get_ydata()[0] for l in throttle.get_lines()[1:]] == pytest.approx([20.0, 80.0])
    assert list(throttle.get_lines()[0].get_xdata()) == list(t.time_points)
    assert labels(mass) == ["mass", "dry mass 300 kg (off scale)"]
    # The speed limit of 1000 m/s is far above a descent at tens of m/s:
    # named, but the scale stays on the curve.
    assert labels(speed) == ["speed", "speed limit 1000 m/s (off scale)"]
    assert speed.get_ylim()[1] < 200.0
    assert "Solved" in fig._suptitle.get_text() and "45.0 s" in fig._suptitle.get_text()


def test_limit_near_the_data_stays_on_scale():
    config = small_config(n=12, time_of_flight=45.0)
    spacecraft = config.spacecraft
    spacecraft.max_velocity = 90.0
    config.spacecraft = spacecraft
    speed = panels(vexal.plot(_vexal.solve(config), config))[3]
    assert labels(speed) == ["speed", "speed limit 90 m/s"]
    assert speed.get_ylim()[1] > 90.0


def test_descent_figure_without_configuration(trajectory):
    path, throttle, mass, speed = panels(vexal.plot(trajectory))
    assert [labels(a) for a in (throttle, mass, speed)] == [["throttle"], ["mass"], ["speed"]]
    assert not any(label.startswith("glide slope") for label in labels(path))


def test_final_mass_histogram():
    from vexal.plotting import plot_final_mass

    records = [CaseResult("Solved", final_mass=m) for m in (1790.0, 1795.0, 1801.0, 1801.5)]
    records.append(CaseResult("error", error="solver status: PrimalInfeasible"))
    axes = plot_final_mass(records).axes[0]
    assert sum(patch.get_height() for patch in axes.patches) == 4
    assert axes.get_title() == "Final mass over 4 planned cases (1 failed)"
    assert axes.get_xlabel() == "final mass (kg)"


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
