"""The engine of a study: every case of it run by a task, a window at a time,
on threads, processes or any `concurrent.futures.Executor`.

A case crosses to its worker as JSON text (configurations do not pickle),
made by the task's `text_of`, which runs the input checks first. The task's
function runs it there and returns a result that never raises for the
case's own failure; `run_cases` hands each result back as it finishes, so a
study of any size runs in bounded memory. A worker that dies, an executor
that loses a case with its worker, and Ctrl-C are handled here once, for
every task.
"""
import concurrent.futures
import contextlib
import ctypes
import dataclasses
import os
import signal
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import Any, Generic, TypeVar, cast

from tqdm.auto import tqdm

from . import interrupts
from .errors import InputError


@dataclasses.dataclass(frozen=True)
class Outcome:
    """What running one case gave: its `status`, and when it could not run,
    status "error" and the message in `error`. A task's result adds its
    figures (None for a case that could not run)."""

    status: str
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


R = TypeVar("R", bound=Outcome)
T = TypeVar("T")


@dataclasses.dataclass(frozen=True)
class Task(Generic[R]):
    """What a study does with each case.

    `function(text, *arguments, tag)` runs one case, given as the JSON text
    `text_of(case)` made of it, and returns its result; it is called in a
    worker, so it and its arguments must pickle (a module-level function).
    `tag` is not read: it makes each submission's arguments unique, so that
    an executor keying tasks by their arguments (Dask) runs identical cases
    each, and a case tried again anew rather than from its failed task.
    `text_of` raises a planner's ValueError (one with a `kind`) for a case
    that fails its input checks, and `failed(message)` is the result of a
    case that could not run. `verb` labels the progress bar.
    """

    function: Callable[..., R]
    arguments: tuple[Any, ...]
    text_of: Callable[[Any], str]
    failed: Callable[[str], R]
    verb: str = "planning"


def planner_error(error: ValueError) -> bool:
    """A ValueError of the planner (a case that cannot be planned), not of
    the caller; the planner marks its own with their kind."""
    return hasattr(error, "kind")


def attempt(call: Callable[[], T]) -> T | str:
    """`call()`, or the message of the case's own failure: a planner's
    ValueError, or memory run out. Any other error is the caller's."""
    try:
        return call()
    except ValueError as error:
        if not planner_error(error):
            raise
        return str(error)
    except MemoryError:
        return "out of memory"


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


