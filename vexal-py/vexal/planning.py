"""`plan`: one descent planned by the package's native module, as a `Plan`.

Unlike `_vexal.solve`, planning here checks its inputs first, can use the
fast search, releases the interpreter lock (threads plan in parallel) and
stops on Ctrl-C with KeyboardInterrupt.
"""
import dataclasses
import difflib
import json
import math
import os
import reprlib
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt

import _vexal

from . import _native, errors

Search: TypeAlias = Literal["golden", "fast"]
Landing: TypeAlias = Literal["target", "nearest"]
SolverChoice: TypeAlias = Literal["clarabel", "structured"]
SEARCHES: tuple[Search, ...] = ("golden", "fast")
LANDINGS: tuple[Landing, ...] = ("target", "nearest")
SOLVERS: tuple[SolverChoice, ...] = ("clarabel", "structured")


class PlanOptions(TypedDict, total=False):
    """The planner's keyword options, as `plan` and the native module take them."""

    search: Search
    tolerance: float
    pointing: bool
    landing: Landing
    rotation: Sequence[float] | None
    solver: SolverChoice
    landing_tolerance: float


# The arrays of the native module's result.
Column: TypeAlias = Literal["time_points", "positions", "velocities", "u_values", "thrusts",
                            "normalized_thrusts", "z_values", "s_values"]

# Keyword overrides: every field of the three records, by its own name.
FIELD_RECORD: dict[str, str] = {name: record for record, fields in json.loads(_vexal.Config().to_json()).items()
                                for name in fields}

# A node's thrust counts as below the floor only when it misses it by more
# than the solver's accuracy could explain.
FLOOR_MARGIN: float = 1e-3
# A thrust points past the limit when it does so by more than this (radians),
# at nodes whose thrust is not negligible (above this fraction of the largest).
POINTING_MARGIN: float = 1e-6
NEGLIGIBLE_THRUST: float = 1e-6
# A landing this close (m) counts as reaching the target.
ON_TARGET: float = 0.01


