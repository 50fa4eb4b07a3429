import contextlib
import csv
import importlib.metadata
import io
import itertools
import json
import os
import pathlib
import pty
import random
import re
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from conftest import UNREADABLE_CONFIGS, lay_config, run_python, small_config
from matplotlib.figure import Figure

import _vexal
import vexal
from vexal.outputs import replacing

PNG = b"\x89PNG\r\n\x1a\n"
FIXED = '{"solver": {"time_of_flight": 45.0}}'
FIGURE_FORMATS = ", ".join("." + f for f in sorted(Figure().canvas.get_supported_filetypes()))


def vexal_cli(*args, cwd=None, stdin=None, timeout=300):
    return subprocess.run([sys.executable, "-m", "vexal", *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=timeout)


def message_of(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def succeeded(result):
    assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
    return result.stdout


README = pathlib.Path(__file__).parents[2] / "README.md"
# Lines of an output that hold a wall time: their figures are not compared.
WALL_TIME = re.compile(r"^(longest plan\s+)\S+( s)$", re.MULTILINE)


def readme_blocks():
    """The README's fenced blocks, as (language, text)."""
    return re.findall(r"^```(\w*)\n(.*?)^```$", README.read_text(), re.MULTILINE | re.DOTALL)


def test_the_readme_runs_as_it_stands(tmp_path):
    """Every command of the README, run as written, prints what the README
    shows: each python block the text block after it, each console
    command the lines after it. The sh blocks only install (scripts/test
    installs the wheel and the source build)."""
    blocks = readme_blocks()
    assert {language for language, _ in blocks} == {"python", "text", "console", "sh"}
    for language, text in blocks:
        if language == "sh":
            assert all(line.startswith(("python3 -m venv", "pip install")) for line in text.splitlines()), text
    for (language, code), (after, shown) in itertools.pairwise(blocks):
        if language == "python":
            assert after == "text"
            result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                                    timeout=300)
            assert (result.returncode, result.stdout) == (0, shown), result.stderr
    for language, text in blocks:
        if language != "console":
            continue
        for command, shown in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text, re.MULTILINE):
            words = command.split()
            assert words[0] == "vexal", command
            result = vexal_cli(*words[1:], cwd=tmp_path)
            printed = WALL_TIME.sub(r"\1\2", result.stdout + result.stderr)
            assert printed == WALL_TIME.sub(r"\1\2", shown), f"the README's output of `{command}` is not what it prints"


def test_installed_beside_the_module_with_a_console_script():
    assert pathlib.Path(vexal.__file__).parent.parent == pathlib.Path(_vexal.__file__).parent
    (script,) = importlib.metadata.entry_points(group="console_scripts", name="vexal")
    assert script.load() is vexal.cli.main


def test_config_prints_the_default_configuration():
    assert succeeded(vexal_cli("config")) == _vexal.Config().to_json() + "\n"


def test_plan_default_configuration_searches():
    lines = succeeded(vexal_cli("plan", "--n", 10)).splitlines()
    assert [line.split("  ")[0] for line in lines] == [
        "status", "time of flight", "touchdown time", "final mass", "fuel used", "peak throttle",
        "largest thrust angle", "landing error", "solves"]
    assert lines[3].split()[-2] == f"{vexal.plan(n=10).final_mass:.3f}"
    assert lines[6].endswith("deg from vertical (limit 90)") and float(lines[6].split()[3]) <= 90.0
    assert lines[8].split()[1:] == [str(vexal.plan(n=10).solves), "(fast", "search)"]
    # Without the limit, the exact module's plan.
    free = succeeded(vexal_cli("plan", "--n", 10, "--no-pointing")).splitlines()
    assert free[3].split()[-2] == f"{_vexal.solve(_vexal.Config(solver=_vexal.Solver(n=10))).final_mass:.3f}"


@pytest.mark.parametrize("args, fields", [
    (["--search", "fast", "--bracket", "20", "90"], {"solver": {"tof_min": 20.0, "tof_max": 90.0}}),
    (["--pointing", "--max-angle", "25", "--nearest", "--tof", "70"], {"environment": {"max_angle_deg": 25.0}}),
    (["--glide-slope", "10", "--wet-mass", "2100", "--fuel", "1500", "--throttle", "0.3", "0.9", "--tof", "50"],
     {"environment": {"glide_slope_angle_deg": 10.0},
      "spacecraft": {"wet_mass": 2100.0, "fuel": 1500.0, "min_thrust_pct": 0.3, "max_thrust_pct": 0.9}}),
    (["--isp", "225", "--tof", "50"], {"spacecraft": {"fuel_consumption": 1.0 / (225.0 * 9.80665)}}),
    (["--rotation=-1e-3,0,2e-3", "--tof", "50"], {}),
    (["--nearest", "--landing-tolerance", "0.5", "--bracket", "20", "90"], {}),
])
def test_flags_reach_the_configuration(args, fields):
    out = succeeded(vexal_cli("plan", "--n", 10, "--json", "-", *args))
    document = json.loads(out)
    for record, values in fields.items():
        assert {k: document["config"][record][k] for k in values} == values
    if "fast" in args:
        assert document["solves"] < 20
    assert document["rotation"] == ([-1e-3, 0.0, 2e-3] if "--rotation=-1e-3,0,2e-3" in args else None)
    assert document["landing_tolerance"] == (0.5 if "--landing-tolerance" in args else None)
    if "--pointing" in args:
        assert document["pointing_limit_deg"] == 25.0 and document["max_pointing_angle_deg"] <= 25.0 + 1e-4
        assert document["landing"] == "nearest" and document["solves"] == 2


def test_plan_nearest_landing_summary(tmp_path):
    args = ["--n", 20, "--glide-slope", 10, "--tof", 50, "--pointing", "--nearest"]
    config = _vexal.Config()
    spacecraft = config.spacecraft
    spacecraft.initial_position = [3000.0, 200.0, 400.0]
    config.spacecraft = spacecraft
    (tmp_path / "far.json").write_text(config.to_json())
    refused = vexal_cli("plan", "far.json", *args[:-1], cwd=tmp_path)
    assert refused.returncode == 1 and "outside the glide-slope cone" in refused.stderr
    lines = succeeded(vexal_cli("plan", "far.json", *args, "--plot", "far.png", cwd=tmp_path)).splitlines()
    expected = vexal.plan(config, n=20, glide_slope_angle_deg=10.0, time_of_flight=50.0, pointing=True,
                          landing="nearest")
    assert lines[6].split()[3:] == [f"{expected.max_pointing_angle_deg:.2f}", "deg", "from", "vertical",
                                    "(limit", "90)"]
    assert lines[7].split()[2:] == [f"{expected.landing_error:.3f}", "m", "(nearest", "landing)"]
    assert lines[9:] == [f"warning: the target is out of reach; the nearest landing is {expected.landing_error:.3f} m "
                         "from it"] and expected.landing_error > 1.0
    assert (tmp_path / "far.png").read_bytes().startswith(PNG)


