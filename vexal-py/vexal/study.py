"""Dispersion (Monte Carlo) studies: perturbed configurations, planned in bulk.

Configurations do not pickle, so work crosses process boundaries as the JSON
text of `Config.to_json`, checked first (the JSON form writes NaN and
infinities as null, which would change the case); each worker plans it with
the package's native module (the fast search by default, its grid on the
worker's own thread: the workers already use every core).
Planning releases the interpreter lock, so a thread pool runs cases in
parallel; a process pool, or any `concurrent.futures.Executor` such as
Dask's `Client.get_executor()`, runs the same call elsewhere.

Cases are submitted a window at a time and each finished one is handed back
at once (`run_cases`), so a study of any size runs in bounded memory and a
table on disk (`StudyTable`) holds every finished case, ready to resume.
"""
import concurrent.futures
import contextlib
import csv
import ctypes
import dataclasses
import hashlib
import io
import json
import math
import os
import re
import signal
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import Any, TypeAlias, cast

import numpy as np

# Imported now, not on first use: NumPy loads its random module lazily, and
# that import swallows a KeyboardInterrupt raised inside it, so a Ctrl-C or
# SIGTERM arriving while a study draws its first case would be lost.
from numpy.random import default_rng
from tqdm.auto import tqdm

import _vexal

from . import _native, interrupts
from .outputs import check_outputs, is_regular, replacing
from .planning import ON_TARGET, Landing, PlanOptions, Search, check_options, check_search

# A case to plan: a Config, or its JSON text.
Case: TypeAlias = _vexal.Config | str


@dataclasses.dataclass(frozen=True)
class Sigma:
    """Dispersions, drawn independently for each case.

    `position` and `velocity` are per axis, in metres and metres per second;
    the others are fractions of the nominal value: `wet_mass` (the fuel load
    kept, so it disperses the dry mass), `thrust` (the rated maximum thrust),
    `fuel` (the fuel load), `isp` (the specific impulse: the fuel
    consumption is divided by 1 + the draw) and `gravity` (the gravity
    vector, scaled). With `distribution="normal"` each is one standard
    deviation; with "uniform" each value is spread evenly over plus or minus
    it.
    """

    position: float = dataclasses.field(
        default=20.0, metadata={"what": "initial position, m per axis"})
    velocity: float = dataclasses.field(
        default=2.0, metadata={"what": "initial velocity, m/s per axis"})
    wet_mass: float = dataclasses.field(
        default=0.005, metadata={"what": "wet mass (fuel load kept), fraction of nominal"})
    thrust: float = dataclasses.field(
        default=0.01, metadata={"what": "rated maximum thrust, fraction of nominal"})
    fuel: float = dataclasses.field(
        default=0.0, metadata={"what": "fuel load, fraction of nominal"})
    isp: float = dataclasses.field(
        default=0.0, metadata={"what": "specific impulse, fraction of nominal"})
    gravity: float = dataclasses.field(
        default=0.0, metadata={"what": "gravity, fraction of nominal"})
    distribution: str = "normal"

    def __post_init__(self) -> None:
        for name in SPREADS:
            value = getattr(self, name)
            if not (isinstance(value, int | float) and math.isfinite(value) and value >= 0.0):
                raise ValueError(f"sigma.{name} must be a finite number of at least 0, got {value!r}")
        if self.distribution not in DISTRIBUTIONS:
            raise ValueError(f"sigma.distribution must be 'normal' or 'uniform', got {self.distribution!r}")


DISTRIBUTIONS: tuple[str, ...] = ("normal", "uniform")
# The dispersed quantities of a Sigma, in its order.
SPREADS: tuple[str, ...] = ("position", "velocity", "wet_mass", "thrust", "fuel", "isp", "gravity")


def dispersions(config: _vexal.Config, n_cases: int, seed: int,
                sigma: Sigma | Mapping[str, Any] = Sigma()) -> list[_vexal.Config]:
    """A list of `n_cases` perturbed copies of `config`, reproducibly.

    The same `seed` gives the same cases, and a shorter study is a prefix of
    a longer one with the same seed. `sigma` is a `Sigma` or a mapping of
    some of its fields.
    """
    return list(iter_dispersions(config, n_cases, seed, sigma))