@dataclasses.dataclass(frozen=True, repr=False, eq=False)
class Plan:
    """A planned descent.

    `time_of_flight` is the horizon (as configured or found by the search);
    the last node sits one step before it, at `touchdown_time` = (n - 1)/n of
    the horizon. Arrays hold one row per node and are read-only.
    `below_floor` lists the nodes whose thrust falls below the throttle
    floor: there the convex relaxation is not tight and the plan asks for a
    thrust the engine cannot give.

    `pointing_angle_deg` is each node's thrust angle from the height axis;
    with the pointing limit on (`pointing_limit_deg` set), `over_pointing`
    lists the nodes whose thrust leaves it by more than 1e-6 rad, and
    `relaxation_gap` is (sigma - |u|)/sigma per node, zero where the
    relaxation is tight. `landing_point` is the last node's position and
    `landing_error` its horizontal distance from the target; with
    `landing="nearest"` it is the least the vehicle can reach.
    """

    status: str
    """The solver's status of the final solve (Solved, AlmostSolved)."""
    time_of_flight: float
    """Horizon, s: given, or found by the search."""
    touchdown_time: float
    """Time of the last node, s: (n - 1)/n of the horizon."""
    final_mass: float
    """Mass at the last node, kg."""
    fuel_used: float
    """Fuel burnt, kg: wet_mass - final_mass."""
    objective: float
    """The program's optimum: the log of the final mass, ln kg."""
    solves: int
    """Fixed-horizon solves made."""
    fallbacks: int
    """Solves of the fast search whose quick answer was not accurate enough
    and that were solved again with the solver's defaults."""
    iterations: int
    """Solver iterations of the final solve."""
    search: Search | None
    """The search mode, or None for a fixed horizon."""
    time_points: npt.NDArray[np.float64]
    """Node times, (n,), s."""
    positions: npt.NDArray[np.float64]
    """Node positions, (n, 3), m; z is the height above the landing plane."""
    velocities: npt.NDArray[np.float64]
    """Node velocities, (n, 3), m/s."""
    u_values: npt.NDArray[np.float64]
    """Thrust acceleration T/m per node, (n, 3), m/s^2."""
    thrusts: npt.NDArray[np.float64]
    """Thrust magnitude per node, (n,), N."""
    normalized_thrusts: npt.NDArray[np.float64]
    """Throttle per node: thrust over real_max_thrust, (n,)."""
    z_values: npt.NDArray[np.float64]
    """Log of the mass per node, (n,), ln kg."""
    s_values: npt.NDArray[np.float64]
    """Slack sigma >= |u| bounding the thrust acceleration, (n,), m/s^2."""
    pointing_angle_deg: npt.NDArray[np.float64]
    """Thrust angle from vertical per node, (n,), degrees."""
    below_floor: tuple[int, ...]
    """Nodes whose thrust is below the throttle floor."""
    config: _vexal.Config
    """The configuration planned."""
    pointing_limit_deg: float | None = None
    """The pointing limit in force, degrees; None without one."""
    over_pointing: tuple[int, ...] = ()
    """Nodes whose thrust points past the limit by more than 1e-6 rad."""
    relaxation_gap: npt.NDArray[np.float64] | None = None
    """(sigma - |u|)/sigma per node, (n,); 0 where the relaxation is tight."""
    landing: Landing = "target"
    """"target", or "nearest" for the nearest landing."""
    landing_point: npt.NDArray[np.float64] | None = None
    """The last node's position, (3,), m."""
    landing_error: float = 0.0
    """Horizontal distance of the landing point from the target, m."""
    landing_tolerance: float | None = None
    """With a searched nearest landing: the landing errors within this of the
    least (m) that counted as equal, fuel deciding among them; else None."""
    rotation: tuple[float, float, float] | None = None
    """The planet's angular velocity planned with, rad/s; None for a still planet."""

    @property
    def max_pointing_angle_deg(self) -> float:
        """The largest thrust angle from vertical over nodes whose thrust is not negligible."""
        return float(np.max(self.pointing_angle_deg[significant(self.u_values)], initial=0.0))

    @property
    def optimal(self) -> bool:
        """Whether the final solve proved its answer optimal to the solver's
        full tolerances ("Solved"). An "AlmostSolved" answer met only the
        reduced ones (a relative gap of 5e-5): feasible, but its final mass
        may fall short of the optimum by up to about 1e-4 of it."""
        return self.status == "Solved"

    @property
    def relaxation_tight(self) -> bool:
        return not self.below_floor and not self.over_pointing

    @property
    def n(self) -> int:
        return len(self.time_points)

    def __repr__(self) -> str:
        tight = ("relaxation tight" if self.relaxation_tight
                 else f"{len(self.below_floor)} nodes below the throttle floor")
        how = (f"{self.solves} solve{'' if self.solves == 1 else 's'}"
               + (f" ({self.search} search)" if self.search else ""))
        return (f"<Plan {self.status}: n={self.n}, time_of_flight={self.time_of_flight:.3f} s, "
                f"touchdown_time={self.touchdown_time:.3f} s, final_mass={self.final_mass:.3f} kg, "
                f"fuel_used={self.fuel_used:.3f} kg, {how}, {self.iterations} iterations, {tight}>")

    def summary(self) -> dict[str, Any]:
        """The headline figures, as a dict."""
        return {
            "status": self.status,
            "optimal": self.optimal,
            "time_of_flight": self.time_of_flight,
            "touchdown_time": self.touchdown_time,
            "final_mass": self.final_mass,
            "fuel_used": self.fuel_used,
            "peak_throttle": float(np.max(self.normalized_thrusts)),
            "solves": self.solves,
            "iterations": self.iterations,
            "below_floor": list(self.below_floor),
            "max_pointing_angle_deg": self.max_pointing_angle_deg,
            "pointing_limit_deg": self.pointing_limit_deg,
            "over_pointing": list(self.over_pointing),
            "landing": self.landing,
            "landing_point": None if self.landing_point is None else self.landing_point.tolist(),
            "landing_error": self.landing_error,
            "landing_tolerance": self.landing_tolerance,
        }

    def format_summary(self) -> str:
        """An aligned, human-readable block of the headline figures, with a
        warning line when the answer is not proven optimal or the relaxation
        is not tight."""
        rows = [
            ("status", f"{self.status:>10}"),
            ("time of flight", f"{self.time_of_flight:10.3f} s (horizon)"),
            ("touchdown time", f"{self.touchdown_time:10.3f} s (last node)"),
            ("final mass", f"{self.final_mass:10.3f} kg"),
            ("fuel used", f"{self.fuel_used:10.3f} kg"),
            ("peak throttle", f"{100.0 * float(np.max(self.normalized_thrusts)):10.1f} % of rated thrust"),
            ("largest thrust angle", f"{self.max_pointing_angle_deg:10.2f} deg from vertical"
             + (f" (limit {self.pointing_limit_deg:g})" if self.pointing_limit_deg is not None else "")),
            ("landing error", f"{self.landing_error:10.3f} m"
             + (" (nearest landing" + (f", within {self.landing_tolerance:g} m of the least"
                                       if self.landing_tolerance and self.landing_error > ON_TARGET else "") + ")"
                if self.landing == "nearest" else "")),
            ("solves", f"{self.solves:10d}" + (f" ({self.search} search)" if self.search else "")),
        ]
        width = max(len(label) for label, _ in rows)
        lines = [f"{label:<{width}}  {value}" for label, value in rows]
        if not self.optimal:
            lines.append(f"warning: the solver's answer is {self.status}, not proven optimal; the final mass may "
                         "fall short of the optimum by up to about 1e-4 of it")
        if self.below_floor:
            shown = ", ".join(map(str, self.below_floor[:10])) + (", ..." if len(self.below_floor) > 10 else "")
            lines.append(f"warning: thrust below the throttle floor at {len(self.below_floor)} of {self.n} "
                         f"nodes ({shown}); the plan is not flyable there")
        if self.landing == "nearest" and self.landing_error > ON_TARGET:
            lines.append(f"warning: the target is out of reach; the nearest landing is {self.landing_error:.3f} m "
                         "from it")
        if self.over_pointing and self.relaxation_gap is not None:
            lines.append(f"warning: thrust past the pointing limit at {len(self.over_pointing)} of {self.n} nodes "
                         f"(largest gap (sigma-|u|)/sigma {float(np.max(self.relaxation_gap)):.1e})")
        return "\n".join(lines)

    def node_table(self) -> dict[str, npt.NDArray[np.float64] | None]:
        """One column per quantity, one entry per node (see
        `vexal.node_table`), with the pointing angle from vertical and the
        relaxation gap (sigma - |u|)/sigma."""
        from .trajectory import node_table

        table: dict[str, npt.NDArray[np.float64] | None] = dict(node_table(self))
        table["pointing_deg"] = self.pointing_angle_deg
        table["relaxation_gap"] = self.relaxation_gap
        return table

    def to_json(self) -> str:
        """The whole plan, its headline figures and its configuration."""
        document = self.summary()
        document["objective"] = self.objective
        document["rotation"] = None if self.rotation is None else list(self.rotation)
        for name in ("time_points", "positions", "velocities", "u_values", "thrusts",
                     "normalized_thrusts", "z_values", "s_values", "pointing_angle_deg", "relaxation_gap"):
            document[name] = getattr(self, name).tolist()
        document["config"] = json.loads(self.config.to_json())
        return json.dumps(finite_or_null(document), indent=2, allow_nan=False)