def test_version():
    assert succeeded(vexal_cli("--version")) == f"vexal {vexal.__version__}\n"


def test_plan_a_file_with_every_output(tmp_path):
    config = small_config(n=12, time_of_flight=45.0)
    (tmp_path / "descent.json").write_text(config.to_json())
    out = succeeded(vexal_cli("plan", "descent.json", "--csv", "nodes.csv", "--json", "descent.out.json",
                              "--plot", "descent.png", cwd=tmp_path))
    expected = vexal.plan(config)
    assert expected.format_summary() + "\n" == out

    rows = list(csv.DictReader((tmp_path / "nodes.csv").open()))
    assert len(rows) == 12 and list(rows[0]) == list(expected.node_table())
    assert [float(r["time"]) for r in rows] == list(expected.time_points)
    assert float(rows[-1]["mass"]) == pytest.approx(expected.final_mass)

    document = json.loads((tmp_path / "descent.out.json").read_text())
    assert document["final_mass"] == expected.final_mass and document["time_of_flight"] == 45.0
    assert (tmp_path / "descent.png").read_bytes().startswith(PNG)


@pytest.mark.parametrize("args, override", [
    (["--tof", "45"], {"time_of_flight": 45.0}),
    (["--n", "8", "--tof", "60.5"], {"n": 8, "time_of_flight": 60.5}),
])
def test_overrides_from_stdin(args, override):
    config = small_config(n=12, time_of_flight=None)
    out = succeeded(vexal_cli("plan", "-", "--json", "-", *args, stdin=config.to_json()))
    document = json.loads(out)
    assert {k: document["config"]["solver"][k] for k in override} == override


# A malformed file, and the field a wrong type is named by.
MALFORMED = [
    ("", ""), ('{"spacecraft": {"wet_mass": 2000,}}', ""), ("[1, 2, 3, 4]", ""),
    ('{"solver": {"n": 1.5}}', "solver.n: "), ('{"solver": {"n": 100, "tof_max": "90"}}', "solver.tof_max: "),
    ('{"spacecraft": {"wet_mass": 2000,\n  "fuel": "1500"}}', "spacecraft.fuel: "),
    ('{"environment": {"gravity": [0, -3.7]}}', "environment.gravity: "), ('{"solver": 100}', "solver: "),
]


@pytest.mark.parametrize("text, field", MALFORMED)
def test_malformed_file_reports_the_readers_message(tmp_path, text, field):
    (tmp_path / "bad.json").write_text(text)
    result = vexal_cli("plan", "bad.json", cwd=tmp_path)
    expected = message_of(lambda: _vexal.Config.from_json(text))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"vexal plan: error: bad.json: {field}{expected}\n"


@pytest.mark.parametrize("args, message", [
    (["plan", "missing.json"], "vexal plan: error: missing.json: No such file or directory"),
    (["plan", "--csv", "plan.json", "plan.json"],
     "vexal plan: error: plan.json: is the input file; choose another output"),
    (["study", "--csv", "cases.csv", "--hist", "plan.json/mass.png"],
     "vexal study: error: plan.json/mass.png: No such file or directory"),
    (["study", "--csv", "."], "vexal study: error: .: Is a directory"),
    (["study", "--resume"], "vexal study: error: --resume needs --csv OUT.csv, the table to continue"),
    (["plan", "--n", "10", "--tof", "5"], "vexal plan: error: no trajectory reaches the target in 5 s"),
    (["study", "missing.json"], "vexal study: error: missing.json: No such file or directory"),
    (["plan", "--n", "10", "--tof", "50", "--csv", "no/such/dir/nodes.csv"],
     "vexal plan: error: no/such/dir/nodes.csv: No such file or directory"),
    (["plan", "--throttle", "0.9", "0.5"],
     "vexal plan: error: spacecraft.min_thrust_pct (0.9) must not exceed spacecraft.max_thrust_pct (0.5)"),
    (["plan", "--n", "10", "--tof", "50", "--json", "/proc/plan.json"],
     "vexal plan: error: /proc/plan.json: No such file or directory"),
    (["plan", "plan.json", "--bracket", "20", "90"],
     "vexal plan: error: --bracket searches for the time of flight, but plan.json fixes it at 45 s; drop one of them"),
    (["plan", "--plot", "descent.txt"], f"vexal plan: error: descent.txt: cannot write a figure as .txt; use one of "
                                        f"{FIGURE_FORMATS}"),
    (["study", "--fuel", "2500"],
     "vexal study: error: spacecraft.fuel must be at least 0 and less than spacecraft.wet_mass (2000.0), got 2500.0"),
    (["study", "--closed-loop", "--nearest"], "vexal study: error: --nearest plans one descent; a flight under "
                                              "--closed-loop falls back to the nearest landing by itself"),
    (["plan", "--landing-tolerance", "1"], "vexal plan: error: --landing-tolerance is the nearest landing's; add "
                                           "--nearest"),
    (["study", "--nearest", "--landing-tolerance", "-1"],
     "vexal study: error: landing_tolerance must be a finite number of metres, at least 0, got -1.0"),
    (["study", "--closed-loop", "--search", "golden"],
     "vexal study: error: --closed-loop plans with the fast search; drop --search"),
    (["study", "--closed-loop", "--solver", "clarabel"],
     "vexal study: error: --closed-loop plans with the structured solver; drop --solver"),
    (["fly", "--thrust-bias", "5"], "vexal fly: error: errors.thrust_bias must be from -0.2 to 0.2, got 5.0"),
    (["fly", "--replan", "1e-9"],
     "vexal fly: error: replan_period must be 0 (no re-plans) or from 0.1 to 1e6 s, got 1e-9"),
    (["study", "--closed-loop", "--replan", "0.01"],
     "vexal study: error: replan_period must be 0 (no re-plans) or at least 0.1 s, got 0.01"),
])
def test_user_errors_exit_1_with_a_message(tmp_path, args, message):
    (tmp_path / "plan.json").write_text(FIXED)
    result = vexal_cli(*args, cwd=tmp_path)
    assert result.returncode == 1 and result.stderr == message + "\n"
    # Refused before any work: nothing written, the input intact.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plan.json"]
    assert (tmp_path / "plan.json").read_text() == FIXED


