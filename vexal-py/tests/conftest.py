import subprocess
import sys
import textwrap

import pytest

import _vexal


def small_config(n=10, time_of_flight=50.0, **solver):
    """A default descent with few nodes: fast enough for every test."""
    return _vexal.Config(solver=_vexal.Solver(n=n, time_of_flight=time_of_flight, **solver))


@pytest.fixture(scope="session")
def trajectory():
    return _vexal.solve(small_config())


def run_python(code):
    """Runs `code` in a fresh interpreter; a crash shows as a signal exit."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
    )


def raises_exactly(call, exc_type, message=None, note=None):
    """Calls `call`, checking the exception's exact type, message and notes."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    if message is not None:
        assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([] if note is None else [note])
    return info.value