def finite_or_null(value: object) -> object:
    """`value` with every NaN and infinity replaced by None: JSON has no
    token for them (Python's `NaN` and `Infinity` are not JSON)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: finite_or_null(item) for key, item in value.items()}
    if isinstance(value, list):
        return [finite_or_null(item) for item in value]
    return value


ConfigLike: TypeAlias = "_vexal.Config | dict[str, Any] | str | os.PathLike[str] | None"


def configured(config: ConfigLike = None, /, **overrides: object) -> _vexal.Config:
    """A new Config: `config` (a Config; a dict of its fields, shaped as its
    JSON, {"spacecraft": {"fuel": 202.0}, ...}, fields left out keeping
    their defaults; its JSON text, a string starting with "{"; the path of
    a configuration file, a string or a path object; or None for the
    default) with the named fields replaced. The records of a Config are
    copies, so `config.solver.n = 60` is lost; this is the way to change
    one."""
    return derived(config, overrides, "configured()")


def derived(config: ConfigLike, overrides: dict[str, object], caller: str) -> _vexal.Config:
    """`configured`'s work; errors name `caller`."""
    if config is None:
        config = _vexal.Config()
    elif isinstance(config, dict):
        config = from_dict(config)
    elif isinstance(config, str) and config.lstrip().startswith("{"):
        config = read_config(config)
    elif isinstance(config, str | os.PathLike):
        config = read_config_file(os.fspath(config))
    elif isinstance(config, _vexal.Config):
        config = _vexal.Config(spacecraft=config.spacecraft, environment=config.environment,
                               solver=config.solver)
    else:
        raise TypeError("config must be a vexal.Config, a dict of its fields, its JSON text, the path of a "
                        f"configuration file or None, got {type(config).__name__}")
    records = {}
    for name, value in overrides.items():
        record = FIELD_RECORD.get(name)
        if record is None:
            raise TypeError(f"{caller} got an unexpected keyword argument {name!r}"
                            + "".join(f" (did you mean {match!r}?)" for match in near_field(name)))
        if record not in records:
            records[record] = getattr(config, record)
        try:
            setattr(records[record], name, value)
        except TypeError:
            raise TypeError(field_complaint(record, name, value)) from None
        except (OverflowError, ValueError):  # a value no field can hold: negative, too large, wrong length
            raise invalid_input(field_complaint(record, name, value)) from None
    for record, value in records.items():
        setattr(config, record, value)
    return config


