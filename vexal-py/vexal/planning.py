"""`plan`: one descent planned by the package's native module, as a `Plan`.

Unlike `_vexal.solve`, planning here checks its inputs first, can use the
fast search, releases the interpreter lock (threads plan in parallel) and
stops on Ctrl-C with KeyboardInterrupt.
"""
import dataclasses
import json
import math

import numpy as np

import _vexal

from . import _native

SEARCHES = ("golden", "fast")

# Keyword overrides: every field of the three records, by its own name.
FIELD_RECORD = {name: record for record, fields in json.loads(_vexal.Config().to_json()).items()
                for name in fields}

# A node's thrust counts as below the floor only when it misses it by more
# than the solver's accuracy could explain.
FLOOR_MARGIN = 1e-3


@dataclasses.dataclass(frozen=True, repr=False, eq=False)
class Plan:
    """A planned descent.

    `time_of_flight` is the horizon (as configured or found by the search);
    the last node sits one step before it, at `touchdown_time` = (n - 1)/n of
    the horizon. Arrays hold one row per node and are read-only.
    `below_floor` lists the nodes whose thrust falls below the throttle
    floor: there the convex relaxation is not tight and the plan asks for a
    thrust the engine cannot give.
    """

    status: str
    time_of_flight: float
    touchdown_time: float
    final_mass: float
    fuel_used: float
    objective: float
    solves: int
    iterations: int
    search: str | None
    time_points: np.ndarray
    positions: np.ndarray
    velocities: np.ndarray
    u_values: np.ndarray
    thrusts: np.ndarray
    normalized_thrusts: np.ndarray
    z_values: np.ndarray
    s_values: np.ndarray
    pointing_angle_deg: np.ndarray
    below_floor: tuple
    config: _vexal.Config

    @property
    def relaxation_tight(self):
        return not self.below_floor

    @property
    def n(self):
        return len(self.time_points)

    def __repr__(self):
        tight = "relaxation tight" if self.relaxation_tight else f"{len(self.below_floor)} nodes below the throttle floor"
        how = f"{self.solves} solves" + (f" ({self.search} search)" if self.search else "")
        return (f"<Plan {self.status}: n={self.n}, time_of_flight={self.time_of_flight:.3f} s, "
                f"touchdown_time={self.touchdown_time:.3f} s, final_mass={self.final_mass:.3f} kg, "
                f"fuel_used={self.fuel_used:.3f} kg, {how}, {self.iterations} iterations, {tight}>")

    def summary(self):
        """The headline figures, as a dict."""
        return {
            "status": self.status,
            "time_of_flight": self.time_of_flight,
            "touchdown_time": self.touchdown_time,
            "final_mass": self.final_mass,
            "fuel_used": self.fuel_used,
            "peak_throttle": float(np.max(self.normalized_thrusts)),
            "solves": self.solves,
            "iterations": self.iterations,
            "below_floor": list(self.below_floor),
        }

    def format_summary(self):
        """An aligned, human-readable block of the headline figures, with a
        warning line when the relaxation is not tight."""
        rows = [
            ("status", f"{self.status:>10}"),
            ("time of flight", f"{self.time_of_flight:10.3f} s (horizon)"),
            ("touchdown time", f"{self.touchdown_time:10.3f} s (last node)"),
            ("final mass", f"{self.final_mass:10.3f} kg"),
            ("fuel used", f"{self.fuel_used:10.3f} kg"),
            ("peak throttle", f"{100.0 * float(np.max(self.normalized_thrusts)):10.1f} % of rated thrust"),
            ("solves", f"{self.solves:10d}" + (f" ({self.search} search)" if self.search else "")),
        ]
        width = max(len(label) for label, _ in rows)
        lines = [f"{label:<{width}}  {value}" for label, value in rows]
        if self.below_floor:
            shown = ", ".join(map(str, self.below_floor[:10])) + (", ..." if len(self.below_floor) > 10 else "")
            lines.append(f"warning: thrust below the throttle floor at {len(self.below_floor)} of {self.n} "
                         f"nodes ({shown}); the plan is not flyable there")
        return "\n".join(lines)

    def node_table(self):
        """One column per quantity, one entry per node (see
        `vexal.node_table`), with the pointing angle from vertical."""
        from .trajectory import node_table

        table = node_table(self)
        table["pointing_deg"] = self.pointing_angle_deg
        return table

    def to_json(self):
        """The whole plan, its headline figures and its configuration."""
        document = self.summary()
        document["objective"] = self.objective
        for name in ("time_points", "positions", "velocities", "u_values", "thrusts",
                     "normalized_thrusts", "z_values", "s_values", "pointing_angle_deg"):
            document[name] = getattr(self, name).tolist()
        document["config"] = json.loads(self.config.to_json())
        return json.dumps(finite_or_null(document), indent=2, allow_nan=False)