def died(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        return f"worker died (signal {-exitcode})"
    return f"worker died (exit status {exitcode})" if exitcode is not None else "worker died"


class Pool(Generic[R]):
    """The executor a task's cases run on. One of ours ("threads", "processes") is
    replaced by a fresh one when a worker dies and stopped on Ctrl-C; a
    foreign one (any Executor) is left to its owner."""

    def __init__(self, task: Task[R], executor: str | concurrent.futures.Executor, workers: int) -> None:
        self.task = task
        self.own = isinstance(executor, str)
        if self.own and executor not in EXECUTORS:
            raise InputError(f"executor must be 'threads', 'processes' or an Executor, got {executor!r}")
        self.kind, self.workers = executor, workers
        self.executor = EXECUTORS[executor](workers) if isinstance(executor, str) else executor
        self.window = WINDOW_PER_WORKER * workers if self.own else WINDOW_FOREIGN
        # The one-worker pool a suspect case runs on.
        self.single: concurrent.futures.ProcessPoolExecutor | None = None
        self.stopped = False  # its workers killed

    def submit(self, text: str, tag: tuple[int, int] | None = None) -> concurrent.futures.Future[R]:
        return self.executor.submit(self.task.function, text, *self.task.arguments, tag)

    def renew(self) -> None:
        """A fresh pool, after a worker died and took this one with it."""
        self.executor.shutdown(wait=True, cancel_futures=True)
        self.executor = EXECUTORS[cast(str, self.kind)](self.workers)  # only our own pools are renewed

    def alone(self, text: str) -> R:
        """Runs one case in a worker of its own, so a death is its own: the
        retry of a case that was in flight when a worker died."""
        self.single = process_pool(1)
        try:
            future = self.single.submit(self.task.function, text, *self.task.arguments, None)
            wait_any([future])
            return future.result()
        except BrokenProcessPool:
            (worker,) = self.single._processes.values()
            # The pool's own thread reaps the dead worker too; read its exit
            # status only once that thread is done, or both may race for it.
            self.single.shutdown(wait=True)
            worker.join()
            return self.task.failed(died(worker.exitcode))
        except BaseException:
            kill_workers(self.single)
            raise
        finally:
            self.single.shutdown(wait=True)
            self.single = None

    def stop(self, futures: Sequence[concurrent.futures.Future[R]]) -> None:
        """Ends the work now: pending cases cancelled, running ones stopped."""
        if self.own and self.kind == "processes":
            # Killing the workers breaks the pool, and the pool's own thread
            # then fails every case it holds. A case cancelled here meanwhile
            # would race it (Python 3.11 prints that thread's InvalidStateError),
            # so the pool is left to end its cases itself.
            kill_workers(self.executor)
            self.stopped = True
            return
        for future in futures:
            future.cancel()
        if self.own:
            interrupts.stop_plans(futures)  # plans on other threads cannot see the signal

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


def run_cases(task: Task[R], cases: Iterable[tuple[int, Any]], record: Callable[[int, Any, R], object],
              executor: str | concurrent.futures.Executor = DEFAULT_EXECUTOR, workers: int | None = None,
              progress: bool = True, total: int | None = None, initial: int = 0) -> None:
    """Runs `task` on `cases`, pairs of (index, case), a window at a time,
    and calls `record(index, case, result)` in this thread as each one
    finishes, in the order they finish.

    A case that fails the task's input checks is recorded as its error.
    A worker process that dies takes its pool with it: the cases in flight
    are run again, each alone in a fresh worker, and one that kills
    that worker too is recorded as "worker died (signal N)"; the study goes
    on with a fresh pool. A case a foreign executor lost with its worker
    (Dask's KilledWorker) may only have shared that worker with the case
    that killed it: such cases are run again at the end, one at a time,
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
        pool = Pool(task, executor, workers)
        pending: dict[concurrent.futures.Future[R], tuple[int, Any, str]] = {}
        bar = tqdm(total=total, initial=initial, unit="case", desc=task.verb, disable=None if progress else True)
        failures = 0
        lost: list[tuple[int, Any, str]] = []  # cases a foreign executor lost with a worker, for one more try

        def finish(index: int, case: Any, result: R) -> None:
            nonlocal failures
            record(index, case, result)
            failures += not result.ok
            bar.set_postfix(failed=failures, refresh=False)
            bar.update(1)

        try:
            queue = iter(cases)
            more = True
            unsent: list[tuple[int, Any, str]] = []  # refused by a pool that had just broken
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
                            text = task.text_of(case)
                        except ValueError as error:
                            if not planner_error(error):
                                raise
                            finish(index, case, task.failed(str(error)))
                            continue
                    try:
                        pending[pool.submit(text, (index, 0))] = (index, case, text)
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
                        result = task.failed(executor_error(error))
                    finish(index, case, result)
                if suspects:
                    # Every case in flight failed with the pool.
                    suspects += pending.values()
                    pending.clear()
                    pool.renew()
                    for index, case, text in sorted(suspects, key=lambda s: s[0]):
                        finish(index, case, pool.alone(text))
            # Alone on the cluster, a bystander runs; the case that kills its
            # worker is lost again, and only it is marked.
            for index, case, text in sorted(lost, key=lambda s: s[0]):
                future = pool.submit(text, (index, 1))
                pending[future] = (index, case, text)
                wait_any([future])
                try:
                    result = future.result()
                except Exception as error:
                    result = task.failed(executor_error(error))
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