def from_dict(document: dict[str, Any]) -> _vexal.Config:
    """A Config from a dict shaped as its JSON; a key that names no field,
    or a value the field cannot hold, is an error naming it."""
    fields: dict[str, object] = {}
    for record, values in document.items():
        if record not in DEFAULTS:
            raise invalid_input(f"config: {record!r} is not a record of the configuration"
                                + "".join(f" (did you mean {m!r}?)" for m in difflib.get_close_matches(
                                    str(record), list(DEFAULTS), n=1)))
        if not isinstance(values, dict):
            raise TypeError(f"config.{record} must be a dict of its fields, got {type(values).__name__}")
        for name, value in values.items():
            if name not in DEFAULTS[record]:
                raise invalid_input(f"config: {record}.{name} is not a field"
                                    + "".join(f" (did you mean {record}.{m}?)" for m in difflib.get_close_matches(
                                        str(name), list(DEFAULTS[record]), n=1)))
            fields[name] = value
    return derived(None, fields, "config")


# Short names users reach for, by the field they mean.
ALIASES: dict[str, str] = {"tof": "time_of_flight", "isp": "fuel_consumption", "mass": "wet_mass",
                           "glide_slope": "glide_slope_angle_deg", "max_angle": "max_angle_deg"}


def near_field(name: str) -> list[str]:
    """The field `name` most likely means, if one is close."""
    if name in ALIASES:
        return [ALIASES[name]]
    return difflib.get_close_matches(name, list(FIELD_RECORD), n=1)


def field_complaint(record: str, name: str, value: object) -> str:
    """What the field `record.name` takes, and the value it was given."""
    default = DEFAULTS[record][name]
    if isinstance(default, list):
        what = "a sequence of three numbers"
    elif isinstance(default, int):
        what = "a whole number of at least 1"
    elif default is None:
        what = "a number of seconds or None"
    else:
        what = "a number"
    return f"{record}.{name} must be {what}, got {reprlib.repr(value)}"


# Bytes a configuration file may have: far more than any configuration,
# and a bound on a file that reads without end (/dev/zero).
CONFIG_LIMIT: int = 64 << 20


def read_config_file(path: str) -> _vexal.Config:
    """The configuration in the file at `path` ('-': standard input), read
    as `read_config` reads text; every error names the file."""
    import sys

    if path == "-":
        data = sys.stdin.buffer.read(CONFIG_LIMIT + 1)
        if len(data) > CONFIG_LIMIT:
            raise errors.JSONError(f"-: more than {CONFIG_LIMIT >> 20} MiB; not a configuration")
    else:
        from .outputs import read_limited

        try:
            data = read_limited(path, CONFIG_LIMIT, "a configuration")
        except ValueError as error:
            raise errors.JSONError(str(error)) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise errors.JSONError(f"{path}: not UTF-8 text: byte {error.start} (0x{data[error.start]:02x}) is not "
                         "UTF-8") from None
    return read_config(text, where=f"{path}: ")