def iter_dispersions(config: _vexal.Config, n_cases: int, seed: int,
                     sigma: Sigma | Mapping[str, Any] = Sigma()) -> Iterator[_vexal.Config]:
    """The cases of `dispersions`, one at a time: a study of any size in
    bounded memory."""
    if not isinstance(sigma, Sigma):
        sigma = Sigma(**sigma)
    # The start, mass and thrust are drawn from the seed's stream, as they
    # always were; the vehicle's other quantities from a stream of their
    # own, so that adding them changes no earlier study's cases.
    start, vehicle = default_rng(seed), default_rng([seed, 1])
    uniform = sigma.distribution == "uniform"
    nominal = config.spacecraft
    environment, solver = config.environment, config.solver
    gravity = np.array(environment.gravity)
    for _ in range(n_cases):
        draw = start.uniform(-1.0, 1.0, 8) if uniform else start.standard_normal(8)
        more = vehicle.uniform(-1.0, 1.0, 3) if uniform else vehicle.standard_normal(3)
        spacecraft = config.spacecraft
        spacecraft.initial_position = (nominal.initial_position + sigma.position * draw[0:3]).tolist()
        spacecraft.initial_velocity = (nominal.initial_velocity + sigma.velocity * draw[3:6]).tolist()
        spacecraft.wet_mass = nominal.wet_mass * (1.0 + sigma.wet_mass * draw[6])
        spacecraft.real_max_thrust = nominal.real_max_thrust * (1.0 + sigma.thrust * draw[7])
        if sigma.fuel:
            spacecraft.fuel = nominal.fuel * (1.0 + sigma.fuel * more[0])
        if sigma.isp:
            spacecraft.fuel_consumption = nominal.fuel_consumption / (1.0 + sigma.isp * more[1])
        if sigma.gravity:
            environment.gravity = (gravity * (1.0 + sigma.gravity * more[2])).tolist()
        yield _vexal.Config(spacecraft=spacecraft, environment=environment, solver=solver)


@dataclasses.dataclass(frozen=True)
class CaseResult:
    """The outcome of planning one case.

    On success `status` is the solver's ("Solved" or "AlmostSolved") and
    `error` is None; on failure `status` is "error", `error` holds the
    planner's message and the figures are None.
    """

    status: str
    error: str | None = None
    time_of_flight: float | None = None
    final_mass: float | None = None
    fuel_used: float | None = None
    solves: int | None = None
    landing_error: float | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def on_target(self) -> bool:
        """Planned, and landing within ON_TARGET metres of the target."""
        return self.ok and cast(float, self.landing_error) <= ON_TARGET  # a planned case has its figures




def solve_text(text: str, options: PlanOptions | None = None, tag: object = None) -> CaseResult:
    """Plans the configuration given as JSON text; never raises a planner
    error. `options` are the keyword options of the native planner. `tag`
    is not read: it makes each submission's arguments unique, so that an
    executor keying tasks by their arguments (Dask) plans identical cases
    each, and a case tried again anew rather than from its failed task."""
    merged: PlanOptions = {**DEFAULT_OPTIONS, **(options or {})}
    try:
        data = _native.plan(text, threads=1, **merged)
    except ValueError as error:
        if not planner_error(error):
            raise
        return failed(str(error))
    except MemoryError:
        return failed("out of memory")
    config = _vexal.Config.from_json(text)  # read once already: cannot fail
    return CaseResult(
        status=data["status"],
        time_of_flight=data["time_of_flight"],
        final_mass=data["final_mass"],
        fuel_used=config.spacecraft.wet_mass - data["final_mass"],
        solves=data["solves"],
        landing_error=data["landing_error"],
    )


# What an option left out means: the front door's defaults, not the native module's.
DEFAULT_OPTIONS: PlanOptions = {"search": "fast", "pointing": True}


def planner_error(error: ValueError) -> bool:
    """A ValueError of the planner (a case that cannot be planned), not of
    the caller; the planner marks its own with their kind."""
    return hasattr(error, "kind")


def failed(message: str) -> CaseResult:
    return CaseResult(status="error", error=message)


PR_SET_PDEATHSIG: int = 1


