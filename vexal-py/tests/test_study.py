import concurrent.futures
import json
import os

import numpy as np
import pytest
from conftest import run_python, small_config

import _vexal
import vexal
import vexal.cli
from vexal import CaseResult, Sigma, dispersions, solve_many
from vexal.study import plan_task, run_cases, solve_text

NOMINAL = _vexal.Config(solver=_vexal.Solver(n=10))


def draws(configs):
    """Per case: position and velocity offsets, then the relative offsets of
    the wet mass, thrust, fuel, Isp (from the fuel consumption) and gravity."""
    nominal = json.loads(NOMINAL.to_json())
    rows = []
    for config in configs:
        document = json.loads(config.to_json())
        s, n = document["spacecraft"], nominal["spacecraft"]
        rows.append([*np.subtract(s["initial_position"], n["initial_position"]),
                     *np.subtract(s["initial_velocity"], n["initial_velocity"]),
                     s["wet_mass"] / n["wet_mass"] - 1.0, s["real_max_thrust"] / n["real_max_thrust"] - 1.0,
                     s["fuel"] / n["fuel"] - 1.0, n["fuel_consumption"] / s["fuel_consumption"] - 1.0,
                     document["environment"]["gravity"][2] / nominal["environment"]["gravity"][2] - 1.0])
    return np.array(rows)


def test_dispersions_are_reproducible_and_counted():
    cases = dispersions(NOMINAL, 20, seed=7)
    assert len(cases) == 20 and cases[3].to_json() == list(cases)[3].to_json()  # a list, read again and again
    texts = [c.to_json() for c in cases]
    assert len(set(texts)) == 20
    assert texts == [c.to_json() for c in dispersions(NOMINAL, 20, seed=7)]
    # A shorter study is the start of a longer one with the same seed.
    assert texts[:5] == [c.to_json() for c in dispersions(NOMINAL, 5, seed=7)]
    assert texts != [c.to_json() for c in dispersions(NOMINAL, 20, seed=8)]
    assert list(dispersions(NOMINAL, 0, seed=7)) == []


VEHICLE = {"fuel": 0.02, "isp": 0.01, "gravity": 0.005}


@pytest.mark.parametrize("given", [Sigma(), {"position": 100.0, "thrust": 0.05}, VEHICLE,
                                   {**VEHICLE, "distribution": "uniform"}])
def test_dispersions_follow_their_sigmas(given):
    configs = list(dispersions(NOMINAL, 4000, seed=1, sigma=given))
    sigma = given if isinstance(given, Sigma) else Sigma(**given)
    spread = np.array([sigma.position] * 3 + [sigma.velocity] * 3 +
                      [sigma.wet_mass, sigma.thrust, sigma.fuel, sigma.isp, sigma.gravity])
    offsets = draws(configs)
    if sigma.distribution == "uniform":  # evenly over plus or minus sigma
        assert np.all(np.abs(offsets) <= spread * (1 + 1e-12))
        spread = spread / np.sqrt(3.0)
    assert np.allclose(offsets.std(axis=0), spread, rtol=0.05)
    assert np.all(np.abs(offsets.mean(axis=0)) <= 4.0 * spread / np.sqrt(len(configs)))
    # The dispersed quantities are drawn independently of one another.
    drawn = spread > 0
    correlation = np.corrcoef(offsets[:, drawn], rowvar=False)
    assert np.all(np.abs(correlation - np.eye(drawn.sum())) < 0.1)
    # Nothing else moves, and the start of a study is as it always was.
    assert np.all(offsets[:, ~drawn] == 0.0)
    if sigma.distribution == "normal":
        assert np.array_equal(draws(configs[:50])[:, :8], draws(dispersions(NOMINAL, 50, seed=1, sigma={
            name: getattr(sigma, name) for name in ("position", "velocity", "wet_mass", "thrust")}))[:, :8])


def test_a_drawn_error_added_since_leaves_the_other_draws_and_seeds_alone():
    older = {"thrust_bias": 0.01, "initial_mass_error": 5.0}
    before = vexal.flight_dispersions(NOMINAL, 30, seed=4, errors=older)
    after = vexal.flight_dispersions(NOMINAL, 30, seed=4, errors={**older, "dry_mass_error": 3.0})
    assert [(c.seed, {k: c.errors[k] for k in older}) for c in after] == [(c.seed, dict(c.errors)) for c in before]
    assert np.std([c.errors["dry_mass_error"] for c in after]) == pytest.approx(3.0, rel=0.4)