def finite_or_null(value):
    """`value` with every NaN and infinity replaced by None: JSON has no
    token for them (Python's `NaN` and `Infinity` are not JSON)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: finite_or_null(item) for key, item in value.items()}
    if isinstance(value, list):
        return [finite_or_null(item) for item in value]
    return value


def configured(config=None, **overrides):
    """A new Config: `config` (a Config, its JSON text, or None for the
    default) with the named fields replaced. The records of a Config are
    copies, so `config.solver.n = 60` is lost; this is the way to change one."""
    if config is None:
        config = _vexal.Config()
    elif isinstance(config, str):
        config = _vexal.Config.from_json(config)
    elif isinstance(config, _vexal.Config):
        config = _vexal.Config(spacecraft=config.spacecraft, environment=config.environment,
                               solver=config.solver)
    else:
        raise TypeError(f"config must be a vexal.Config, its JSON text or None, got {type(config).__name__}")
    records = {}
    for name, value in overrides.items():
        record = FIELD_RECORD.get(name)
        if record is None:
            raise TypeError(f"plan() got an unexpected keyword argument {name!r}")
        if record not in records:
            records[record] = getattr(config, record)
        setattr(records[record], name, value)
    for record, value in records.items():
        setattr(config, record, value)
    return config


def check_search(search):
    if not isinstance(search, str):
        raise TypeError(f"search must be a str, got {type(search).__name__}")
    if search not in SEARCHES:
        raise ValueError(f"search must be 'golden' or 'fast', got {search!r}")


def plan(config=None, *, search="golden", tolerance=2e-4, **overrides):
    """Plans one descent and returns a `Plan`.

    `config` is a `vexal.Config` (or its JSON text; default: the default
    descent); keywords replace single fields, e.g. `plan(config, n=60,
    time_of_flight=45.0)`. Without a time of flight the best one is searched
    for: `search="golden"` is exactly `_vexal.solve`'s search (36 solves, the
    same trajectory bit for bit); `search="fast"` reaches the same optimum in
    far fewer solves, to `tolerance` (relative) on the time of flight.

    Inputs are checked first: a value no descent can have is a ValueError
    naming the field. Infeasible descents are ValueErrors with the planner's
    message; Ctrl-C stops planning with KeyboardInterrupt.
    """
    check_search(search)
    config = configured(config, **overrides)
    data = _native.plan(config, search, tolerance)
    return make_plan(data, search, config)


def make_plan(data, search, config):
    """A Plan from the native module's dict and the configuration planned."""
    def column(name, width=None):
        values = data[name]
        values.setflags(write=False)  # a Plan is frozen, its arrays too
        return values

    u = column("u_values", 3)
    thrusts = column("thrusts")
    sc, gravity = config.spacecraft, np.asarray(config.environment.gravity)
    g_norm = np.linalg.norm(gravity)
    up = -gravity / g_norm if g_norm > 0 else np.array([0.0, 0.0, 1.0])
    u_norm = np.linalg.norm(u, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        cosine = np.clip((u @ up) / u_norm, -1.0, 1.0)
    angle = np.degrees(np.arccos(cosine))
    angle.setflags(write=False)
    floor = sc.real_max_thrust * sc.min_thrust_pct
    below = tuple(int(k) for k in np.flatnonzero(thrusts < floor * (1.0 - FLOOR_MARGIN)))
    horizon = data["time_of_flight"]
    return Plan(
        status=data["status"],
        time_of_flight=horizon,
        touchdown_time=float(data["time_points"][-1]),
        final_mass=data["final_mass"],
        fuel_used=sc.wet_mass - data["final_mass"],
        objective=data["objective"],
        solves=data["solves"],
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
    )