def start_worker(parent: int) -> None:
    """Worker processes leave Ctrl-C to the parent, which stops them, and
    die with it: nothing keeps planning for a parent that is gone."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except (OSError, AttributeError):  # not Linux
        pass
    if os.getppid() != parent:  # the parent died before the line above
        os._exit(1)


def process_pool(workers: int | None) -> concurrent.futures.ProcessPoolExecutor:
    return concurrent.futures.ProcessPoolExecutor(workers, initializer=start_worker, initargs=(os.getpid(),))


EXECUTORS: dict[str, Callable[[int | None], concurrent.futures.Executor]] = {
    "threads": concurrent.futures.ThreadPoolExecutor,
    "processes": process_pool,
}
DEFAULT_EXECUTOR: str = "threads"

# Cases in flight per worker: enough to keep every worker busy, few enough
# that a study of 10^5 cases never holds more than a handful of futures.
WINDOW_PER_WORKER: int = 4
WINDOW_FOREIGN: int = 256  # an executor of unknown size, e.g. a Dask cluster


def died(exitcode: int | None) -> CaseResult:
    if exitcode is not None and exitcode < 0:
        return failed(f"worker died (signal {-exitcode})")
    return failed(f"worker died (exit status {exitcode})" if exitcode is not None else "worker died")


class Pool:
    """The executor cases run on. One of ours ("threads", "processes") is
    replaced by a fresh one when a worker dies and stopped on Ctrl-C; a
    foreign one (any Executor) is left to its owner."""

    def __init__(self, executor: str | concurrent.futures.Executor, workers: int) -> None:
        self.own = isinstance(executor, str)
        if self.own and executor not in EXECUTORS:
            raise ValueError(f"executor must be 'threads', 'processes' or an Executor, got {executor!r}")
        self.kind, self.workers = executor, workers
        self.executor = EXECUTORS[executor](workers) if isinstance(executor, str) else executor
        self.window = WINDOW_PER_WORKER * workers if self.own else WINDOW_FOREIGN
        # The one-worker pool a suspect case runs on.
        self.single: concurrent.futures.ProcessPoolExecutor | None = None
        self.stopped = False  # its workers killed

    def submit(self, text: str, options: PlanOptions | None,
               tag: tuple[int, int] | None = None) -> concurrent.futures.Future[CaseResult]:
        return self.executor.submit(solve_text, text, options, tag)

    def renew(self) -> None:
        """A fresh pool, after a worker died and took this one with it."""
        self.executor.shutdown(wait=True, cancel_futures=True)
        self.executor = EXECUTORS[cast(str, self.kind)](self.workers)  # only our own pools are renewed

    def alone(self, text: str, options: PlanOptions | None) -> CaseResult:
        """Plans one case in a worker of its own, so a death is its own: the
        retry of a case that was in flight when a worker died."""
        self.single = process_pool(1)
        try:
            future = self.single.submit(solve_text, text, options)
            wait_any([future])
            return future.result()
        except BrokenProcessPool:
            (worker,) = self.single._processes.values()
            # The pool's own thread reaps the dead worker too; read its exit
            # status only once that thread is done, or both may race for it.
            self.single.shutdown(wait=True)
            worker.join()
            return died(worker.exitcode)
        except BaseException:
            kill_workers(self.single)
            raise
        finally:
            self.single.shutdown(wait=True)
            self.single = None

    def stop(self, futures: Sequence[concurrent.futures.Future[CaseResult]]) -> None:
        """Ends the work now: pending cases cancelled, running ones stopped."""
        for future in futures:
            future.cancel()
        if not self.own:
            return
        if self.kind == "threads":
            interrupts.stop_plans(futures)  # plans on other threads cannot see the signal
        else:
            kill_workers(self.executor)
            self.stopped = True

    def close(self) -> None:
        if not self.own:
            return
        if not self.stopped:
            self.executor.shutdown(wait=True, cancel_futures=True)
            return
        # Its workers were killed: the pool's thread notices and ends; the
        # workers are reaped here, each given a moment.
        workers = list((getattr(self.executor, "_processes", None) or {}).values())
        self.executor.shutdown(wait=False, cancel_futures=True)
        for worker in workers:
            worker.join(WORKER_EXIT_WAIT)


# Seconds to wait for a killed worker process to be reaped.
WORKER_EXIT_WAIT: float = 5.0


def kill_workers(executor: concurrent.futures.Executor | None) -> None:
    """Kills a process pool's workers by their PIDs, at once."""
    for worker in list((getattr(executor, "_processes", None) or {}).values()):
        with contextlib.suppress(OSError, ValueError):
            worker.kill()


