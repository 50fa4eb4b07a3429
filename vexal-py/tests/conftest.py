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


# Configuration files that no front door may plan (the command line,
# vexal.plan, studies), and what each is told after the file's name.
UNREADABLE_CONFIGS = {
    "endless": (None, "more than 64 MiB; not a configuration"),
    "deep": ('{"x": ' + "[" * 1000 + "]" * 1000 + "}", "nested too deeply for a configuration"),
    "array": ("[]", "not a configuration: a JSON array, not an object of fields"),
    "unknown key": ('{"solver": {"n": 20, "tof": 45}}',
                    "not configuration fields: solver.tof (did you mean solver.tof_min?)"),
    "not UTF-8": (b'{"solver": {"n": 20}, "caf\xe9": 1}', "not UTF-8 text: byte 26 (0xe9) is not UTF-8"),
}


def lay_config(path, name):
    """The unreadable configuration `name` written at `path`."""
    content = UNREADABLE_CONFIGS[name][0]
    if content is None:
        path.symlink_to("/dev/zero")
    else:
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