def test_zero_sigmas_give_the_nominal_case():
    zero = Sigma(position=0.0, velocity=0.0, wet_mass=0.0, thrust=0.0)
    assert {c.to_json() for c in dispersions(NOMINAL, 3, seed=2, sigma=zero)} == {NOMINAL.to_json()}


def test_unknown_sigma_is_refused():
    with pytest.raises(TypeError):
        list(dispersions(NOMINAL, 1, seed=0, sigma={"altitude": 1.0}))
    with pytest.raises(ValueError, match=r"^sigma.velocity must be a finite number of at least 0, got -1.0$"):
        Sigma(velocity=-1.0)
    with pytest.raises(ValueError, match=r"^sigma.distribution must be 'normal' or 'uniform', got 'gauss'$"):
        Sigma(distribution="gauss")


def sequential(configs):
    """What solve_many must reproduce: one vexal.plan per case, in order."""
    results = []
    for config in configs:
        try:
            t = vexal.plan(config)
        except ValueError as error:
            results.append(("error", str(error), None))
        else:
            results.append((t.status, None, t.final_mass))
    return results


@pytest.fixture(scope="module")
def cases():
    """Dispersed fixed-horizon and searched cases, with infeasible ones between them."""
    searched = list(dispersions(NOMINAL, 3, seed=5))
    fixed = list(dispersions(small_config(n=12, time_of_flight=45.0), 3, seed=6))
    too_short = small_config(time_of_flight=5.0)
    empty_bracket = small_config(time_of_flight=None, tof_min=1.0, tof_max=3.0)
    return [fixed[0], searched[0], too_short, fixed[1], searched[1], empty_bracket, fixed[2], searched[2]]


@pytest.fixture(scope="module")
def pool_records(cases):
    return solve_many(cases, progress=False)


def check_records(records, cases):
    assert [(r.status, r.error, r.final_mass) for r in records] == sequential(cases)
    for record, config in zip(records, cases, strict=True):
        assert isinstance(record, CaseResult) and record.ok == (record.error is None)
        if record.ok:
            assert record.fuel_used == config.spacecraft.wet_mass - record.final_mass
            assert record.time_of_flight > 0.0
        else:
            assert record.time_of_flight is record.final_mass is record.fuel_used is None


def test_solve_many_matches_sequential_solves_in_order(cases, pool_records):
    check_records(pool_records, cases)
    errors = [r.error for r in pool_records if not r.ok]
    assert errors == ["no trajectory reaches the target in 5 s",
                      "no trajectory reaches the target with a time of flight in [1.000 s, 3.000 s]; the nearest "
                      "landing (landing='nearest', --nearest) comes as close as it can"]
    # Fixed horizons come back as given; searched ones lie inside the automatic bracket.
    assert [pool_records[i].time_of_flight for i in (0, 3, 6)] == [45.0] * 3
    assert all(1.0 < pool_records[i].time_of_flight < 708.4 for i in (1, 4, 7))


@pytest.mark.parametrize("executor", [concurrent.futures.ThreadPoolExecutor, concurrent.futures.ProcessPoolExecutor])
def test_any_executor_and_json_text_give_the_same_records(cases, pool_records, executor):
    with executor(max_workers=2) as pool:
        assert solve_many([c.to_json() for c in cases], executor=pool) == pool_records


def test_no_progress_bar_off_a_terminal(cases, capsys):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        solve_many(cases[:2], executor=pool, progress=True)
    assert capsys.readouterr() == ("", "")


