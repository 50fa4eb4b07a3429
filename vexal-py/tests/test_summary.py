import json
import re

import numpy as np
import pytest
from conftest import small_config

import _vexal
from vexal import format_summary, node_table, summary, time_of_flight
from vexal.trajectory import to_json


@pytest.mark.parametrize("n, solver, expected", [
    (10, {"time_of_flight": 47.5}, 47.5),
    # A one-point bracket: the search can only choose its end.
    (10, {"time_of_flight": None, "tof_min": 52.25, "tof_max": 52.25}, 52.25),
    (3, {"time_of_flight": None, "tof_min": 61.7, "tof_max": 61.7}, 61.7),
    # One node, at rest on the target: only a fixed horizon is known.
    (1, {"time_of_flight": 10.0}, 10.0),
    (1, {"time_of_flight": None, "tof_min": 10.0, "tof_max": 10.0}, None),
])
def test_time_of_flight(n, solver, expected):
    config = small_config(n=n, **solver)
    if n == 1:
        spacecraft = config.spacecraft
        spacecraft.initial_position = spacecraft.initial_velocity = [0.0, 0.0, 0.0]
        config.spacecraft = spacecraft
    found = time_of_flight(_vexal.solve(config), config)
    assert found == pytest.approx(expected, rel=1e-14) if expected else found is None


def test_node_table_describes_the_descent(trajectory):
    config = small_config()
    table = node_table(trajectory)
    assert list(table) == ["time", "x", "y", "z", "vx", "vy", "vz", "speed", "ux", "uy", "uz",
                           "thrust", "throttle", "mass", "log_mass", "slack"]
    assert all(len(column) == 10 for column in table.values())
    start, target = config.spacecraft.initial_position, config.spacecraft.target_position
    assert [table[a][0] for a in "xyz"] == pytest.approx(start)
    assert [table[a][-1] for a in "xyz"] == pytest.approx(target, abs=1e-6)
    assert table["speed"][0] == pytest.approx(np.linalg.norm(config.spacecraft.initial_velocity))
    assert table["mass"][0] == pytest.approx(config.spacecraft.wet_mass)
    assert table["mass"][-1] == pytest.approx(trajectory.final_mass)
    assert np.all(np.diff(table["mass"]) < 0.0)


def test_summary_figures_and_layout(trajectory):
    config = small_config()
    figures = summary(trajectory, config)
    assert figures["fuel_used"] == pytest.approx(2000.0 - trajectory.final_mass)
    assert 0.2 - 1e-6 <= figures["peak_throttle"] <= 0.8 + 1e-6
    lines = format_summary(trajectory, config).splitlines()
    labels = ["status", "time of flight", "final mass", "fuel used", "peak throttle"]
    width = max(map(len, labels)) + 2
    assert [line[:width].rstrip() for line in lines] == labels
    # Values right-aligned in one column, units after them.
    assert len({re.match(r" *\S+", line[width:]).end() for line in lines}) == 1
    assert lines[1].endswith(" 50.000 s") and lines[3].endswith(f" {figures['fuel_used']:.3f} kg")


def test_json_holds_the_trajectory_and_its_configuration(trajectory):
    config = small_config()
    document = json.loads(to_json(trajectory, config))
    assert np.array_equal(document["positions"], trajectory.positions)
    assert document["final_mass"] == trajectory.final_mass and document["status"] == trajectory.status
    assert document["time_of_flight"] == 50.0
    assert _vexal.Config.from_json(json.dumps(document["config"])).to_json() == config.to_json()