def wait_any(futures: Iterable[concurrent.futures.Future[Any]]) -> set[concurrent.futures.Future[Any]]:
    """The futures done once one is, asking after noted signals meanwhile."""
    while True:
        interrupts.check()
        done, _ = concurrent.futures.wait(futures, timeout=interrupts.POLL,
                                          return_when=concurrent.futures.FIRST_COMPLETED)
        if done:
            return done


def run_cases(cases: Iterable[tuple[int, Case]], record: Callable[[int, Case, CaseResult], object],
              executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR, workers: int | None = None,
              options: PlanOptions | None = None, progress: bool = True, total: int | None = None,
              initial: int = 0) -> None:
    """Plans `cases`, pairs of (index, Config or JSON text), a window at a
    time, and calls `record(index, case, result)` in this thread as each one
    finishes, in the order they finish.

    A Config that fails the input checks is recorded as that case's error.
    A worker process that dies takes its pool with it: the cases in flight
    are planned again, each alone in a fresh worker, and one that kills
    that worker too is recorded as "worker died (signal N)"; the study goes
    on with a fresh pool. A case a foreign executor lost with its worker
    (Dask's KilledWorker) may only have shared that worker with the case
    that killed it: such cases are planned again at the end, one at a time,
    and one lost again is recorded as that case's error; any other exception
    of a foreign executor is its case's error at once. On Ctrl-C,
    or any exception from `record`, pending cases are cancelled, running
    ones stopped, and the exception raised. On the main thread a Ctrl-C
    handled the default way is only noted while the executor's own code
    runs, and acted on here between its steps (see `interrupts`), so that
    it cannot leave the executor half stopped.
    """
    workers = workers or os.cpu_count() or 1
    with interrupts.watching():
        landing = (options or {}).get("landing", "target")
        pool = Pool(executor, workers)
        pending: dict[concurrent.futures.Future[CaseResult], tuple[int, Case, str]] = {}
        bar = tqdm(total=total, initial=initial, unit="case", desc="planning", disable=None if progress else True)
        failures = 0
        lost: list[tuple[int, Case, str]] = []  # cases a foreign executor lost with a worker, for one more try

        def finish(index: int, case: Case, result: CaseResult) -> None:
            nonlocal failures
            record(index, case, result)
            failures += not result.ok
            bar.set_postfix(failed=failures, refresh=False)
            bar.update(1)

        try:
            queue = iter(cases)
            more = True
            unsent: list[tuple[int, Case, str]] = []  # refused by a pool that had just broken
            while True:
                while (more or unsent) and len(pending) < pool.window:
                    if unsent:
                        index, case, text = unsent.pop()
                    else:
                        item = next(queue, None)
                        if item is None:
                            more = False
                            break
                        index, case = item
                        try:
                            text = case if isinstance(case, str) else checked_text(case, landing)
                        except ValueError as error:
                            if not planner_error(error):
                                raise
                            finish(index, case, failed(str(error)))
                            continue
                    try:
                        pending[pool.submit(text, options, (index, 0))] = (index, case, text)
                    except BrokenProcessPool:  # a worker died since the last wait
                        if not pool.own:
                            raise
                        unsent.append((index, case, text))
                        if pending:
                            break  # the cases in flight fail with the pool: handled below
                        pool.renew()  # none in flight: the death took no case with it
                if not pending:
                    break
                done = wait_any(pending)
                suspects = []
                for future in done:
                    index, case, text = pending.pop(future)
                    try:
                        result = future.result()
                    except BrokenProcessPool:
                        if not pool.own:
                            raise
                        suspects.append((index, case, text))
                        continue
                    except Exception as error:  # the executor's, not the planner's
                        if lost_with_worker(error):
                            lost.append((index, case, text))
                            continue
                        result = failed(executor_error(error))
                    finish(index, case, result)
                if suspects:
                    # Every case in flight failed with the pool.
                    suspects += pending.values()
                    pending.clear()
                    pool.renew()
                    for index, case, text in sorted(suspects, key=lambda s: s[0]):
                        finish(index, case, pool.alone(text, options))
            # Alone on the cluster, a bystander plans; the case that kills its
            # worker is lost again, and only it is marked.
            for index, case, text in sorted(lost, key=lambda s: s[0]):
                future = pool.submit(text, options, (index, 1))
                pending[future] = (index, case, text)
                wait_any([future])
                try:
                    result = future.result()
                except Exception as error:
                    result = failed(executor_error(error))
                del pending[future]
                finish(index, case, result)
        except BaseException:
            pool.stop(list(pending))
            raise
        finally:
            bar.close()
            pool.close()