def test_an_unknown_core_count_means_one_worker(cases, pool_records, monkeypatch, capsys):
    monkeypatch.setattr(os, "cpu_count", lambda: None)  # as where the count cannot be found
    assert solve_many(cases, progress=False) == pool_records
    finished = {}
    run_cases(plan_task(), enumerate(cases), lambda index, case, result: finished.__setitem__(index, result),
              progress=False)
    assert [finished[i] for i in range(len(cases))] == pool_records
    assert vexal.cli.main(["study", "--cases", "2", "--n", "10", "--tof", "50"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 3  # the header and two cases


def test_unreadable_text_is_recorded():
    assert solve_text("{") == CaseResult(status="error", error="EOF while parsing an object at line 1 column 1")


def test_dask_executor_on_a_local_cluster(cases, pool_records):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        records = solve_many(cases, executor=client.get_executor(), progress=False)
    assert records == pool_records


@pytest.mark.parametrize("executor, error", [
    ('"processes"', "worker died (signal 9)"),
    ("client.get_executor()", "worker died (every worker that ran it died: KilledWorker)"),
])
def test_a_case_that_kills_its_worker_is_marked_and_the_rest_planned(executor, error):
    # The patched function reaches the workers: forked from the child, or
    # pickled by value (it lives in __main__) for Dask's.
    result = run_python("""
        import os, signal
        import dask
        from distributed import Client, LocalCluster
        import vexal
        from vexal import study

        plan = study.solve_text
        def deadly(text, options, *tag):
            if '"wet_mass": 1999.0' in text:
                os.kill(os.getpid(), signal.SIGKILL)
            return plan(text, options, *tag)
        study.solve_text = deadly

        cases = [vexal.Config(solver=vexal.Solver(n=10 + i % 3, time_of_flight=50.0)) for i in range(12)]
        doomed = cases[5].spacecraft
        doomed.wet_mass = 1999.0
        cases[5].spacecraft = doomed
        if __name__ == "__main__":
            dask.config.set({"distributed.scheduler.allowed-failures": 1})
            with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                              dashboard_address=None) as cluster, Client(cluster) as client:
                records = vexal.solve_many(cases, executor=EXECUTOR, workers=2, progress=False)
            print(records[5].error)
            print(records[:5] + records[6:] == vexal.solve_many(cases[:5] + cases[6:], progress=False))
    """.replace("EXECUTOR", executor))
    assert result.stdout.splitlines() == [error, "True"], result.stdout + result.stderr[-3000:]


def read_rows(path):
    return path.read_text().splitlines()


def test_solve_many_streams_to_a_table_and_resumes_from_it(tmp_path, cases, pool_records):
    out = tmp_path / "cases.csv"
    assert solve_many(cases, progress=False, out=str(out), seed=5) == pool_records
    whole = read_rows(out)
    assert [int(row.split(",")[0]) for row in whole[1:]] == list(range(len(cases)))
    # A table of some of the cases (and a last line cut short) is completed.
    out.write_text("\n".join(whole[:4] + whole[7:]) + "\n" + whole[4][:30])
    planned = []
    record = solve_many(cases, progress=False, out=str(out), seed=5, resume=True,
                        executor=Recording(planned))
    assert record == pool_records and read_rows(out) == whole
    assert [i for i, case in enumerate(cases) if case.to_json() in planned] == [3, 4, 5]
    # Another configuration's table is not resumed.
    with pytest.raises(ValueError, match="another study's table: cases is 8 in it, 7 here"):
        solve_many(cases[1:], progress=False, out=str(out), seed=5, resume=True)
    with pytest.raises(ValueError, match='another study\'s table: solver is "structured" in it, "clarabel" here'):
        solve_many(cases, progress=False, out=str(out), seed=5, resume=True, solver="clarabel")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cases.csv", "cases.csv.study.json"]
    assert read_rows(out) == whole
    # A table of the previous release, whose default solver (Clarabel) was
    # left out of the definition, goes on with Clarabel.
    clarabel = solve_many(cases, progress=False, out=str(out), seed=5, solver="clarabel")
    definition = out.with_name("cases.csv.study.json")
    definition.write_text(definition.read_text().replace(',\n "solver": "clarabel"', ""))
    whole = read_rows(out)
    out.write_text("\n".join(whole[:4]) + "\n")
    assert solve_many(cases, progress=False, out=str(out), seed=5, resume=True) == clarabel
    assert read_rows(out) == whole


class Recording(concurrent.futures.ThreadPoolExecutor):
    """A pool that notes which cases it is given, by their index in `cases`."""

    def __init__(self, planned):
        super().__init__(2)
        self.planned = planned

    def submit(self, fn, text, *rest):
        self.planned.append(text)
        return super().submit(fn, text, *rest)


def test_a_study_stopped_by_ctrl_c_leaves_the_next_one_alone():
    result = run_python("""
        import _thread, threading, vexal
        long = vexal.dispersions(vexal.Config(solver=vexal.Solver(n=3000, time_of_flight=50.0)), 4, seed=1)
        threading.Timer(0.5, _thread.interrupt_main).start()
        try:
            vexal.solve_many(long, workers=2, progress=False)
        except KeyboardInterrupt:
            print("interrupted")
        short = vexal.dispersions(vexal.Config(solver=vexal.Solver(n=20, time_of_flight=50.0)), 2, seed=1)
        print([r.status for r in vexal.solve_many(short, workers=2, progress=False)])
    """)
    assert result.stdout.splitlines() == ["interrupted", "['Solved', 'Solved']"], result.stderr
