"""Ctrl-C and SIGTERM: noted where they land, acted on where the work can stop.

Python runs a signal's handler on the main thread between any two bytecodes,
so a KeyboardInterrupt raised there can land inside an executor's or a
pool's own code, or inside a cleanup, and leave it half done: a hang, a
signal lost, a second traceback. While `watching` is in force the handlers
only note the signal; the work asks `check()` at points of its own choosing
and stops from there.

This module is imported before anything heavy, so that the command line
watches from its first moments.
"""
import contextlib
import os
import signal
import sys
import threading
from collections.abc import Callable, Collection, Iterator
from types import FrameType
from typing import TYPE_CHECKING, Any, TypeVar

if TYPE_CHECKING:
    import concurrent.futures

# How often a waiting loop looks for a noted signal, seconds.
POLL: float = 0.05

Handler = Callable[[int, FrameType | None], Any] | int | None
T = TypeVar("T")


class _Watch:
    depth = 0  # watching() blocks entered, outermost first
    received: int | None = None  # the first signal noted
    exit_on_second = False


_watch = _Watch()


def _note(number: int, frame: FrameType | None) -> None:
    if _watch.received is None:
        _watch.received = number
    elif _watch.exit_on_second:
        exit_now(_watch.received)


def exit_now(number: int) -> None:
    """Ends the process at once with status 128 + `number`, leaving no
    temporary output file behind and what was printed flushed."""
    from .outputs import discard_temporaries

    discard_temporaries()
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    os._exit(128 + number)


def received() -> int | None:
    """The number of the signal noted, if one was."""
    return _watch.received


def check() -> None:
    """Raises KeyboardInterrupt once a signal has been noted."""
    if _watch.received is not None:
        raise KeyboardInterrupt


@contextlib.contextmanager
def watching(numbers: Collection[int] = (signal.SIGINT,), command_line: bool = False,
             program: bool = False) -> Iterator[None]:
    """Within the block, `numbers` are noted rather than raised.

    For a library call (the default) only a Ctrl-C handled the default way
    is taken over, and only on the main thread: a handler of the caller's
    own stays in force, and so does KeyboardInterrupt raised anywhere. A
    signal noted and not yet acted on is raised as KeyboardInterrupt when
    the block ends.

    For the command line every signal in `numbers` is taken over (except one
    the process inherited as ignored, as shells start background jobs), a
    second signal ends the process at once (`exit_now`). When the command
    line is the `program`, signals after the block are ignored: the work is
    done and only the exit is left, which a signal must not turn into a
    death by that signal (the interpreter, as it ends, would put the
    default action back under any handler but "ignore"). Otherwise the old
    handlers come back.

    Within an outer watch a block adds nothing.
    """
    if _watch.depth:
        _watch.depth += 1
        try:
            yield
        finally:
            _watch.depth -= 1
        return
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous: dict[int, Handler] = {}
    for number in numbers:
        current = signal.getsignal(number)
        if current is signal.SIG_IGN or not (command_line or current is signal.default_int_handler):
            continue
        previous[number] = signal.signal(number, _note)
    if not previous:
        yield
        return
    _watch.depth, _watch.received, _watch.exit_on_second = 1, None, command_line
    finished = False
    try:
        yield
        finished = True
    finally:
        for number, handler in previous.items():
            signal.signal(number, signal.SIG_IGN if program else handler)
        noted = _watch.received
        _watch.depth, _watch.received = 0, None
        if finished and noted is not None and not command_line:
            raise KeyboardInterrupt


def stop_plans(futures: "Collection[concurrent.futures.Future[Any]]") -> None:
    """Ends the native plans running on other threads (they cannot see a
    signal) and waits until `futures` have settled. Asked again at each
    poll: a plan that had not quite started when it was first asked would
    otherwise run to its end."""
    import concurrent.futures

    from . import _native

    while True:
        _native.stop_all()
        _, running = concurrent.futures.wait(futures, timeout=POLL)
        if not running:
            return


def call(function: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """`function(*args, **kwargs)` on a thread of its own while this one
    watches for a noted signal: then the plan it runs is stopped and
    KeyboardInterrupt raised here."""
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        future = pool.submit(function, *args, **kwargs)
        while not concurrent.futures.wait([future], timeout=POLL).done:
            if _watch.received is not None:
                stop_plans([future])
                raise KeyboardInterrupt
        return future.result()
