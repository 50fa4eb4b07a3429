"""Dispersion (Monte Carlo) studies: perturbed configurations, planned in bulk.

The cases come from `cases` (`dispersions`, `Sigma`), run on the study
engine (`engine.run_cases`: threads, processes or any executor, such as
Dask's `Client.get_executor()`) and stream into a resumable table
(`table.StudyTable`). This module is the planning task: `solve_text` plans
one case in a worker with the package's native module (the fast search by
default, its grid on the worker's own thread: the workers already use every
core), and `solve_many` plans a list of configurations.
"""
import concurrent.futures
import dataclasses
import functools
import hashlib
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypeAlias, cast

import _vexal

from . import _native, errors, interrupts
from .cases import DISTRIBUTIONS, SPREADS, Sigma, dispersions, iter_dispersions
from .engine import DEFAULT_EXECUTOR, EXECUTORS, Outcome, R, Task, attempt, run_cases
from .planning import (
    ON_TARGET,
    Landing,
    PlanOptions,
    Search,
    SolverChoice,
    check_options,
    check_search,
    check_solver,
    read_config,
)
from .table import Schema, StudyTable, check_table_path, recorded

__all__ = ["CaseResult", "COLUMNS", "DEFAULT_EXECUTOR", "DISTRIBUTIONS", "EXECUTORS", "ON_TARGET", "PLAN_TABLE",
           "SPREADS", "Sigma", "StudyTable", "check_table_path", "dispersions", "iter_dispersions", "plan_task",
           "run_cases", "run_study", "solve_many", "solve_text"]

# A case to plan: a Config, or its JSON text.
Case: TypeAlias = _vexal.Config | str


@dataclasses.dataclass(frozen=True)
class CaseResult(Outcome):
    """The outcome of planning one case.

    On success `status` is the solver's ("Solved" or "AlmostSolved") and
    `error` is None; on failure `status` is "error", `error` holds the
    planner's message and the figures are None.
    """

    time_of_flight: float | None = None
    final_mass: float | None = None
    fuel_used: float | None = None
    solves: int | None = None
    landing_error: float | None = None

    @property
    def on_target(self) -> bool:
        """Planned, and landing within ON_TARGET metres of the target."""
        return self.ok and cast(float, self.landing_error) <= ON_TARGET  # a planned case has its figures


def solve_text(text: str, options: PlanOptions | None = None, tag: object = None) -> CaseResult:
    """Plans the configuration given as JSON text; never raises a planner
    error. `options` are the keyword options of the native planner; `tag`
    is the engine's (see `engine.Task`)."""
    merged: PlanOptions = {**DEFAULT_OPTIONS, **(options or {})}
    data = attempt(lambda: _native.plan(text, threads=1, **merged))
    if isinstance(data, str):
        return failed(data)
    config = _vexal.Config.from_json(text)  # read once already: cannot fail
    return CaseResult(
        status=data["status"],
        time_of_flight=data["time_of_flight"],
        final_mass=data["final_mass"],
        fuel_used=config.spacecraft.wet_mass - data["final_mass"],
        solves=data["solves"],
        landing_error=data["landing_error"],
    )


# What an option left out means: the front door's defaults, not the native
# module's; a nearest landing's tolerance is recorded unless 0, the exact
# least error that tables of nearest landings were planned with before it was.
DEFAULT_OPTIONS: PlanOptions = {"search": "fast", "pointing": True, "landing_tolerance": 0.0}


def failed(message: str) -> CaseResult:
    return CaseResult(status="error", error=message)


def checked_text(case: Case, landing: Landing = "target") -> str:
    """The JSON text of a case whose values have passed the input checks, so
    that it plans the same in any worker; text is given back as the Config
    it reads as would write it, so a case has one text whatever its form."""
    config = read_config(case) if isinstance(case, str) else case
    _native.checked(config, landing)
    return config.to_json()


def plan_task(options: PlanOptions | None = None) -> Task[CaseResult]:
    """Planning each case with `options` (the native planner's keywords)."""
    landing = (options or {}).get("landing", "target")
    return Task(solve_text, (options,), functools.partial(checked_text, landing=landing), failed)


def inputs_of(case: Case) -> list[float]:
    config = _vexal.Config.from_json(case) if isinstance(case, str) else case
    vehicle = config.spacecraft
    return [*vehicle.initial_position, *vehicle.initial_velocity, vehicle.wet_mass, vehicle.real_max_thrust,
            vehicle.fuel, vehicle.fuel_consumption, *config.environment.gravity]


# A planning study's table: one row per case, its index and seed, its
# dispersed inputs, then its outcome.
PLAN_TABLE = Schema(
    inputs=("x0", "y0", "z0", "vx0", "vy0", "vz0", "wet_mass", "real_max_thrust", "fuel", "fuel_consumption",
            "gx", "gy", "gz"),
    inputs_of=inputs_of, result=CaseResult, succeeded=("Solved", "AlmostSolved"))