def read_config(text: str, where: str = "") -> _vexal.Config:
    """The configuration a JSON document describes: the one reading of a
    configuration for every front door (the command line, `plan`,
    `simulate`, studies). Unlike `_vexal.Config.from_json` it takes only an
    object whose keys are configuration fields; errors name `where` the
    text was read and are ValueErrors of kind "json"."""
    config = from_json(text, where)
    try:
        document = json.loads(text)
    except RecursionError:
        raise errors.JSONError(f"{where}nested too deeply for a configuration") from None
    if not isinstance(document, dict):
        raise errors.JSONError(f"{where}not a configuration: a JSON {json_kind(document)}, not an object of fields")
    unknown = unknown_keys(document)
    if unknown:
        raise errors.JSONError(f"{where}not configuration fields: {', '.join(unknown)}")
    return config


def json_kind(value: object) -> str:
    return {list: "array", str: "string", bool: "boolean", type(None): "null"}.get(type(value), "number")


def unknown_keys(document: dict[str, object]) -> list[str]:
    """Keys of a configuration document that are not configuration fields,
    each with the nearest field when one is close."""
    unknown = [with_suggestion(key, list(DEFAULTS)) for key in document if key not in DEFAULTS]
    for record, fields in DEFAULTS.items():
        given = document.get(record)
        if isinstance(given, dict):
            unknown += [with_suggestion(f"{record}.{key}", [f"{record}.{name}" for name in fields])
                        for key in given if key not in fields]
    return unknown


def with_suggestion(name: str, known: Sequence[str]) -> str:
    """`name`, and the nearest of `known` if one is close enough to be a typo."""
    match = difflib.get_close_matches(name, known, n=1)
    return f"{name} (did you mean {match[0]}?)" if match else name


def from_json(text: str, where: str = "") -> _vexal.Config:
    """A Config read from JSON text; an error names `where` it was read and,
    for a value of the wrong type, the field."""
    try:
        return _vexal.Config.from_json(text)
    except ValueError as error:
        field = mistyped_field(text)
        raise errors.JSONError(f"{where}{field + ': ' if field else ''}{error}") from None


def mistyped_field(text: str) -> str | None:
    """The first field, in the document's order, whose value cannot have its
    field's type (the reader's message gives only a line and column)."""
    try:
        document = json.loads(text)
    except (ValueError, RecursionError):
        return None  # not JSON at all, or too deep to look into: the reader's message says where
    if not isinstance(document, dict):
        return None
    for record, fields in document.items():
        known = DEFAULTS.get(record)
        if known is None:
            continue
        if not isinstance(fields, dict):
            return str(record)
        for name, value in fields.items():
            if name in known and not fits(known[name], value):
                return f"{record}.{name}"
    return None


def fits(default: object, value: object) -> bool:
    """Whether a JSON value can stand where the default stands."""
    def number(v: object) -> bool:
        return isinstance(v, int | float) and not isinstance(v, bool)
    if isinstance(default, list):
        return isinstance(value, list) and len(value) == len(default) and all(map(number, value))
    if isinstance(default, int) and not isinstance(default, bool):  # the node count: a JSON integer
        return isinstance(value, int) and not isinstance(value, bool) and value >= 0
    if default is None:  # an optional time
        return value is None or number(value)
    return number(value)


# The default configuration as JSON values: every field's type, by example.
DEFAULTS: dict[str, dict[str, object]] = json.loads(_vexal.Config().to_json())


def invalid_input(message: str) -> errors.InputError:
    """The error of an argument no plan can take."""
    return errors.InputError(message)