@pytest.mark.parametrize("text, unknown", [
    ('{"status": "Solved", "final_mass": 1800.0, "config": {}}', "status, final_mass, config"),
    ('{"solver": {"n": 20, "tof": 45}}', "solver.tof (did you mean solver.tof_min?)"),
    ('{"spacecraft": {"wetmass": 2000}, "enviroment": {}}',
     "enviroment (did you mean environment?), spacecraft.wetmass (did you mean spacecraft.wet_mass?)"),
])
def test_unknown_keys_are_refused(tmp_path, text, unknown):
    (tmp_path / "plan.json").write_text(text)
    result = vexal_cli("plan", "plan.json", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == f"vexal plan: error: plan.json: not configuration fields: {unknown}\n"


@pytest.mark.parametrize("command, name", [*(("plan", name) for name in UNREADABLE_CONFIGS), ("fly", "deep"),
                                           ("study", "array")])
def test_a_file_no_configuration_can_be_read_from_is_named(tmp_path, command, name):
    lay_config(tmp_path / "c.json", name)
    result = vexal_cli(command, "c.json", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, f"vexal {command}: error: c.json: {UNREADABLE_CONFIGS[name][1]}\n")


@pytest.mark.parametrize("args, said, kept", [
    (["plan", "--json", "plan.json"], "vexal plan: interrupted\n", []),
    (["study", "--cases", 4, "--executor", "threads", "--csv", "cases.csv"],
     "interrupted: 0 of 4 cases written to cases.csv; --resume to continue\n", ["cases.csv", "cases.csv.study.json"]),
    (["study", "--cases", 4, "--executor", "processes", "--csv", "cases.csv"],
     "interrupted: 0 of 4 cases written to cases.csv; --resume to continue\n", ["cases.csv", "cases.csv.study.json"]),
    (["fly", "--csv", "flight.csv"], "vexal fly: interrupted\n", []),
    (["study", "--closed-loop", "--cases", 4, "--executor", "threads", "--csv", "cases.csv"],
     "interrupted: 0 of 4 cases written to cases.csv; --resume to continue\n", ["cases.csv", "cases.csv.study.json"]),
])
def test_ctrl_c_stops_long_plans_promptly(tmp_path, args, said, kept):
    command, *rest = args
    child = subprocess.Popen([sys.executable, "-m", "vexal", command, "--n", "5000", *map(str, rest)], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2.0)  # well inside the planning, which takes minutes
    workers = workers_of(child.pid)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert (child.returncode, err) == (130, said)
    assert sorted(p.name for p in tmp_path.iterdir()) == kept
    assert [pid for pid in workers if running(pid)] == []


STUDY = ["study", "--n", 20, "--cases", 30, "--seed", 3, "--csv", "cases.csv"]


def start_study(tmp_path, *args):
    """A study in a child process, once it has written at least two rows."""
    child = subprocess.Popen([sys.executable, "-m", "vexal", *map(str, [*STUDY, *args])], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    part = tmp_path / "cases.csv.part"
    while not (part.exists() and part.read_text().count("\n") >= 3):
        assert child.poll() is None, child.communicate()
        time.sleep(0.05)
    return child, workers_of(child.pid)


def workers_of(pid):
    return pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()


def interrupt(child, number, tmp_path, code):
    """Stops a study; it says how many rows the table keeps and leaves no worker."""
    workers = workers_of(child.pid)
    child.send_signal(number)
    _, err = child.communicate(timeout=60)
    rows = (tmp_path / "cases.csv").read_text().splitlines()[1:]
    assert (child.returncode, err) == (code, f"interrupted: {len(rows)} of 30 cases written to cases.csv; "
                                             "--resume to continue\n")
    assert [int(row.split(",")[0]) for row in rows] == sorted({int(row.split(",")[0]) for row in rows})
    assert not (tmp_path / "cases.csv.part").exists()
    assert [pid for pid in workers if running(pid)] == []
    return len(rows)


def test_interrupted_study_resumed_twice_equals_an_uninterrupted_one(tmp_path):
    (tmp_path / "whole").mkdir()
    succeeded(vexal_cli(*STUDY, "--workers", 2, cwd=tmp_path / "whole"))
    whole = (tmp_path / "whole" / "cases.csv").read_bytes()

    child, _ = start_study(tmp_path, "--executor", "processes", "--workers", 2)
    first = interrupt(child, signal.SIGINT, tmp_path, 130)
    child, _ = start_study(tmp_path, "--resume", "--workers", 2)
    assert interrupt(child, signal.SIGTERM, tmp_path, 143) >= first
    # Another seed's cases are not these; the table is left alone.
    refused = vexal_cli(*STUDY, "--seed", 4, "--resume", cwd=tmp_path)
    assert (refused.returncode, refused.stderr) == (
        1, "vexal study: error: cases.csv: another study's table: seed is 3 in it, 4 here (cases.csv.study.json); "
           "resume with the same settings\n")
    assert not (tmp_path / "cases.csv.part").exists()
    succeeded(vexal_cli(*STUDY, "--resume", "--executor", "processes", cwd=tmp_path))
    assert (tmp_path / "cases.csv").read_bytes() == whole


def test_workers_die_with_the_study(tmp_path):
    child, workers = start_study(tmp_path, "--executor", "processes", "--workers", 2)
    assert len(workers) == 2
    child.kill()
    child.wait()
    time.sleep(1.0)
    assert [pid for pid in workers if running(pid)] == []
    # The rows finished so far are still there for --resume.
    assert (tmp_path / "cases.csv.part").read_text().count("\n") >= 3


def running(pid):
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state != "Z"


def test_infeasible_search_bracket(tmp_path):
    config = small_config(time_of_flight=None, tof_min=1.0, tof_max=3.0)
    (tmp_path / "short.json").write_text(config.to_json())
    result = vexal_cli("plan", "short.json", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == ("vexal plan: error: no trajectory reaches the target with a time of flight in "
                             "[1.000 s, 3.000 s]; the nearest landing (landing='nearest', --nearest) comes as close "
                             "as it can\n")


@pytest.mark.parametrize("args, complaint", [
    ([], "the following arguments are required: COMMAND"),
    (["launch"], "invalid choice: 'launch'"),
    (["plan", "--n", "0"], "argument --n: expected a whole number of at least 1, got '0'"),
    (["plan", "--n", "2.5"], "argument --n: expected a whole number of at least 1, got '2.5'"),
    (["plan", "--tof", "-3"], "argument --tof: expected a positive number of seconds, got '-3'"),
    (["plan", "--tof", "nan"], "argument --tof: expected a positive number of seconds, got 'nan'"),
    (["plan", "a.json", "b.json"], "usage: vexal plan [options] [CONFIG.json]\n"
                                   "vexal plan: error: unrecognized arguments: b.json\n"),
    (["fly", "--engine-lag", "-1"], "argument --engine-lag: expected a number of at least 0, got '-1'"),
    (["fly", "--misalignment-deg", "16"], "argument --misalignment-deg: expected at most 15.0, got '16'"),
    (["plan", "--isp", "0.0005"], "argument --isp: expected a specific impulse of at least 1 s, e.g. 225"),
    (["plan", "--serach", "fast"], "vexal plan: error: unrecognized arguments: --serach (did you mean --search?)"),
    (["study", "--cases", "0"], "argument --cases: expected a whole number of at least 1, got '0'"),
    (["study", "--seed", "x"], "argument --seed: invalid int value: 'x'"),
    (["plan", "--tof", "45", "--bracket", "20", "90"], "argument --bracket: not allowed with argument --tof"),
    (["study", "--sigma-position", "-1"], "argument --sigma-position: expected a number of at least 0, got '-1'"),
    (["study", "--seed", "-1"], "argument --seed: expected a whole number of at least 0, got '-1'"),
    (["plan", "--n", str(2**64)], f"argument --n: expected at most {2**64 - 1}, got '{2**64}'"),
    (["plan", "--n", "1" * 5000], "argument --n: expected a whole number of at least 1, got '11111"),
    (["plan", "--rotation", "0,7e-5"], "argument --rotation: expected three finite numbers WX,WY,WZ (rad/s), "
                                       "got '0,7e-5'"),
    (["fly", "--rotation", "0,inf,0"], "argument --rotation: expected three finite numbers WX,WY,WZ (rad/s), "
                                       "got '0,inf,0'"),
    (["plan", "--solver", "ipm"], "argument --solver: invalid choice: 'ipm'"),
    (["fly", "--solver", "ipm"], "argument --solver: invalid choice: 'ipm'"),
    (["fly", "--seed", str(2**64)], f"argument --seed: expected at most {2**64 - 1}, got '{2**64}'"),
    (["fly", "--limit-vertical", "0"], "argument --limit-vertical: expected a number greater than 0, got '0'"),
    (["fly", "--sensor", "lidar=1"], "argument --sensor: expected NAME=VALUE with NAME one of accelerometer_noise, "),
    (["fly", "--sensor", "fix_rate=fast"], "argument --sensor: fix_rate: expected a number, true/false or FROM,TO"),
])
def test_bad_arguments_exit_2(args, complaint):
    result = vexal_cli(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert complaint in result.stderr and "Traceback" not in result.stderr
    assert len(result.stderr.splitlines()) == 3  # the short usage, the error, where the help is


def test_plot_without_matplotlib_is_a_user_error():
    result = run_python("""
        import sys
        sys.modules["matplotlib"] = None
        from vexal.cli import main
        sys.exit(main(["plan", "--plot", "x.png"]))
    """)
    assert result.returncode == 1
    assert result.stderr == "vexal plan: error: plotting needs matplotlib: pip install 'vexal[plot]'\n"


def test_study_writes_a_table_and_a_histogram(tmp_path):
    args = ["--n", 10, "--cases", 5, "--seed", 4, "--workers", 2]
    out = succeeded(vexal_cli("study", *args, "--csv", "cases.csv", "--hist", "mass.png", cwd=tmp_path))
    cases = list(vexal.dispersions(_vexal.Config(solver=_vexal.Solver(n=10)), 5, seed=4))
    expected = [vexal.plan(c).final_mass for c in cases]
    rows = list(csv.DictReader((tmp_path / "cases.csv").open()))
    assert [int(r["case"]) for r in rows] == list(range(5))
    assert [float(r["final_mass"]) for r in rows] == expected
    assert [float(r["wet_mass"]) for r in rows] == [c.spacecraft.wet_mass for c in cases]
    assert all(r["status"] == "Solved" and r["error"] == "" for r in rows)
    assert out.startswith("5 cases: 5 planned, 0 failed; final mass mean ")
    assert (tmp_path / "mass.png").read_bytes().startswith(PNG)

    # Without --csv the table goes to stdout and the closing line to stderr.
    piped = vexal_cli("study", *args, cwd=tmp_path)
    assert list(csv.DictReader(io.StringIO(succeeded(piped)))) == rows
    assert piped.stderr == out


def test_study_of_nearest_landings_counts_them_on_target(tmp_path):
    # Short of fuel for the widest diverts: some cases land off the target, some not at all.
    out = succeeded(vexal_cli("study", "--n", 20, "--fuel", 200, "--cases", 6, "--seed", 1, "--search", "fast",
                              "--sigma-position", 1500, "--pointing", "--nearest", "--csv", "cases.csv",
                              "--hist", "fuel.png", cwd=tmp_path))
    rows = list(csv.DictReader((tmp_path / "cases.csv").open()))
    errors = [float(r["landing_error"]) for r in rows if r["landing_error"]]
    on_target = sum(e <= vexal.study.ON_TARGET for e in errors)
    assert 0 < on_target < len(errors) < len(rows), errors
    assert out.strip().endswith(f"; {on_target} on target, landing error max {max(errors):.3f} m")
    assert (tmp_path / "fuel.png").read_bytes().startswith(PNG)


@pytest.mark.parametrize("binary, content", [(False, "new,table\n"), (True, PNG)])
def test_an_output_is_replaced_whole_or_not_at_all(tmp_path, binary, content):
    old = tmp_path / "out"
    old.write_bytes(b"old")
    old.chmod(0o640)
    with pytest.raises(RuntimeError):
        with replacing(old, binary) as file:
            file.write(content)
            raise RuntimeError("the run fails midway")
    assert [p.name for p in tmp_path.iterdir()] == ["out"] and old.read_bytes() == b"old"
    with replacing(old, binary) as file:
        file.write(content)
    assert [p.name for p in tmp_path.iterdir()] == ["out"] and old.stat().st_mode & 0o777 == 0o640
    assert old.read_bytes() == (content if binary else content.encode())


def test_study_into_a_closed_pipe_ends_quietly():
    child = subprocess.Popen([sys.executable, "-m", "vexal", "study", "--n", "10", "--cases", "20"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline().startswith(b"case,seed,")
    child.stdout.close()  # what `| head -1` does
    assert (child.wait(timeout=60), child.stderr.read()) == (0, b"")


def test_a_huge_value_is_quoted_in_part(tmp_path):
    (tmp_path / "big.json").write_text('{"solver": {"n": "' + "9" * 10**6 + '"}}')
    result = vexal_cli("plan", "big.json", cwd=tmp_path)
    assert result.returncode == 1 and len(result.stderr) < 1100
    assert result.stderr.startswith("vexal plan: error: big.json: solver.n: invalid type: string \"999")
    assert "characters cut ...] 9999" in result.stderr and result.stderr.endswith('at line 1 column 1000019\n')


def test_study_records_failed_cases(tmp_path):
    result = vexal_cli("study", "--n", 10, "--tof", 5, "--cases", 2, "--csv", "cases.csv", "--hist", "fuel.png",
                       cwd=tmp_path)
    rows = list(csv.DictReader((tmp_path / "cases.csv").open()))
    assert [(r["status"], r["error"], r["final_mass"]) for r in rows] == [
        ("error", "no trajectory reaches the target in 5 s", "")] * 2
    # Nothing planned: the command fails, and draws no empty histogram.
    assert (result.returncode, result.stdout, result.stderr) == (1, "2 cases: 0 planned, 2 failed\n", (
        "vexal study: error: every case failed; their errors are in the table (cases.csv); no histogram written\n"))
    assert not (tmp_path / "fuel.png").exists()


# A finished 10-case study, then the table edited as a run, a user or a disk
# might leave it, and resumed.
SMALL = ["study", "--n", 10, "--tof", 50, "--cases", 10, "--seed", 1, "--csv", "t.csv"]


def killed(files):
    """A run killed outright: its rows only in the part file."""
    files["t.csv.part"] = b"".join(files.pop("t.csv").splitlines(keepends=True)[:7])


def edit(line, column, value):
    def apply(files):
        lines = files["t.csv"].decode().split("\n")
        cells = lines[line - 1].split(",")
        cells[column] = value
        lines[line - 1] = ",".join(cells)
        files["t.csv"] = "\n".join(lines).encode()
    return apply


def appended(text):
    def apply(files):
        files["t.csv"] += text if isinstance(text, bytes) else text.encode()
    return apply


def repeated(line, column=None, value=None, cut=False):
    """Line `line` written again at the end (with `column` set to `value`);
    with `cut`, then half a line, as a run killed while writing leaves it."""
    def apply(files):
        lines = files["t.csv"].decode().splitlines(keepends=True)
        cells = lines[line - 1].split(",")
        if column is not None:
            cells[column] = value
        files["t.csv"] += ",".join(cells).encode() + (lines[line][:20].encode() if cut else b"")
    return apply


FINAL_MASS, X0 = vexal.study.COLUMNS.index("final_mass"), vexal.study.COLUMNS.index("x0")
HEADER = (",".join(vexal.study.COLUMNS) + "\n").encode()
OTHER_STUDY = "t.csv: another study's table: {} (t.csv.study.json); resume with the same settings"
REFUSED = {
    "other inputs, killed run": (killed, ["--sigma-position", 30],
                                 OTHER_STUDY.format("sigma.position is 20.0 in it, 30.0 here")),
    "node count": (None, ["--n", 12], OTHER_STUDY.format("config.solver.n is 10 in it, 12 here")),
    "fewer cases": (None, ["--cases", 5], OTHER_STUDY.format("cases is 10 in it, 5 here")),
    "search": (None, ["--search", "golden"], OTHER_STUDY.format('search is "fast" in it, "golden" here')),
    "pointing": (None, ["--no-pointing"], OTHER_STUDY.format("pointing is true in it, false here")),
    "solver": (None, ["--solver", "clarabel"], OTHER_STUDY.format('solver is "structured" in it, "clarabel" here')),
    # The previous release recorded its default solver, Clarabel, by leaving it out.
    "previous default solver": (lambda files: files.update({"t.csv.study.json": files["t.csv.study.json"].replace(
        b',\n "solver": "structured"', b"")}), ["--solver", "structured"],
        OTHER_STUDY.format('solver is "clarabel" in it, "structured" here')),
    "NaN outcome": (edit(4, FINAL_MASS, "nan"), [], "t.csv: line 4: case 2: final_mass 'nan' is not a finite number"),
    "overflowing outcome": (edit(5, FINAL_MASS, "1e400"), [],
                            "t.csv: line 5: case 3: final_mass '1e400' is not a finite number"),
    "case past the end": (edit(2, 0, "1000"), [],
                          "t.csv: line 2: case '1000' is not one of this study's cases, 0 to 9"),
    "negative case": (edit(2, 0, "-1"), [], "t.csv: line 2: case '-1' is not one of this study's cases, 0 to 9"),
    "huge case": (edit(2, 0, "9" * 5000), [],
                  "t.csv: line 2: case '9999999999999999999999999999999999999999'... (5000 characters) is not one of "
                  "this study's cases, 0 to 9"),
    "other inputs": (edit(3, X0, "451.0"), [], "t.csv: line 3: case 1 has other inputs than this study's case 1; "
                                               "resume with the same study"),
    "conflicting duplicate": (repeated(5, FINAL_MASS, "1800.5"), [],
                              "t.csv: line 12: case 3 again, with other contents than on line 5"),
    "not text": (lambda files: files.update({"t.csv": b"\xff" + files["t.csv"]}), [],
                 "t.csv: not a study table: byte 0 is not UTF-8 text"),
    "huge cell": (appended("5," + "x" * 200_000 + "\n"), [],
                  "t.csv: line 12: not a row of a study table (field larger than field limit (131072))"),
    "no definition": (lambda files: files.pop("t.csv.study.json"), [],
                      "t.csv: no study definition beside it (t.csv.study.json), so it cannot be checked against this "
                      "study; run without --resume to start anew"),
}


@pytest.fixture(scope="module")
def small_study(tmp_path_factory):
    where = tmp_path_factory.mktemp("small")
    succeeded(vexal_cli(*SMALL, cwd=where))
    return {p.name: p.read_bytes() for p in where.iterdir()}


def lay_out(tmp_path, files):
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)


def files_in(tmp_path):
    return {p.name: p.read_bytes() for p in tmp_path.iterdir()}


@pytest.mark.parametrize("name", REFUSED)
def test_a_refused_resume_leaves_every_file_as_it_was(tmp_path, small_study, name):
    change, args, message = REFUSED[name]
    files = dict(small_study)
    if change:
        change(files)
    lay_out(tmp_path, files)
    result = vexal_cli(*SMALL, "--resume", *args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, f"vexal study: error: {message}\n")
    assert files_in(tmp_path) == files


@pytest.mark.parametrize("change, said", [
    (repeated(5), "10 cases: 0 planned, 10 already in the table, 0 failed; "),
    (repeated(5, cut=True), "10 cases: 0 planned, 10 already in the table, 0 failed; "),
    (killed, "10 cases: 4 planned, 6 already in the table, 0 failed; "),
    # Stopped before its first row: the header alone, no definition yet.
    (lambda files: [files.clear(), files.update({"t.csv.part": HEADER})],
     "10 cases: 10 planned, 0 failed; "),
])
def test_a_resume_takes_over_what_is_unambiguous(tmp_path, small_study, change, said):
    files = dict(small_study)
    change(files)
    lay_out(tmp_path, files)
    assert succeeded(vexal_cli(*SMALL, "--resume", cwd=tmp_path)).startswith(said)
    assert files_in(tmp_path) == small_study


def test_a_table_that_holds_cases_is_replaced_only_when_forced(tmp_path, small_study):
    lay_out(tmp_path, small_study)
    result = vexal_cli(*SMALL, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        1, "vexal study: error: t.csv already holds 10 cases; --resume to continue that study, --force to "
           "replace it\n")
    assert files_in(tmp_path) == small_study
    assert succeeded(vexal_cli(*SMALL, "--force", cwd=tmp_path)).startswith("10 cases: 10 planned, 0 failed")
    assert files_in(tmp_path) == small_study


def catches(pid, number):
    """Whether a process has a handler of its own for a signal."""
    status = pathlib.Path(f"/proc/{pid}/status").read_text()
    mask = int(status.split("SigCgt:")[1].split()[0], 16)
    return bool(mask >> (number - 1) & 1)


def start_watched(args, cwd, **options):
    """The command line in a child process, once it has taken over SIGTERM:
    from then on no signal may end it any other way than its own."""
    child = subprocess.Popen([sys.executable, "-m", "vexal", *map(str, args)], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, **options)
    while not catches(child.pid, signal.SIGTERM):
        assert child.poll() is None, child.communicate()
        time.sleep(0.001)
    return child


QUICK = ["study", "--n", 40, "--tof", 50, "--cases", 40, "--seed", 1, "--workers", 2, "--csv", "t.csv"]


@pytest.mark.parametrize("executor", ["threads", "processes"])
@pytest.mark.parametrize("signals", [1, 2])
def test_signals_at_any_moment_end_the_study_cleanly(tmp_path, executor, signals):
    # From the package's import to past the end of a study of about half a
    # second: one signal, or two a few milliseconds apart.
    rng = random.Random(signals)
    for attempt in range(15):
        where = tmp_path / str(attempt)
        where.mkdir()
        child = start_watched([*QUICK, "--executor", executor], where)
        for _ in range(signals):
            time.sleep(rng.uniform(0.0, 0.8 if _ == 0 else 0.01))
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        names = sorted(p.name for p in where.iterdir())
        assert not [name for name in names if name.endswith(".tmp")] and "Traceback" not in err + out
        if err.startswith("interrupted: "):
            rows = (where / "t.csv").read_text().splitlines()[1:]
            left = "the table is complete" if len(rows) == 40 else "--resume to continue"
            assert (child.returncode, err, names) == (
                130, f"interrupted: {len(rows)} of 40 cases written to t.csv; {left}\n", ["t.csv", "t.csv.study.json"])
            assert [int(row.split(",")[0]) for row in rows] == sorted({int(row.split(",")[0]) for row in rows})
        elif out:  # done before the signal, or done when it came
            late = "vexal study: interrupted after every output was written\n"
            assert (child.returncode, err) in ((0, ""), (130, late)) and out.startswith("40 cases: 40 planned")
        else:  # while loading, before the table; or a second signal ended the run at once
            assert (child.returncode, err) == (130, "")
            assert names == [] or signals == 2, names


def test_ctrl_c_just_after_a_worker_dies(tmp_path):
    rng = random.Random(4)
    for attempt in range(15):
        where = tmp_path / str(attempt)
        where.mkdir()
        child = start_watched([*QUICK, "--n", 60, "--cases", 400, "--executor", "processes"], where)
        part = where / "t.csv.part"
        while not (part.exists() and part.read_text().count("\n") >= 3):
            assert child.poll() is None
            time.sleep(0.002)
        workers = workers_of(child.pid)
        os.kill(int(workers[0]), signal.SIGKILL)
        time.sleep(rng.uniform(0.004, 0.020))
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
        assert (child.returncode, err[:13]) == (130, "interrupted: "), err
        rows = (where / "t.csv").read_text().splitlines()[1:]
        assert err == f"interrupted: {len(rows)} of 400 cases written to t.csv; --resume to continue\n"
        assert [pid for pid in workers if running(pid)] == []


def test_a_study_started_with_ctrl_c_ignored_keeps_ignoring_it(tmp_path):
    # As a shell starts a background job: Ctrl-C is for the foreground.
    ignore = lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)  # noqa: E731
    child = start_watched([*STUDY, "--n", 400], tmp_path, preexec_fn=ignore)
    child.send_signal(signal.SIGINT)
    time.sleep(1.0)
    assert child.poll() is None
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 143 and err.startswith("interrupted: ")


def fifo(path):
    """A FIFO at `path` with a reader collecting what comes through it."""
    os.mkfifo(path)
    got = []
    reader = threading.Thread(target=lambda: got.append(path.read_bytes()))
    reader.start()
    return lambda: (reader.join(60), got[0])[1]


def null_device(path):
    try:
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # what /dev/null is
    except PermissionError:
        pytest.skip("cannot make a device node here")
    return lambda: b""


def link(target):
    def make(path):
        path.symlink_to(target)
        return lambda: path.resolve().read_bytes() if path.resolve().exists() else b""
    return make


@pytest.mark.parametrize("make, command, kind, expected", [
    (fifo, ["plan", "--csv"], stat.S_ISFIFO, b"time,"),
    (fifo, ["study", "--cases", 3, "--csv"], stat.S_ISFIFO, b"case,seed,"),
    (null_device, ["plan", "--json"], stat.S_ISCHR, b""),
    (link("/proc/self/fd/1"), ["plan", "--json"], stat.S_ISLNK, b'solves                         1\n{\n  "status"'),
    (link("table.csv"), ["plan", "--csv"], stat.S_ISLNK, b"time,"),
])
def test_outputs_that_are_not_regular_files_are_written_in_place(tmp_path, make, command, kind, expected):
    out = tmp_path / "out"
    received = make(out)
    result = vexal_cli(*command, out, "--n", 10, "--tof", 50, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    # Still what it was (a link still a link), and nothing beside it.
    assert kind(out.lstat().st_mode) and sorted(p.name for p in tmp_path.iterdir()) in (["out"], ["out", "table.csv"])
    assert expected in (received() or result.stdout.encode())


def file_size_limit(size):
    def limit():
        import resource
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails, rather than killing
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


@pytest.mark.parametrize("args, limit, message", [
    (["plan", "--json", "/dev/full"], None, "vexal plan: error: /dev/full: No space left on device"),
    (["study", "--cases", 3, "--csv", "/dev/full"], None, "vexal study: error: /dev/full: No space left on device"),
    (["study", "--cases", 40, "--csv", "t.csv"], 3000, "vexal study: error: t.csv.part: File too large"),
    (["plan", "--csv", "nodes.csv"], 300, "vexal plan: error: nodes.csv: File too large"),
])
def test_a_failed_write_names_its_file(tmp_path, args, limit, message):
    result = subprocess.run([sys.executable, "-m", "vexal", *map(str, [*args, "--n", 10, "--tof", 50])], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120,
                            preexec_fn=file_size_limit(limit) if limit else None)
    assert (result.returncode, result.stderr) == (1, message + "\n")


def test_a_fifo_without_a_reader_is_waited_for_until_a_signal(tmp_path):
    os.mkfifo(tmp_path / "plan.json")
    child = start_watched(["plan", "--n", 10, "--tof", 50, "--json", "plan.json"], tmp_path)
    time.sleep(1.0)
    child.send_signal(signal.SIGTERM)
    try:
        _, err = child.communicate(timeout=20)
    finally:
        child.kill()
    assert (child.returncode, err) == (143, "vexal plan: interrupted\n")
    # A study's own files are never written in place.
    os.mkfifo(tmp_path / "t.csv.part")
    result = vexal_cli("study", "--cases", 2, "--csv", "t.csv", cwd=tmp_path, timeout=20)
    assert (result.returncode, result.stderr) == (1, "vexal study: error: t.csv.part: not a regular file; a study "
                                                     "keeps its table's rows and definition in regular files\n")
    (tmp_path / "t.csv.part").unlink()
    (tmp_path / "t.csv").write_text("")
    (tmp_path / "t.csv.study.json").symlink_to("/dev/zero")
    result = vexal_cli("study", "--cases", 2, "--csv", "t.csv", "--resume", cwd=tmp_path, timeout=20)
    assert result.stderr.startswith("vexal study: error: t.csv.study.json: not a regular file")


# Signals at the edges of a run, landed exactly where they are meant to by
# the child itself: while the package loads (the console script's own
# code), and in the summary of a complete study.
SIGNALLED = {
    "while loading": ("""
        def hook(event, args):
            if event == "import" and args[0] == "_vexal":
                os.kill(os.getpid(), signal.SIGINT)
        sys.addaudithook(hook)
        sys.argv = ["vexal", "plan", "--n", "10", "--tof", "50"]
        from vexal.cli import main
        sys.exit(main())
    """, 130, ""),
    "in the summary": ("""
        from vexal import cli, commands
        summary = commands.study_summary
        commands.study_summary = lambda *a, **k: (os.kill(os.getpid(), signal.SIGTERM), summary(*a, **k))[1]
        sys.exit(cli.main(["study", "--n", "10", "--tof", "50", "--cases", "2", "--csv", "t.csv"]))
    """, 143, "interrupted: 2 of 2 cases written to t.csv; the table is complete\n"),
}


@pytest.mark.parametrize("name", SIGNALLED)
def test_a_signal_at_the_edges_of_a_run(tmp_path, name):
    code, status, said = SIGNALLED[name]
    result = subprocess.run([sys.executable, "-c", "import os, signal, sys\n" + textwrap.dedent(code)],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (status, said)


def test_a_read_only_output_is_not_replaced(tmp_path):
    out = tmp_path / "plan.json"
    out.write_text("kept")
    out.chmod(0o444)
    result = vexal_cli("plan", "--n", 10, "--tof", 50, "--json", out.name, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, "vexal plan: error: plan.json: Permission denied "
                                                     "(the file is read-only)\n")
    assert out.read_text() == "kept" and sorted(p.name for p in tmp_path.iterdir()) == ["plan.json"]


EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"


@pytest.mark.parametrize("script, args, first", [
    ("plan_descent.py", [], "status                    Solved"),
    ("mars_lander.py", [], "status                    Solved"),
    ("dispersion_study.py", ["fuel.png"], "40 cases, 40 planned: fuel used "),
])
def test_the_examples_run(tmp_path, script, args, first):
    result = subprocess.run([sys.executable, EXAMPLES / script, *args], cwd=tmp_path, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0 and result.stdout.startswith(first), result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(args)


def test_a_study_disperses_the_vehicle_as_asked(tmp_path):
    args = ["--n", 10, "--tof", 50, "--cases", 4, "--seed", 2, "--sigma-fuel", 0.1, "--sigma-isp", 0.05,
            "--sigma-gravity", 0.02, "--distribution", "uniform"]
    succeeded(vexal_cli("study", *args, "--csv", "t.csv", cwd=tmp_path))
    sigma = vexal.Sigma(fuel=0.1, isp=0.05, gravity=0.02, distribution="uniform")
    cases = vexal.dispersions(_vexal.Config(solver=_vexal.Solver(n=10, time_of_flight=50.0)), 4, 2, sigma)
    rows = list(csv.DictReader((tmp_path / "t.csv").open()))
    assert [[float(r[c]) for c in ("fuel", "fuel_consumption", "gz")] for r in rows] == [
        [c.spacecraft.fuel, c.spacecraft.fuel_consumption, c.environment.gravity[2]] for c in cases]
    assert all(abs(float(r["fuel"]) / 1700.0 - 1.0) <= 0.1 for r in rows) and len({r["gz"] for r in rows}) == 4


def test_a_plan_shows_its_progress_on_a_terminal_only():
    main, terminal = pty.openpty()
    child = subprocess.Popen([sys.executable, "-m", "vexal", "plan", "--n", "20"], stdout=subprocess.PIPE,
                             stderr=terminal, text=True)
    os.close(terminal)
    out, _ = child.communicate(timeout=60)
    shown = b""
    with contextlib.suppress(OSError):  # the end of the terminal's output
        while chunk := os.read(main, 4096):
            shown += chunk
    os.close(main)
    assert child.returncode == 0 and out.startswith("status")
    assert b" solves, best final mass " in shown and shown.endswith(b"\r\x1b[K")
    assert "planning" not in vexal_cli("plan", "--n", 20).stderr


def test_fly_reports_the_touchdown_and_writes_its_figure(tmp_path):
    lines = succeeded(vexal_cli("fly", "--n", 30, "--thrust-bias", -0.02, "--seed", 2, "--plot", "flight.png",
                                "--csv", "flight.csv", cwd=tmp_path)).splitlines()
    assert [line.split("  ")[0] for line in lines] == [
        "outcome", "touchdown time", "touchdown error", "touchdown speed", "limits", "fuel used", "fuel left",
        "re-plans", "longest plan"]
    flown = vexal.simulate(n=30, errors={"thrust_bias": -0.02}, seed=2)
    assert lines[2].split()[-2] == f"{flown.touchdown_error:.3f}"
    table = np.genfromtxt(tmp_path / "flight.csv", delimiter=",", names=True)
    assert table.dtype.names[:9] == ("t", "x", "y", "z", "vx", "vy", "vz", "mass", "thrust")  # as before the filter
    assert len(table) == len(flown.t) and np.allclose(table["z_est"], flown.estimated_position[:, 2], atol=1e-6)
    assert np.allclose(table["vx_sigma"], flown.velocity_sigma[:, 0], atol=1e-6)
    # Judged by the limits asked for; a flight that never touched down has no touchdown figures.
    hard = json.loads(succeeded(vexal_cli("fly", "--n", 30, "--limit-horizontal", 1e-9, "--json")))
    assert hard["outcome"] == "hard_landing" and hard["touchdown"]["horizontal_speed"] > 1e-9
    # --solver reaches the plans: the flight is the one vexal.simulate flies with that solver.
    quick = json.loads(succeeded(vexal_cli("fly", "--n", 30, "--solver", "clarabel", "--json")))
    assert quick["touchdown"]["position"] == list(vexal.simulate(n=30, solver="clarabel").touchdown.position)
    assert quick["touchdown"]["position"] != hard["touchdown"]["position"]  # the same flight but for its solver
    never = json.loads(succeeded(vexal_cli("fly", "--n", 30, "--thrust-bias", 0.2, "--replan", 0, "--control-rate", 0,
                                           "--json")))
    assert never["outcome"] == "time_limit" and never["touchdown"] is None and never["end_height"] > 0
    # An altimeter 100 m off and silent for the first 5 s is outvoted by the other instruments.
    biased = json.loads(succeeded(vexal_cli("fly", "--n", 30, "--position-noise", 1, "--sensor", "altimeter_bias=100",
                                            "--sensor", "altimeter_dropout=0,5", "--json")))
    assert biased["outcome"] == "landed"
    assert (tmp_path / "flight.png").stat().st_size > 0
    result = vexal_cli("fly", "--n", 30, "--replan", -1)
    assert result.returncode == 2 and "expected a number of seconds of at least 0, got '-1'" in result.stderr


def test_closed_loop_study_tabulates_touchdowns_and_resumes_only_the_same_study(tmp_path):
    args = ["study", "--closed-loop", "--n", 20, "--cases", 4, "--seed", 3, "--thrust-bias", 0.01,
            "--misalignment-deg", 0.5, "--position-noise", 0.5, "--csv", "flights.csv"]
    out = succeeded(vexal_cli(*args, "--executor", "processes", "--hist", "touchdowns.png", cwd=tmp_path))
    assert re.fullmatch(r"4 flights: 4 flown, 0 failed; (\d) landed, (\d) hard landings, 0 out of time; success "
                        r"\S+ % \(95 % interval \S+ to \S+ %\); touchdown error median \S+ m, worst \S+ m; 1-sigma "
                        r"ellipse \S+ x \S+ m; vertical speed median \S+ m/s, worst \S+ m/s; horizontal speed "
                        r"median \S+ m/s, worst \S+ m/s; least fuel left \S+ kg\n", out)
    assert (tmp_path / "touchdowns.png").read_bytes().startswith(PNG)
    rows = list(csv.DictReader((tmp_path / "flights.csv").open()))
    cases = vexal.flight_dispersions(_vexal.Config(solver=_vexal.Solver(n=20)), 4, seed=3,
                                     errors={"thrust_bias": 0.01, "misalignment_deg": 0.5, "position_noise": 0.5})
    # Each row is its case flown alone, on threads, to the last digit (the plans' wall times aside).
    alone = vexal.fly_many(cases[2:3], progress=False)[0]
    assert float(rows[2]["touchdown_x"]) == alone.touchdown_x and int(rows[2]["replans"]) == alone.replans
    assert [float(r["thrust_bias"]) for r in rows] == [c.errors["thrust_bias"] for c in cases]
    assert [int(r["flight_seed"]) for r in rows] == [c.seed for c in cases]
    other = [0.02 if arg == 0.5 else arg for arg in args]
    refused = vexal_cli(*other, "--resume", cwd=tmp_path)
    assert refused.returncode == 1
    assert "flights.csv: another study's table: errors.misalignment_deg is 0.5 in it, 0.02 here" in refused.stderr
    resumed = succeeded(vexal_cli(*args, "--resume", cwd=tmp_path))
    assert resumed.startswith("4 flights: 0 flown, 4 already in the table, 0 failed; " + out.split("; ")[1])
    # Killed after two flights and resumed: the table of a run never interrupted (it holds no wall time).
    files = files_in(tmp_path)
    table = files.pop("flights.csv")
    lay_out(tmp_path, {"flights.csv.part": b"".join(table.splitlines(keepends=True)[:3])})
    (tmp_path / "flights.csv").unlink()
    succeeded(vexal_cli(*args, "--resume", cwd=tmp_path))
    assert (tmp_path / "flights.csv").read_bytes() == table
