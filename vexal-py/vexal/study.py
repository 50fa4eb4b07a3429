"""Dispersion (Monte Carlo) studies: perturbed configurations, planned in bulk.

Configurations do not pickle, so work crosses process boundaries as the JSON
text of `Config.to_json`; each worker plans it with the package's native module
(the same search as `_vexal.solve` by default). Planning releases the
interpreter lock, so a thread pool runs cases in parallel; a process pool,
or any `concurrent.futures.Executor` such as Dask's
`Client.get_executor()`, runs the same call elsewhere.
"""
import concurrent.futures
import dataclasses
import os
import signal
import sys

import numpy as np
from tqdm import tqdm

import _vexal

from . import _native
from .planning import check_options, check_search


@dataclasses.dataclass(frozen=True)
class Sigma:
    """One-sigma dispersions, drawn independently from normal distributions.

    `position` and `velocity` are per axis, in the configuration's units
    (metres, metres per second); `wet_mass` and `thrust` are fractions of the
    nominal wet mass and rated maximum thrust. The fuel load is not
    perturbed, so a wet-mass dispersion is a dry-mass dispersion.
    """

    position: float = dataclasses.field(
        default=20.0, metadata={"what": "initial position, m per axis"})
    velocity: float = dataclasses.field(
        default=2.0, metadata={"what": "initial velocity, m/s per axis"})
    wet_mass: float = dataclasses.field(
        default=0.005, metadata={"what": "wet mass, fraction of nominal"})
    thrust: float = dataclasses.field(
        default=0.01, metadata={"what": "rated maximum thrust, fraction of nominal"})


def dispersions(config, n_cases, seed, sigma=Sigma()):
    """Yields `n_cases` perturbed copies of `config`, reproducibly.

    The same `seed` gives the same cases, and a shorter study is a prefix of
    a longer one with the same seed. `sigma` is a `Sigma` or a mapping of
    some of its fields.
    """
    if not isinstance(sigma, Sigma):
        sigma = Sigma(**sigma)
    rng = np.random.default_rng(seed)
    nominal = config.spacecraft
    environment, solver = config.environment, config.solver
    for _ in range(n_cases):
        draw = rng.standard_normal(8)
        spacecraft = config.spacecraft
        spacecraft.initial_position = (nominal.initial_position + sigma.position * draw[0:3]).tolist()
        spacecraft.initial_velocity = (nominal.initial_velocity + sigma.velocity * draw[3:6]).tolist()
        spacecraft.wet_mass = nominal.wet_mass * (1.0 + sigma.wet_mass * draw[6])
        spacecraft.real_max_thrust = nominal.real_max_thrust * (1.0 + sigma.thrust * draw[7])
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
    def ok(self):
        return self.error is None

    @property
    def on_target(self):
        """Planned, and landing within ON_TARGET metres of the target."""
        return self.ok and self.landing_error <= ON_TARGET


# A nearest landing this close counts as reaching the target.
ON_TARGET = 0.01


def solve_text(text, search="golden", pointing=False, landing="target"):
    """Plans the configuration given as JSON text; never raises a planner error."""
    try:
        config = _vexal.Config.from_json(text)
        data = _native.plan(text, search, 2e-4, pointing, landing)
    except ValueError as error:
        return CaseResult(status="error", error=str(error))
    return CaseResult(
        status=data["status"],
        time_of_flight=data["time_of_flight"],
        final_mass=data["final_mass"],
        fuel_used=config.spacecraft.wet_mass - data["final_mass"],
        solves=data["solves"],
        landing_error=data["landing_error"],
    )


def ignore_interrupts():
    """Worker processes leave Ctrl-C to the parent, which stops them."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


EXECUTORS = {
    "threads": concurrent.futures.ThreadPoolExecutor,
    "processes": lambda workers: concurrent.futures.ProcessPoolExecutor(workers, initializer=ignore_interrupts),
}
DEFAULT_EXECUTOR = "threads"


def solve_many(configs, executor=DEFAULT_EXECUTOR, progress=True, search="golden", workers=None,
               pointing=False, landing="target"):
    """Plans every configuration and returns one `CaseResult` each, in order.

    `configs` holds `vexal.Config` objects or their JSON text; every one is
    checked before any is planned (a ValueError names the case and the
    field). Planning failures (infeasible cases) are recorded, not raised.
    `executor` is "threads" (the default: planning releases the lock),
    "processes", or any `concurrent.futures.Executor` (for example
    `distributed.Client.get_executor()`); `workers` sizes the first two
    (default: all cores). A progress bar is shown when `progress` is true
    and stdout is a terminal. On Ctrl-C pending cases are cancelled, running
    ones stopped, and KeyboardInterrupt raised. `pointing` and `landing`
    are `vexal.plan`'s.
    """
    check_search(search)
    check_options(pointing, landing)
    options = (search, pointing, landing)
    configs = list(configs)
    for i, config in enumerate(configs):
        try:
            _native.checked(config, landing)
        except ValueError as error:
            raise ValueError(f"case {i}: {error}") from None
    texts = [c if isinstance(c, str) else c.to_json() for c in configs]
    if isinstance(executor, str):
        if executor not in EXECUTORS:
            raise ValueError(f"executor must be 'threads', 'processes' or an Executor, got {executor!r}")
        pool = EXECUTORS[executor](workers or os.cpu_count())
        try:
            return run(texts, pool, progress, options)
        except KeyboardInterrupt:
            # Worker processes may be deep in a long case: end them.
            for process in list((getattr(pool, "_processes", None) or {}).values()):
                process.terminate()
            raise
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
    return run(texts, executor, progress, options)


def run(texts, executor, progress, options):
    futures = [executor.submit(solve_text, text, *options) for text in texts]
    try:
        if progress and sys.stdout.isatty():
            finished = concurrent.futures.as_completed(futures)
            for _ in tqdm(finished, total=len(futures), unit="case", desc="planning"):
                pass
        return [future.result() for future in futures]
    except KeyboardInterrupt:
        for future in futures:
            future.cancel()
        if isinstance(executor, concurrent.futures.ThreadPoolExecutor):
            # Plans running on other threads cannot see the signal.
            _native.stop_all()
            try:
                concurrent.futures.wait(futures)
            finally:
                _native.stop_all(False)
        raise