def check_search(search: object, tolerance: object = 2e-4) -> None:
    if not isinstance(search, str):
        raise TypeError(f"search must be a str, got {type(search).__name__}")
    if search not in SEARCHES:
        raise invalid_input(f"search must be 'golden' or 'fast', got {search!r}")
    if isinstance(tolerance, bool) or not isinstance(tolerance, int | float):
        raise TypeError(f"tolerance must be a float, got {type(tolerance).__name__}")
    if not 0.0 < tolerance < 1.0:
        raise invalid_input(f"tolerance must be greater than 0 and less than 1, got {tolerance!r}")


def check_solver(solver: object) -> None:
    if not isinstance(solver, str):
        raise TypeError(f"solver must be a str, got {type(solver).__name__}")
    if solver not in SOLVERS:
        raise invalid_input(f"solver must be 'clarabel' or 'structured', got {solver!r}")


def check_options(pointing: object, landing: object, landing_tolerance: object = 0.0) -> None:
    if not isinstance(pointing, bool):
        raise TypeError(f"pointing must be a bool, got {type(pointing).__name__}")
    if not isinstance(landing, str):
        raise TypeError(f"landing must be a str, got {type(landing).__name__}")
    if landing not in LANDINGS:
        raise invalid_input(f"landing must be 'target' or 'nearest', got {landing!r}")
    if isinstance(landing_tolerance, bool) or not isinstance(landing_tolerance, int | float):
        raise TypeError(f"landing_tolerance must be a float, got {type(landing_tolerance).__name__}")
    if not (0.0 <= landing_tolerance < math.inf):
        raise invalid_input("landing_tolerance must be a finite number of metres, at least 0, got "
                            f"{landing_tolerance!r}")


