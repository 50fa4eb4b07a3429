import gc
import sys

import pytest
from conftest import run_python

from _vexal import Config, Environment, PyTrajectory, Solver, Spacecraft, solve

ODD = {
    "nan mass": "Spacecraft(wet_mass=float('nan'))",
    "infinite thrust": "Spacecraft(real_max_thrust=float('inf'))",
    "negative masses": "Spacecraft(wet_mass=-2000.0, fuel=-1.0)",
    "nan gravity": "Environment(gravity=[0, 0, float('nan')])",
    "zero consumption": "Spacecraft(fuel_consumption=0.0)",
}
SOLVERS = {
    "n=0": "Solver(n=0, time_of_flight=50.0)",
    "n=0 search": "Solver(n=0)",
    "n=1": "Solver(n=1, time_of_flight=50.0)",
    "huge n": "Solver(n=2**64 - 1, time_of_flight=50.0)",
    "huge n search": "Solver(n=2**63)",
    "nan tof": "Solver(n=10, time_of_flight=float('nan'))",
    "negative tof": "Solver(n=10, time_of_flight=-5.0)",
    "inverted bounds": "Solver(n=10, tof_min=60.0, tof_max=20.0)",
}
CASES = {name: f"Config({'spacecraft' if 'Spacecraft' in e else 'environment'}={e}, "
               "solver=Solver(n=10, time_of_flight=50.0))"
         for name, e in ODD.items()}
CASES |= {name: f"Config(solver={e})" for name, e in SOLVERS.items()}


@pytest.mark.parametrize("name", CASES)
def test_odd_inputs_end_in_a_result_or_a_value_error(name):
    result = run_python(
        f"""
        from _vexal import *
        try:
            t = solve({CASES[name]})
        except ValueError as e:
            print("ValueError", e)
        else:
            for a in {["positions", "velocities", "u_values", "thrusts", "normalized_thrusts",
                       "z_values", "s_values", "time_points", "objective", "final_mass", "status"]}:
                getattr(t, a)
            print("result", t.status)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(("ValueError ", "result ")), result.stdout


def test_a_node_count_beyond_the_address_space_limit_is_refused_not_a_crash():
    result = run_python("""
        import resource
        from _vexal import *
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, resource.RLIM_INFINITY))
        try:
            solve(Config(solver=Solver(n=200000, time_of_flight=50.0)))
        except ValueError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("invalid node count: n = 200000 is too large, the program needs about 6250 MiB "
                                    "and the address-space limit (RLIMIT_AS) leaves "), result.stdout


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("workers, n", [(2, 3000), (4, 5000)])
def test_plans_on_threads_wait_for_room_under_the_address_space_limit(workers, n):
    # The limit leaves one plan's estimated need (32 KiB a node) and a tenth:
    # each plan fits alone, four at once did not (the solver's failed
    # allocation aborted the interpreter). Every thread the study runs is
    # started before the measure: their stacks and heaps count toward the limit.
    result = run_python(f"""
        import concurrent.futures, resource, threading
        import vexal
        from vexal import Config, Solver

        pool = concurrent.futures.ThreadPoolExecutor({workers})
        started = threading.Barrier({workers})
        tiny = Config(solver=Solver(n=10, time_of_flight=50.0))
        list(pool.map(lambda _: (started.wait(), vexal.plan(tiny)), range({workers})))
        vexal.solve_many([tiny], executor=pool, progress=False)
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        saved = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + {n} * 32 * 1024 * 11 // 10, saved[1]))
        config = Config(solver=Solver(n={n}, time_of_flight=50.0))
        limited = vexal.solve_many([config] * {workers}, executor=pool, progress=False)
        resource.setrlimit(resource.RLIMIT_AS, saved)
        alone = vexal.plan(config).final_mass
        print([r.error or r.final_mass == alone for r in limited])
    """)
    assert (result.returncode, result.stdout) == (0, f"{[True] * workers}\n"), result.stderr


def test_stop_all_ends_only_the_plans_in_progress():
    result = run_python("""
        import threading
        from _vexal import Config, Solver
        from vexal import _native

        small = Config(solver=Solver(n=20, time_of_flight=45.0))
        _native.stop_all()  # with nothing in progress, it ends nothing
        print(_native.plan(small)["status"])

        ended = []
        def search():
            try:
                _native.plan(Config(solver=Solver(n=2000)))  # minutes
            except KeyboardInterrupt:
                ended.append("KeyboardInterrupt")
        worker = threading.Thread(target=search)
        worker.start()
        while worker.is_alive():  # until a call finds the plan in progress
            _native.stop_all()
            worker.join(0.05)
        print(*ended, _native.plan(small)["status"])
    """)
    assert (result.returncode, result.stdout) == (0, "Solved\nKeyboardInterrupt Solved\n"), result.stderr


def workload(value):
    c = Config(solver=Solver(n=10, time_of_flight=50.0))
    s = c.spacecraft
    s.wet_mass = value
    s.initial_position = (value, 0, 2400)
    c.spacecraft = s
    c.environment = Environment(gravity=[0, 0, -3.71])
    Config.from_json(c.to_json())
    t = solve(c)
    t.positions, t.time_points, t.status, t.final_mass
    for bad in ({"n": -1}, {"n": 1.5}, {"tof_min": "x"}):
        try:
            Solver(**bad)
        except (OverflowError, TypeError):
            pass
    try:
        solve(None)
    except TypeError:
        pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_growth_of_references_or_memory():
    types = [Config, Spacecraft, Environment, Solver, PyTrajectory]
    value = 2000.5
    for _ in range(300):
        workload(value)
    gc.collect()
    refs = [sys.getrefcount(t) for t in types] + [sys.getrefcount(value)]
    objects, rss = len(gc.get_objects()), rss_kib()
    for _ in range(2000):
        workload(value)
    gc.collect()
    assert [sys.getrefcount(t) for t in types] + [sys.getrefcount(value)] == refs
    assert len(gc.get_objects()) <= objects + 50
    assert rss_kib() - rss < 2048