def lost_with_worker(error: BaseException) -> bool:
    return type(error).__name__ == "KilledWorker"


def executor_error(error: BaseException) -> str:
    """The error of a case whose future failed in a foreign executor."""
    if lost_with_worker(error):  # Dask, after its retries on other workers
        return "worker died (every worker that ran it died: KilledWorker)"
    return f"{type(error).__name__}: {error}"


def checked_text(config: _vexal.Config, landing: Landing = "target") -> str:
    """The JSON text of a Config whose values have passed the input checks,
    so that it plans the same in any worker."""
    _native.checked(config, landing)
    return config.to_json()


# A study's table: one row per case, its index and seed, its dispersed
# inputs, then its outcome.
INPUTS: tuple[str, ...] = ("x0", "y0", "z0", "vx0", "vy0", "vz0", "wet_mass", "real_max_thrust", "fuel",
                           "fuel_consumption", "gx", "gy", "gz")
OUTCOME: tuple[str, ...] = tuple(field.name for field in dataclasses.fields(CaseResult))
COLUMNS: tuple[str, ...] = ("case", "seed", *INPUTS, *OUTCOME)
FIGURES: tuple[str, ...] = ("time_of_flight", "final_mass", "fuel_used", "solves", "landing_error")
PLANNED: tuple[str, ...] = ("Solved", "AlmostSolved")  # the statuses of a planned case


def inputs_of(case: Case) -> list[float]:
    config = _vexal.Config.from_json(case) if isinstance(case, str) else case
    vehicle = config.spacecraft
    return [*vehicle.initial_position, *vehicle.initial_velocity, vehicle.wet_mass, vehicle.real_max_thrust,
            vehicle.fuel, vehicle.fuel_consumption, *config.environment.gravity]


def table_row(index: int, seed: int | None, case: Case, result: CaseResult) -> list[object]:
    return [index, seed, *inputs_of(case), *(getattr(result, name) for name in OUTCOME)]


def result_of(row: Sequence[str]) -> CaseResult:
    """The CaseResult a table row records."""
    values = dict(zip(COLUMNS, row, strict=True))
    number: dict[str, Callable[[str], Any]] = {"solves": int}  # the others are floats
    return CaseResult(**{name: number.get(name, float)(values[name]) if values[name] != "" else None
                         for name in OUTCOME if name not in ("status", "error")},
                      status=values["status"], error=values["error"] or None)


def cell(text: str) -> str:
    """A cell quoted in a message: in full, or its start when long."""
    return repr(text) if len(text) <= 40 else f"{text[:40]!r}... ({len(text)} characters)"


def outcome_problem(values: Mapping[str, str]) -> str | None:
    """What is wrong with a row's outcome, if anything: a planned case has
    every figure, finite; a failed one its message and no figure."""
    status, error = values["status"], values["error"]
    if status == "error":
        filled = [name for name in FIGURES if values[name] != ""]
        if not error:
            return "status error without its message"
        return f"{filled[0]} {cell(values[filled[0]])} given for a failed case" if filled else None
    if status not in PLANNED:
        return f"status {cell(status)} is neither a solver's success nor 'error'"
    if error:
        return f"an error given for a planned case ({status})"
    for name in FIGURES:
        text = values[name]
        try:
            value = int(text) if name == "solves" else float(text)
        except ValueError:
            return f"{name} {cell(text)} is not a number"
        if not math.isfinite(value):
            return f"{name} {cell(text)} is not a finite number"
    return None