def significant(u: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
    """Nodes whose thrust is more than a negligible fraction of the largest."""
    norm: npt.NDArray[np.float64] = np.linalg.norm(u, axis=1)
    return norm > NEGLIGIBLE_THRUST * float(np.max(norm, initial=0.0))


def plan(config: ConfigLike = None, *, search: Search = "fast",
         tolerance: float = 2e-4, pointing: bool = True, landing: Landing = "target",
         progress: Callable[[int, float | None], object] | None = None, threads: int | None = None,
         rotation: Sequence[float] | None = None, solver: SolverChoice = _native.DEFAULT_SOLVER,
         landing_tolerance: float = _native.DEFAULT_LANDING_TOLERANCE, **overrides: object) -> Plan:
    """Plans one descent and returns a `Plan`.

    `config` is a `vexal.Config`, a dict of its fields (as `vexal.asdict`
    gives), its JSON text, or the path of a configuration file (default:
    the default descent); keywords replace
    single fields, e.g. `plan(config, n=60, time_of_flight=45.0)`. Without a
    time of flight the best one is searched for: `search="fast"` (the
    default) reaches the optimum in about a third of the solves, to
    `tolerance` (relative) on the time of flight, each solve on the
    solver's quick path with its answer checked; `search="golden"` is
    exactly `_vexal.solve`'s search, the reference (36 solves; with
    `pointing=False` the same trajectory bit for bit). The fast search
    solves its first grid points on `threads` threads (default: one per
    available core, at most three; studies plan with one).

    Every node's thrust is kept within the configuration's
    `environment.max_angle_deg` of vertical (90 by default: the engine never
    thrusts downward); `pointing=False` plans without that limit, as
    `_vexal.solve` does (180 degrees or more adds nothing, a negative or NaN
    angle is a ValueError unless `pointing=False`). `landing="nearest"` plans, when the target cannot be
    reached at any time of flight, the descent that lands closest to it:
    least landing error first, then least fuel; a reachable target gives the
    fuel-optimal plan. The least error is ragged in the time of flight (a
    metre of it can cost a hundred kilograms of fuel), so the search counts
    landing errors within `landing_tolerance` metres of the least as equal
    and takes the least fuel among them (default 1 m; 0: the least error
    exactly). A fixed time of flight lands at its own least error.

    `rotation=(wx, wy, wz)` is the planet's angular velocity in rad/s, in
    the configuration's frame (x, y horizontal, z up at the target): the
    dynamics gain its Coriolis and centrifugal accelerations. Mars turns at
    7.09e-5 rad/s about its axis; at latitude phi that is (0, cos phi,
    sin phi) times it with y pointing north. None (the default) is a still
    planet.

    `solver` is the interior-point solver of the quick path, on which
    `search="fast"` makes its solves: "structured" (the default), which
    exploits the program's banding by node and allocates nothing while it
    solves, or "clarabel". The golden search always solves with Clarabel.

    Inputs are checked first: a value no descent can have is a
    `vexal.InputError` naming the field (`vexal.JSONError` for text that is
    no configuration), a value of the wrong type a TypeError. A descent no
    trajectory can fly is a `vexal.InfeasibleError`, a solve that fails a
    `vexal.SolverError`. Each is a ValueError with the failure's `kind`:
    "invalid_input", "json", "infeasible", "solver_status" or
    "solver_construction". Ctrl-C stops planning with KeyboardInterrupt.

    `progress(solves, best_final_mass)`, if given, is called after each
    solve, on the planning thread: the solves made so far and the greatest
    final mass planned so far (None before the first). An exception it
    raises ends the plan.
    """
    check_search(search, tolerance)
    check_options(pointing, landing, landing_tolerance)
    check_solver(solver)
    config = derived(config, overrides, "plan()")
    data = _native.plan(config, search, tolerance, pointing, landing, progress, threads, rotation, solver,
                        landing_tolerance)
    return make_plan(data, search, config, pointing, landing, rotation, landing_tolerance)


def make_plan(data: "_native.PlanData", search: Search, config: _vexal.Config, pointing: bool = False,
              landing: Landing = "target", rotation: Sequence[float] | None = None,
              landing_tolerance: float = 0.0) -> Plan:
    """A Plan from the native module's dict and the configuration planned."""
    def column(name: Column, width: int | None = None) -> npt.NDArray[np.float64]:
        values = data[name]
        values.setflags(write=False)  # a Plan is frozen, its arrays too
        return values

    u = column("u_values", 3)
    thrusts = column("thrusts")
    sc = config.spacecraft
    u_norm = np.linalg.norm(u, axis=1)
    sigma = data["s_values"]
    # From the height axis, as the pointing limit measures it.
    with np.errstate(invalid="ignore", divide="ignore"):
        radians = np.arccos(np.clip(u[:, 2] / u_norm, -1.0, 1.0))
        gap = np.where(sigma > 0, (sigma - u_norm) / sigma, 0.0)
    angle = np.degrees(radians)
    angle.setflags(write=False)
    gap.setflags(write=False)
    floor = sc.real_max_thrust * sc.min_thrust_pct
    below = tuple(int(k) for k in np.flatnonzero(thrusts < floor * (1.0 - FLOOR_MARGIN)))
    limit = config.environment.max_angle_deg if pointing and config.environment.max_angle_deg < 180.0 else None
    over = () if limit is None else tuple(
        int(k) for k in np.flatnonzero(significant(u) & (radians > np.radians(limit) + POINTING_MARGIN)))
    landing_point = data["positions"][-1].copy()
    landing_point.setflags(write=False)
    horizon = data["time_of_flight"]
    return Plan(
        status=data["status"],
        time_of_flight=horizon,
        touchdown_time=float(data["time_points"][-1]),
        final_mass=data["final_mass"],
        fuel_used=sc.wet_mass - data["final_mass"],
        objective=data["objective"],
        solves=data["solves"],
        fallbacks=data["fallbacks"],
        iterations=data["iterations"],
        search=None if config.solver.time_of_flight is not None else search,
        time_points=column("time_points"),
        positions=column("positions", 3),
        velocities=column("velocities", 3),
        u_values=u,
        thrusts=thrusts,
        normalized_thrusts=column("normalized_thrusts"),
        z_values=column("z_values"),
        s_values=column("s_values"),
        pointing_angle_deg=angle,
        below_floor=below,
        config=config,
        pointing_limit_deg=limit,
        over_pointing=over,
        relaxation_gap=gap,
        landing=landing,
        landing_point=landing_point,
        landing_error=data["landing_error"],
        landing_tolerance=(float(landing_tolerance)
                           if landing == "nearest" and config.solver.time_of_flight is None else None),
        rotation=None if rotation is None else (float(rotation[0]), float(rotation[1]), float(rotation[2])),
    )
