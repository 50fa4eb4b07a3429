"""The package's exceptions, one class per kind of failure.

Each is a ValueError (callers that catch ValueError keep working) with the
failure's `kind` as an attribute, the name the core gives it, so that code
branches on the class or the kind, never on the text:

    try:
        plan = vexal.plan(config)
    except vexal.InfeasibleError:
        ...  # no trajectory reaches the target: try landing="nearest"

A plan stopped from another thread or by Ctrl-C during a study is
`Interrupted`, a KeyboardInterrupt rather than a ValueError, so that an
`except ValueError` around a plan never swallows a stop.
"""


class VexalError(ValueError):
    """A plan (or a flight) that cannot be made; `kind` names the failure."""

    kind: str = "invalid_input"

    def __init__(self, message: str = "", kind: str | None = None) -> None:
        super().__init__(message)
        if kind is not None:
            self.kind = kind


class InputError(VexalError):
    """A value no descent can have, or an option no planner takes."""

    kind = "invalid_input"


class JSONError(InputError):
    """JSON text (a file, a string) that is not a configuration."""

    kind = "json"


class InfeasibleError(VexalError):
    """No trajectory reaches the target (at any time of flight searched,
    or at the one given)."""

    kind = "infeasible"


class SolverError(VexalError):
    """The solver refused the program ("solver_construction") or ended
    without an acceptable point ("solver_status")."""

    kind = "solver_status"


class Interrupted(KeyboardInterrupt):
    """A plan stopped before it finished (`vexal._native.stop_all`, Ctrl-C
    during a study)."""

    kind = "interrupted"


# Each kind the core names, by its class.
CLASSES: dict[str, type[VexalError]] = {
    "invalid_input": InputError,
    "json": JSONError,
    "infeasible": InfeasibleError,
    "solver_status": SolverError,
    "solver_construction": SolverError,
}


def error(kind: str, message: str) -> VexalError:
    """The exception of a failure of `kind` (the native module raises
    through this); an unknown kind is a plain VexalError that keeps it."""
    return CLASSES.get(kind, VexalError)(message, kind)