COLUMNS: tuple[str, ...] = PLAN_TABLE.columns


def solve_many(configs: Iterable[Case], executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR,
               progress: bool = True, search: Search = "fast", workers: int | None = None, out: str | None = None,
               resume: bool = False, seed: int | None = None, pointing: bool = True,
               landing: Landing = "target", solver: SolverChoice | None = None,
               landing_tolerance: float = _native.DEFAULT_LANDING_TOLERANCE) -> list[CaseResult]:
    """Plans every configuration and returns one `CaseResult` each, in order.

    `configs` holds `vexal.Config` objects or their JSON text; every one is
    checked before any is planned (a ValueError names the case and the
    field). Planning failures (infeasible cases) are recorded, not raised.
    `executor` is "threads" (the default: planning releases the lock),
    "processes", or any `concurrent.futures.Executor` (for example
    `distributed.Client.get_executor()`); `workers` sizes the first two
    (default: all cores, at most one per case). A progress bar (cases/s,
    failures so far) shows on a terminal or in a notebook when `progress`
    is true.

    With `out`, a path, each finished case is appended to that CSV table at
    once (case index, `seed`, dispersed inputs, outcome), and the table is
    sorted by case at the end; with `resume` the cases already in it are
    not planned again, their results are read from it. On Ctrl-C pending
    cases are cancelled, running ones stopped, the finished ones written to
    `out`, and KeyboardInterrupt raised. `pointing`, `landing`, `solver`
    and `landing_tolerance` are `vexal.plan`'s; without a `solver` a resumed
    table goes on with the one it was planned with.
    """
    check_search(search)
    check_options(pointing, landing, landing_tolerance)
    if solver is None:
        resumed = resume and out is not None and recorded(out, "solver", ABSENT_OPTIONS["solver"])
        solver = resumed or _native.DEFAULT_SOLVER
    check_solver(solver)
    options: PlanOptions = {"search": search, "pointing": pointing, "landing": landing, "solver": solver}
    if landing == "nearest" and landing_tolerance != 0.0:
        options["landing_tolerance"] = float(landing_tolerance)
    return run_study(plan_task(options), PLAN_TABLE, list(configs), options, executor, workers, progress, out,
                     resume, seed, ABSENT_OPTIONS)


# What an option missing from a table's definition meant to the release that
# wrote it: the solver was recorded only when it was not that release's
# default, Clarabel.
ABSENT_OPTIONS: dict[str, Any] = {"solver": "clarabel"}


def run_study(task: Task[R], schema: Schema, cases: Sequence[Any], options: Mapping[str, Any],
              executor: str | concurrent.futures.Executor, workers: int | None, progress: bool, out: str | None,
              resume: bool, seed: int | None, absent: Mapping[str, Any] | None = None) -> list[R]:
    """Runs `task` on every case and returns the results in order: the body
    of `solve_many` and of every study like it. Every case passes its input
    checks before any runs; with `out` the results stream into a resumable
    table whose definition is the case count, `seed`, `options` and a digest
    of the cases."""
    texts = []
    for i, case in enumerate(cases):
        try:
            texts.append(task.text_of(case))
        except ValueError as error:
            raise (errors.error(error.kind, f"case {i}: {error}") if isinstance(error, errors.VexalError)
                   else ValueError(f"case {i}: {error}")) from None
    records: list[R | None] = [None] * len(cases)

    def record(index: int, case: Any, result: R) -> None:
        records[index] = result
        if table is not None:
            table.add(index, case, result)

    workers = min(workers or os.cpu_count() or 1, max(1, len(cases)))
    with interrupts.watching():
        table = None
        if out is not None:
            check_table_path(out)
            definition = {"cases": len(cases), "seed": seed, **options, "configs": digest(texts)}
            table = StudyTable(out, schema, definition, len(cases), seed, resume, cases, absent)
            for index, row in table.done.items():
                records[index] = schema.result_of(row)
        try:
            todo = ((i, c) for i, c in enumerate(cases) if records[i] is None)
            run_cases(task, todo, record, executor, workers, progress,
                      total=len(cases), initial=len(cases) - records.count(None))
        except KeyboardInterrupt:
            if table is not None:
                table.finish()
            raise
        except BaseException:
            if table is not None:
                table.close()
            raise
        if table is not None:
            table.finish()
    return cast(list[R], records)  # run_cases recorded every case


def digest(texts: Iterable[str]) -> str:
    """A fingerprint of a list of cases, from the text each crosses as."""
    sha = hashlib.sha256()
    for text in texts:
        sha.update(text.encode() + b"\n")
    return f"sha256:{sha.hexdigest()}"