def read_rows(source: str) -> list[tuple[int, list[str]]]:
    """The rows of a study table after its header, each with the number of
    the line it ends on; a last line cut short (a run killed while writing
    it) is dropped. A file that is not such a table is refused naming it."""
    try:
        with open(source, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        return []
    if data and not data.endswith(b"\n"):
        data = data[:data.rfind(b"\n") + 1]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{source}: not a study table: byte {error.start} is not UTF-8 text") from None
    reader = csv.reader(io.StringIO(text, newline=""))
    rows = []
    try:
        header = next(reader, None)
        if header is None:
            return []
        if tuple(header) != COLUMNS:
            raise ValueError(f"{source}: not a study table (its columns are not {', '.join(COLUMNS)})")
        for row in reader:
            rows.append((reader.line_num, row))
    except csv.Error as error:
        raise ValueError(f"{source}: line {reader.line_num}: not a row of a study table ({error})") from None
    return rows


def definition_problem(there: Any, here: Any, key: str = "") -> str | None:
    """The first field, in `here`'s order, whose value differs between two
    study definitions, with both values; None when they agree."""
    if isinstance(here, dict) and isinstance(there, dict):
        for name in [*here, *(k for k in there if k not in here)]:
            problem = definition_problem(there.get(name, ABSENT), here.get(name, ABSENT),
                                         f"{key}.{name}" if key else name)
            if problem:
                return problem
        return None
    if there == here and type(there) is type(here):
        return None
    shown = ["absent" if v is ABSENT else json.dumps(v) for v in (there, here)]
    return f"{key or 'the definition'} is {shown[0]} in it, {shown[1]} here"


ABSENT = object()
CASE_INDEX = re.compile(r"[0-9]{1,19}")


class StudyTable:
    """The CSV table of a study at `path`, written as cases finish.

    What defines the study (`definition`: its configuration, dispersions,
    seed, case count, search and options, as JSON values) is kept beside the
    table in `path + ".study.json"`. Rows go to `path + ".part"` as they
    come, one flushed line each; `finish` writes them to `path` sorted by
    case (atomically) and drops the part file. The part file, while there
    is one, holds the study the definition names; otherwise `path` does.

    With `resume` the rows already written (in the part file a killed run
    left, else in `path`) are taken over, and `done` holds them by case
    index; `cases` are this study's cases in order, to check them against.
    Everything is checked before any file is touched: a table of another
    study, or a row that is not one of this study's, is refused with a
    ValueError and every file left as it was.
    """

    def __init__(self, path: str, definition: Mapping[str, Any], n_cases: int, seed: int | None = None,
                 resume: bool = False, cases: Iterable[Case] = ()) -> None:
        self.path, self.part, self.definition_path = path, path + ".part", path + ".study.json"
        self.definition = json.loads(json.dumps(definition))  # as it reads back
        self.n_cases, self.seed = n_cases, seed
        self.done: dict[int, list[str]] = self.taken_over(cases) if resume else {}
        # Checked: from here on files change.
        with replacing(self.part) as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(COLUMNS)
            writer.writerows(self.done[index] for index in sorted(self.done))
        self.file = open(self.part, "a", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file, lineterminator="\n")
        # A resumed table's definition is on disk already; a new one's is
        # written with its first row, so that until then the files left by
        # an earlier study still describe each other.
        self.defined = bool(self.done)

    def taken_over(self, cases: Iterable[Case]) -> dict[int, list[str]]:
        source = self.part if os.path.lexists(self.part) else self.path
        if not os.path.lexists(source):
            return {}
        self.check_definition()
        rows = read_rows(source)
        seed = "" if self.seed is None else str(self.seed)
        found: dict[int, list[str]] = {}
        first_line: dict[int, int] = {}
        for line, row in rows:
            where = f"{source}: line {line}"
            if len(row) != len(COLUMNS):
                raise ValueError(f"{where}: has {len(row)} fields, not {len(COLUMNS)}")
            if not (CASE_INDEX.fullmatch(row[0]) and int(row[0]) < self.n_cases):
                raise ValueError(f"{where}: case {cell(row[0])} is not one of this study's cases, "
                                 f"0 to {self.n_cases - 1}")
            index = int(row[0])
            if row[1] != seed:
                raise ValueError(f"{where}: case {index} has seed {cell(row[1])}, not this study's "
                                 f"{seed or 'none'}")
            problem = outcome_problem(dict(zip(COLUMNS, row, strict=True)))
            if problem:
                raise ValueError(f"{where}: case {index}: {problem}")
            if index in found and found[index] != row:
                raise ValueError(f"{where}: case {index} again, with other contents than on line "
                                 f"{first_line[index]}")
            found[index] = row
            first_line.setdefault(index, line)
        for index, case in enumerate(cases):
            if index > max(found, default=-1):
                break
            if index in found and found[index][2:2 + len(INPUTS)] != [str(v) for v in inputs_of(case)]:
                raise ValueError(f"{source}: line {first_line[index]}: case {index} has other inputs than "
                                 f"this study's case {index}; resume with the same study")
        return found

    def check_definition(self) -> None:
        """Refuses to resume a table whose study is not this one."""
        try:
            with open(self.definition_path, encoding="utf-8") as file:
                there = json.load(file)
        except FileNotFoundError:
            raise ValueError(f"{self.path}: no study definition beside it ({self.definition_path}), so it "
                             "cannot be checked against this study; run without --resume to start anew") from None
        except (ValueError, UnicodeDecodeError) as error:
            raise ValueError(f"{self.definition_path}: not a study definition ({error})") from None
        problem = definition_problem(there, self.definition)
        if problem:
            raise ValueError(f"{self.path}: another study's table: {problem} ({self.definition_path}); "
                             "resume with the same settings")

    def define(self) -> None:
        if not self.defined:
            with replacing(self.definition_path) as file:
                json.dump(self.definition, file, indent=1)
                file.write("\n")
            self.defined = True

    def add(self, index: int, case: Case, result: CaseResult) -> None:
        self.define()
        self.writer.writerow(table_row(index, self.seed, case, result))
        self.file.flush()

    def finish(self) -> list[list[str]]:
        """Writes the sorted table to its path; returns the rows."""
        self.file.close()
        self.define()
        rows = [row for _, row in read_rows(self.part)]
        rows.sort(key=lambda row: int(row[0]))
        with replacing(self.path) as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(COLUMNS)
            writer.writerows(rows)
        os.unlink(self.part)
        return rows

    def close(self) -> None:
        """Leaves the part file for a later resume, unless it was new and
        holds nothing: then the files are as they were."""
        self.file.close()
        if not self.defined:
            os.unlink(self.part)


def solve_many(configs: Iterable[Case], executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR,
               progress: bool = True, search: Search = "fast", workers: int | None = None, out: str | None = None,
               resume: bool = False, seed: int | None = None, pointing: bool = True,
               landing: Landing = "target") -> list[CaseResult]:
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
    `out`, and KeyboardInterrupt raised. `pointing` and `landing` are
    `vexal.plan`'s.
    """
    check_search(search)
    check_options(pointing, landing)
    options: PlanOptions = {"search": search, "pointing": pointing, "landing": landing}
    configs = list(configs)
    for i, config in enumerate(configs):
        try:
            _native.checked(config, landing)
        except ValueError as error:
            raise ValueError(f"case {i}: {error}") from None
    records: list[CaseResult | None] = [None] * len(configs)

    def record(index: int, case: Case, result: CaseResult) -> None:
        records[index] = result
        if table is not None:
            table.add(index, case, result)

    workers = min(workers or os.cpu_count() or 1, max(1, len(configs)))
    with interrupts.watching():
        table = None
        if out is not None:
            check_table_path(out)
            definition = {"cases": len(configs), "seed": seed, **options, "configs": digest(configs)}
            table = StudyTable(out, definition, len(configs), seed, resume, configs)
            for index, row in table.done.items():
                records[index] = result_of(row)
        try:
            cases = ((i, c) for i, c in enumerate(configs) if records[i] is None)
            run_cases(cases, record, executor, workers, options, progress,
                      total=len(configs), initial=len(configs) - records.count(None))
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
    return cast(list[CaseResult], records)  # run_cases recorded every case


def digest(configs: Sequence[Case]) -> str:
    """A fingerprint of a list of cases, whatever form each is given in."""
    sha = hashlib.sha256()
    for case in configs:
        config = _vexal.Config.from_json(case) if isinstance(case, str) else case
        sha.update(config.to_json().encode() + b"\n")
    return f"sha256:{sha.hexdigest()}"


def check_table_path(path: str) -> None:
    """Refuses a study table path that cannot take its table, part file
    and definition: a study's table is a regular file of its own."""
    check_outputs([path, path + ".part", path + ".study.json"])
    if not is_regular(path):
        raise ValueError(f"{path}: not a regular file; a study's table must be one, to resume it")
