"""The commands of the `vexal` command line: plan one descent, print the
default configuration, or run a dispersion study. `cli` runs them.

Each asks `interrupts.check()` before any step that writes, and plans on
threads it can stop, so that Ctrl-C ends it between steps, never inside one.
Outputs are checked before any work and written atomically.
"""
import argparse
import csv
import dataclasses
import json
import math
import os
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import ModuleType
from typing import Any, NoReturn, TypeVar, cast

import numpy as np
import numpy.typing as npt

import _vexal

from . import _native, cases, engine, interrupts, planning, study
from .cases import DRAWN_ERRORS
from .outputs import check_outputs, is_regular, writing
from .table import InOrder, Schema, StudyTable, check_table_path, recorded

G0: float = 9.80665  # standard gravity, m/s^2: Isp in seconds to kg/(N s)
EPILOG_PLAN: str = "Without a time of flight (in the file or --tof) the planner searches for the best one."


Number = TypeVar("Number", int, float)


def ranged(kind: Callable[[str], Number], expected: str, low: Number, high: Number | None = None,
           low_included: bool = True, not_a_number: str | None = None) -> Callable[[str], Number]:
    """An argparse type: a finite `kind` from `low` (or above it) up to
    `high`; `not_a_number` is the complaint about text that is no `kind`."""
    def convert(text: str) -> Number:
        try:
            value = kind(text)
        except ValueError:  # not a number, or an integer of more digits than Python reads
            if not_a_number:
                raise argparse.ArgumentTypeError(f"{not_a_number}: {shown(text)}") from None
            value = None
        if value is None or not (math.isfinite(value) and (value >= low if low_included else value > low)):
            raise argparse.ArgumentTypeError(f"expected {expected}, got {shown(text)}")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"expected at most {high}, got {shown(text)}")
        return value
    return convert


def shown(text: str) -> str:
    """An argument quoted in a message: in full, or its start when long."""
    return repr(text) if len(text) <= 60 else f"{text[:60]!r}... ({len(text)} characters)"


COUNT: Callable[[str], int] = ranged(int, "a whole number of at least 1", 1)
# The node count is a 64-bit unsigned integer in the planner.
NODE_COUNT: Callable[[str], int] = ranged(int, "a whole number of at least 1", 1, 2**64 - 1)
SEED: Callable[[str], int] = ranged(int, "a whole number of at least 0", 0, not_a_number="invalid int value")
# A flight's noises are drawn from a 64-bit seed.
FLIGHT_SEED: Callable[[str], int] = ranged(int, "a whole number of at least 0", 0, 2**64 - 1,
                                           not_a_number="invalid int value")
SECONDS: Callable[[str], float] = ranged(float, "a positive number of seconds", 0.0, low_included=False)
SIGMA: Callable[[str], float] = ranged(float, "a number of at least 0", 0.0)


def rotation(text: str) -> tuple[float, float, float]:
    """An argparse type: the planet's angular velocity, WX,WY,WZ in rad/s."""
    try:
        values = tuple(float(part) for part in text.split(","))
    except ValueError:
        values = ()
    if len(values) != 3 or not all(map(math.isfinite, values)):
        raise argparse.ArgumentTypeError(f"expected three finite numbers WX,WY,WZ (rad/s), got {shown(text)}")
    return values[0], values[1], values[2]


def add_rotation_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--rotation", type=rotation, metavar="WX,WY,WZ",
                        help="the planet's angular velocity, rad/s, in the configuration's frame (z up at the "
                             "target), e.g. 0,6.62e-5,2.53e-5 for Mars at 21 degrees north with y north; "
                             "--rotation=-1e-5,0,0 for a leading minus (default: a still planet)")


def add_solver_argument(parser: argparse.ArgumentParser, what: str = "the fast search's",
                        golden: bool = True) -> None:
    parser.add_argument("--solver", choices=planning.SOLVERS,
                        help=f"{what} interior-point solver (default {_native.DEFAULT_SOLVER}"
                             + ("; the golden search always uses clarabel)" if golden else ")"))


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose usage error is three lines, as git's are:
    the short usage, the error, and where the full help is."""

    def short_usage(self) -> str:
        words = [self.prog]
        if any(action.option_strings and action.dest != "help" for action in self._actions):
            words.append("[options]")
        for action in self._actions:
            if isinstance(action, argparse._SubParsersAction):
                words.append("COMMAND ...")
            elif not action.option_strings:
                name = action.metavar if isinstance(action.metavar, str) else action.dest
                words.append(f"[{name}]" if action.nargs == "?" else name)
        return " ".join(words)

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"usage: {self.short_usage()}\n{self.prog}: error: {message}\n"
                     f"(see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = Parser(prog="vexal", description="Fuel-optimal powered-descent planner.")
    parser.add_argument("--version", action="version", version=f"vexal {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    plan = commands.add_parser("plan", help="plan one descent and summarise it", epilog=EPILOG_PLAN)
    add_config_arguments(plan)
    add_rotation_argument(plan)
    add_solver_argument(plan)
    plan.add_argument("--plot", metavar="OUT.png", help="write a figure of the descent (needs matplotlib)")
    plan.add_argument("--csv", metavar="OUT.csv", help="write one row per node ('-' for stdout)")
    plan.add_argument("--json", metavar="OUT.json", help="write the plan and its configuration ('-' for stdout)")
    plan.set_defaults(run=run_plan, parser=plan)

    config = commands.add_parser("config", help="print the default configuration as JSON")
    config.set_defaults(run=run_config, parser=config)

    disperse = commands.add_parser("study", help="plan a dispersion (Monte Carlo) study",
                                   epilog="Failed cases are rows with their error, not failures of the command.")
    add_config_arguments(disperse)
    disperse.add_argument("--cases", type=COUNT, default=100, help="number of cases (default 100)")
    disperse.add_argument("--seed", type=SEED, default=0, help="random seed (default 0)")
    for field in dataclasses.fields(cases.Sigma):
        if field.name not in cases.SPREADS:
            continue
        disperse.add_argument(f"--sigma-{field.name.replace('_', '-')}", dest=f"sigma_{field.name}",
                              type=SIGMA, default=field.default, metavar="SIGMA",
                              help=f"one-sigma dispersion of {field.metadata['what']} "
                                   f"(default {field.default:g})")
    disperse.add_argument("--distribution", choices=cases.DISTRIBUTIONS, default="normal",
                          help="normal: each sigma is one standard deviation (default); uniform: values spread "
                               "evenly over plus or minus each sigma")
    disperse.add_argument("--executor", choices=sorted(engine.EXECUTORS), default=engine.DEFAULT_EXECUTOR,
                          help=f"run cases on threads or processes (default {engine.DEFAULT_EXECUTOR})")
    disperse.add_argument("--workers", type=COUNT,
                          help="threads or worker processes (default: all cores, at most one per case)")
    disperse.add_argument("--csv", metavar="OUT.csv",
                          help="write one row per case as each finishes, sorted at the end (default: stdout)")
    disperse.add_argument("--resume", action="store_true",
                          help="keep the cases already in the --csv table and plan only the others")
    disperse.add_argument("--force", action="store_true",
                          help="replace a --csv table that already holds cases (without --resume or --force such a "
                               "table is refused, never lost)")
    disperse.add_argument("--hist", metavar="OUT.png",
                          help="write histograms of fuel used, and of landing error with --nearest; with "
                               "--closed-loop the touchdown scatter with its covariance ellipses and histograms of "
                               "touchdown speed and fuel left (needs matplotlib)")
    disperse.add_argument("--closed-loop", action="store_true",
                          help="fly each case under guidance as 'vexal fly' does, its errors drawn per flight, and "
                               "tabulate the touchdowns")
    add_rotation_argument(disperse)
    add_solver_argument(disperse)
    add_flight_arguments(disperse, drawn=True)
    disperse.set_defaults(run=run_study, parser=disperse)

    fly = commands.add_parser("fly", help="fly one descent under guidance, re-planning as it goes",
                              epilog="The plan at ignition is searched as by 'vexal plan'; errors are off unless "
                                     "set, and their noises drawn from --seed.")
    add_config_arguments(fly)
    add_rotation_argument(fly)
    add_solver_argument(fly, "the plans'", golden=False)
    fly.add_argument("--seed", type=FLIGHT_SEED, default=0, help="random seed of the errors' noises (default 0)")
    add_flight_arguments(fly, drawn=False)
    fly.add_argument("--plot", metavar="OUT.png", help="write a figure of the flight against its first plan")
    fly.add_argument("--csv", metavar="OUT.csv", help="write one row per integration step: the true state, the "
                     "navigated one (_est) and its 1-sigma (_sigma) ('-' for stdout)")
    fly.add_argument("--json", action="store_true", help="print the flight's figures as JSON instead of the summary")
    fly.set_defaults(run=run_fly, parser=fly)
    return parser


def add_flight_arguments(parser: argparse.ArgumentParser, drawn: bool) -> None:
    """The guidance options and the errors of a flight; in a study (`drawn`)
    the steady errors are spreads, drawn anew for each flight."""
    parser.add_argument("--replan", type=ranged(float, "a number of seconds of at least 0", 0.0), default=2.0,
                        metavar="SECONDS",
                        help="seconds between re-plans; 0 flies the first plan open loop (default 2)")
    parser.add_argument("--margin", type=ranged(float, "a fraction from 0 to 0.5", 0.0, 0.5), default=0.05,
                        metavar="FRACTION", help="share of the top thrust the plans keep in reserve (default 0.05)")
    parser.add_argument("--replan-horizon", choices=("searched", "fixed"), default="searched",
                        help="searched: a re-plan that cannot land when the plan in force would takes the best time "
                             "of flight near it before spending the reserve (default); fixed: it spends the reserve")
    parser.add_argument("--terminal-speed", type=ranged(float, "a speed from 0 to 100 m/s", 0.0, 100.0), default=1.0,
                        metavar="M/S", help="behind the last plan, descend at this speed to touchdown; 0 cuts the "
                                            "engine at the plan's end (default 1)")
    parser.add_argument("--terminal-height", type=ranged(float, "a height from 0 to 1000 m", 0.0, 1000.0),
                        default=5.0, metavar="M", help="end the plans this high above the target, descending at the "
                                                       "terminal speed, and land from there (default 5; 0: the plans "
                                                       "end on the ground)")
    parser.add_argument("--navigation", choices=("filter", "raw"), default="filter",
                        help="filter: guidance navigates by a Kalman filter over the instruments (default); raw: by "
                             "a raw position and velocity reading each time it asks")
    parser.add_argument("--control-rate", type=ranged(float, "a rate from 0 to 1000 Hz", 0.0, 1000.0), default=10.0,
                        metavar="HZ", help="track the plan at this rate with feedback on the navigated error; 0 "
                                           "flies its thrust as planned between re-plans (default 10)")
    parser.add_argument("--sensor", type=sensor_setting, action="append", default=[], metavar="NAME=VALUE",
                        help="a setting of the sensor suite, as vexal.simulate(sensors=...) names it, e.g. "
                             "altimeter_bias=100, fix_floor=50, velocimeter=false, altimeter_dropout=20,30; "
                             "repeatable")
    for name, what, default in (("vertical", "vertical (downward) touchdown speed, m/s", 2.0),
                                ("horizontal", "horizontal touchdown speed, m/s", 1.0),
                                ("miss", "distance of the touchdown from the target, m", None)):
        parser.add_argument(f"--limit-{name}", type=ranged(float, "a number greater than 0", 0.0, low_included=False),
                            default=default, metavar="M/S" if default else "M",
                            help=f"the landing limit of the {what}: outside it a touchdown is a hard landing "
                                 f"(default {default if default else 'none'})")
    for name, what in FLIGHT_ERRORS.items():
        spread = drawn and name in DRAWN_ERRORS
        parser.add_argument(f"--{name.replace('_', '-')}", dest=name, metavar="SIGMA" if spread else "VALUE",
                            type=SIGMA if drawn else ERROR_VALUES.get(name, FINITE),
                            help=f"spread of the {what}, drawn for each flight" if spread else what)


FINITE: Callable[[str], float] = ranged(float, "a finite number", -math.inf)
# The errors of a flight that cannot be negative, and the misalignment's range.
ERROR_VALUES: dict[str, Callable[[str], float]] = {
    "thrust_noise": SIGMA, "position_noise": SIGMA, "velocity_noise": SIGMA, "engine_lag": SIGMA,
    "misalignment_deg": ranged(float, "an angle from 0 to 15 degrees", 0.0, 15.0),
    "thrust_loss": ranged(float, "a fraction from 0 to 1", 0.0, 1.0), "thrust_loss_time": SIGMA,
}
# The specific impulse of any rocket is well above this many seconds: a
# smaller --isp is a fuel consumption typed in its place.
ISP: Callable[[str], float] = ranged(
    float, "a specific impulse of at least 1 s, e.g. 225 (a fuel consumption in kg/(N s) is the configuration's "
    "spacecraft.fuel_consumption)", 1.0)


def sensor_setting(text: str) -> tuple[str, object]:
    """NAME=VALUE of the sensor suite: a number, true/false, or FROM,TO."""
    from .flight import SENSORS

    name, equals, value = text.partition("=")
    if not equals or name not in SENSORS:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE with NAME one of {', '.join(SENSORS)}, got {text!r}")
    if value.lower() in ("true", "false"):
        return name, value.lower() == "true"
    try:
        numbers = [float(v) for v in value.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{name}: expected a number, true/false or FROM,TO, got {value!r}") from None
    return name, numbers if len(numbers) > 1 else numbers[0]


# The errors of `vexal fly`, as simulate() names them.
FLIGHT_ERRORS: dict[str, str] = {
    "thrust_bias": "thrust magnitude error, a fraction of the command",
    "thrust_noise": "one-sigma thrust magnitude noise, a fraction, drawn every second of flight",
    "misalignment_deg": "thrust direction error, degrees",
    "isp_error": "specific impulse error, a fraction",
    "initial_mass_error": "fuel load error: kg of fuel more than planned",
    "dry_mass_error": "dry mass error: kg of dry mass more than planned",
    "gravity_error": "gravity error, a fraction",
    "position_noise": "one-sigma noise of each position fix, m per axis",
    "velocity_noise": "one-sigma noise of each velocimeter reading, m/s per axis",
    "engine_lag": "the engine's first-order time constant, s",
    "thrust_loss": "share of the thrust lost at --thrust-loss-time, limits included (0.25: one engine of four out)",
    "thrust_loss_time": "flight time of the thrust loss, s",
}


def add_config_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("config", nargs="?", metavar="CONFIG.json",
                        help="configuration file, '-' for stdin (default: the default configuration)")
    parser.add_argument("--n", type=NODE_COUNT, help="node count")
    horizon = parser.add_mutually_exclusive_group()
    horizon.add_argument("--tof", type=SECONDS, metavar="SECONDS", help="fixed time of flight")
    horizon.add_argument("--bracket", type=float, nargs=2, metavar=("LO", "HI"),
                         help="search the time of flight between LO and HI seconds")
    parser.add_argument("--search", choices=planning.SEARCHES, default="fast",
                        help="fast: the optimum in about a third of the solves (default); golden: the fixed 36-solve "
                             "reference search")
    parser.add_argument("--glide-slope", type=float, metavar="DEG", help="glide-slope angle, degrees")
    parser.add_argument("--wet-mass", type=float, metavar="KG", help="wet mass, kg")
    parser.add_argument("--fuel", type=float, metavar="KG", help="fuel mass, kg")
    parser.add_argument("--isp", type=ISP, metavar="SECONDS",
                        help="specific impulse, s: sets fuel_consumption to 1/(Isp g0), g0 = 9.80665 m/s^2")
    parser.add_argument("--throttle", type=float, nargs=2, metavar=("MIN", "MAX"),
                        help="throttle range, fractions (not percent) of the rated thrust, e.g. 0.2 0.8")
    parser.add_argument("--pointing", action=argparse.BooleanOptionalAction, default=True,
                        help="keep the thrust within environment.max_angle_deg of vertical (default: on; "
                             "--no-pointing plans without the limit, as the exact module does)")
    parser.add_argument("--max-angle", type=float, metavar="DEG", help="pointing limit, degrees from vertical")
    parser.add_argument("--nearest", action="store_true",
                        help="land as near the target as can be when it cannot be reached")
    parser.add_argument("--landing-tolerance", type=float, metavar="M",
                        help="with --nearest: landing errors within M metres of the least count as equal and the "
                             "least fuel among them wins (default: 1; 0: the least error exactly)")


def overrides(args: argparse.Namespace) -> dict[str, object]:
    """The configuration fields set on the command line."""
    fields = {"n": args.n, "time_of_flight": args.tof, "glide_slope_angle_deg": args.glide_slope,
              "wet_mass": args.wet_mass, "fuel": args.fuel, "max_angle_deg": args.max_angle}
    if args.bracket:
        fields["tof_min"], fields["tof_max"] = args.bracket
    if args.throttle:
        fields["min_thrust_pct"], fields["max_thrust_pct"] = args.throttle
    if args.isp:
        fields["fuel_consumption"] = 1.0 / (args.isp * G0)
    return {name: value for name, value in fields.items() if value is not None}


def load_config(args: argparse.Namespace) -> _vexal.Config:
    """The configuration named on the command line, with the flags applied
    and every value checked."""
    config = _vexal.Config() if args.config is None else planning.read_config_file(args.config)
    if args.bracket and config.solver.time_of_flight is not None and args.tof is None:
        raise ValueError(f"--bracket searches for the time of flight, but {args.config} fixes it at "
                         f"{config.solver.time_of_flight:g} s; drop one of them")
    config = planning.configured(config, **overrides(args))
    _native.checked(config, plan_options(args)["landing"])
    return config


def plan_options(args: argparse.Namespace) -> planning.PlanOptions:
    """The planner's options set on the command line, for one plan or every case."""
    options: planning.PlanOptions = {"search": args.search, "pointing": args.pointing,
                                     "landing": "nearest" if args.nearest else "target"}
    if args.landing_tolerance is not None and not args.nearest:
        raise ValueError("--landing-tolerance is the nearest landing's; add --nearest")
    if args.nearest:
        tolerance = _native.DEFAULT_LANDING_TOLERANCE if args.landing_tolerance is None else args.landing_tolerance
        planning.check_options(args.pointing, "nearest", tolerance)
        options["landing_tolerance"] = tolerance
    return options


def figures(path: str) -> ModuleType:
    """The figure module, once `path` is known to name a format it writes;
    a user error when matplotlib is not installed."""
    try:
        from . import plotting
    except ModuleNotFoundError as error:
        raise ValueError(f"plotting needs {error.name}: pip install 'vexal[plot]'") from None
    plotting.figure_format(path)
    return plotting


def write_csv(path: str | None, columns: Mapping[str, npt.NDArray[Any] | None]) -> None:
    """Writes equal-length columns with a header row to `path`, or to stdout
    when it is None or '-'; None is an empty cell."""
    values = [c.tolist() if isinstance(c, np.ndarray) else c for c in columns.values()]
    with writing(path) as file:
        writer = csv.writer(file, lineterminator="\n")
        writer.writerow(columns)
        writer.writerows(zip(*values, strict=True))


def run_plan(args: argparse.Namespace) -> None:
    check_outputs([args.csv, args.json, args.plot], [args.config])
    plotting = figures(args.plot) if args.plot else None
    config = load_config(args)
    interrupts.check()
    line = ProgressLine(36 if args.search == "golden" and not args.nearest and config.solver.time_of_flight is None
                        else None)
    try:
        result = interrupts.call(planning.plan, config, **plan_options(args), rotation=args.rotation,
                                 solver=args.solver or _native.DEFAULT_SOLVER, progress=line.show)
    finally:
        line.clear()
    # With a table on stdout the summary goes to stderr, out of its way.
    to_stdout = "-" in (args.csv, args.json)
    print(result.format_summary(), file=sys.stderr if to_stdout else sys.stdout)
    if args.csv:
        interrupts.check()
        write_csv(args.csv, result.node_table())
    if args.json:
        interrupts.check()
        with writing(args.json) as file:
            file.write(result.to_json() + "\n")
    if plotting:
        figure = plotting.plot(result, config)
        interrupts.check()
        plotting.save(figure, args.plot)


def run_fly(args: argparse.Namespace) -> None:
    from . import flight as flights

    check_outputs([args.csv, args.plot], [args.config])
    plotting = figures(args.plot) if args.plot else None
    config = load_config(args)
    errors = {name: getattr(args, name) for name in FLIGHT_ERRORS if getattr(args, name) is not None}
    interrupts.check()
    flown = interrupts.call(flights.simulate, config, replan_period=args.replan, pointing=args.pointing,
                            thrust_margin=args.margin, seed=args.seed, errors=errors, rotation=args.rotation,
                            replan_horizon=args.replan_horizon, terminal_speed=args.terminal_speed,
                            terminal_height=args.terminal_height, sensors=dict(args.sensor),
                            navigation=args.navigation, control_rate=args.control_rate, limits=landing_limits(args),
                            solver=args.solver or _native.DEFAULT_SOLVER)
    if flown.outcome == "no_plan":
        raise ValueError(flown.message)
    print(flown.to_json() if args.json else flown.format_summary(),
          file=sys.stderr if args.csv == "-" else sys.stdout)
    if args.csv:
        interrupts.check()
        # The truth, then what guidance believed of it and how sure it was.
        columns = {"t": flown.t}
        for suffix, position, velocity in (("", flown.position, flown.velocity),
                                           ("_est", flown.estimated_position, flown.estimated_velocity),
                                           ("_sigma", flown.position_sigma, flown.velocity_sigma)):
            columns |= {f"{axis}{suffix}": position[:, i] for i, axis in enumerate("xyz")}
            columns |= {f"v{axis}{suffix}": velocity[:, i] for i, axis in enumerate("xyz")}
            if not suffix:
                columns |= {"mass": flown.mass, "thrust": np.linalg.norm(flown.thrust, axis=1)}
        write_csv(args.csv, columns)
    if plotting:
        figure = plotting.plot_flight(flown)
        interrupts.check()
        plotting.save(figure, args.plot)


def landing_limits(args: argparse.Namespace) -> dict[str, float | None]:
    return {"vertical_speed": args.limit_vertical, "horizontal_speed": args.limit_horizontal,
            "miss_radius": args.limit_miss}


def run_config(args: argparse.Namespace) -> None:
    print(_vexal.Config().to_json())


def run_study(args: argparse.Namespace) -> None:
    to_file = args.csv not in (None, "-")
    table_file = to_file and is_regular(args.csv)
    if args.resume and not table_file:
        raise ValueError("--resume needs --csv OUT.csv, the table to continue" +
                         (f"; {args.csv} is not a regular file" if to_file else ""))
    check_outputs([args.csv, args.hist], [args.config])
    if table_file:
        check_table_path(args.csv)
        if not args.resume and not args.force:
            refuse_to_replace(args.csv)
    plotting = figures(args.hist) if args.hist else None
    config = load_config(args)
    sigma = cases.Sigma(**{name: getattr(args, f"sigma_{name}") for name in cases.SPREADS},
                        distribution=args.distribution)
    kind = closed_loop_study(args, config, sigma) if args.closed_loop else planning_study(args, config, sigma)
    definition = {"config": json.loads(config.to_json()), "sigma": dataclasses.asdict(sigma), **kind.defines,
                  "seed": args.seed, "cases": args.cases, **kind.options}
    table: StudyTable | InOrder
    if table_file:
        table = StudyTable(args.csv, kind.schema, definition, args.cases, args.seed, args.resume, kind.cases(),
                           kind.absent)
        where = f"{args.csv}; --resume to continue"
    else:  # stdout, or a file written in place (a FIFO, a device)
        table = InOrder(kind.schema, args.seed, args.csv if to_file else None)
        where = args.csv if to_file else "stdout"
    interrupted = False
    try:
        todo = ((index, case) for index, case in enumerate(kind.cases()) if index not in table.done)
        engine.run_cases(kind.task, todo, table.add, args.executor,
                         min(args.workers or os.cpu_count() or 1, args.cases), total=args.cases,
                         initial=len(table.done))
    except KeyboardInterrupt:
        interrupted = True
    except BaseException:
        table.close()
        raise
    rows = table.finish()

    def stop_if_interrupted() -> None:
        if interrupted or interrupts.received() is not None:
            kept = where if len(rows) < args.cases else f"{where.split(';')[0]}; the table is complete"
            print(f"interrupted: {len(rows)} of {args.cases} cases written to {kept}", file=sys.stderr)
            raise Interrupted

    stop_if_interrupted()
    records = [kind.schema.result_of(row) for row in rows]
    # With the table on stdout the closing line goes to stderr, out of its way.
    kept = [kind.schema.result_of(row) for row in table.done.values()]
    print(kind.summary(records, kept), file=sys.stdout if args.csv not in (None, "-") else sys.stderr)
    if not any(record.ok for record in records):
        raise ValueError(f"every case failed; their errors are in the table ({where.split(';')[0]})"
                         + ("; no histogram written" if plotting else ""))
    if plotting:
        figure = kind.figure(plotting, records)
        stop_if_interrupted()
        plotting.save(figure, args.hist)
    stop_if_interrupted()  # a signal during the summary: the table is complete, and said so


def refuse_to_replace(path: str) -> None:
    """A table (or a stopped run's part file) that holds cases is kept:
    hours of planning are not replaced without being asked to."""
    for held in (path, path + ".part"):
        try:
            with open(held, encoding="utf-8") as file:
                rows = sum(1 for _ in file) - 1
        except (FileNotFoundError, UnicodeDecodeError):
            continue
        if rows > 0:
            raise ValueError(f"{held} already holds {rows} case{'s' * (rows != 1)}; --resume to continue that "
                             "study, --force to replace it")


@dataclasses.dataclass(frozen=True)
class StudyKind:
    """What one kind of study of the command line runs on each case, how it
    draws them, tabulates and sums them up, and what its figure shows."""

    task: engine.Task[Any]
    schema: Schema
    cases: Callable[[], Iterator[Any]]
    options: Mapping[str, Any]  # recorded in its definition
    defines: Mapping[str, Any]  # what else its definition records, before the seed
    summary: Callable[[Sequence[Any], Sequence[Any]], str]
    figure: Callable[[ModuleType, Sequence[Any]], Any]
    absent: Mapping[str, Any] = dataclasses.field(default_factory=dict)  # see StudyTable


def planning_study(args: argparse.Namespace, config: _vexal.Config, sigma: cases.Sigma) -> StudyKind:
    options: dict[str, Any] = {**plan_options(args)}
    if options.get("landing_tolerance") == 0.0:  # recorded only when not the exact least error, as before it was
        del options["landing_tolerance"]
    if args.rotation is not None:  # recorded only when given: a still planet's studies stay as they were
        options["rotation"] = list(args.rotation)
    # Always recorded: a default changes between releases. A resumed table
    # goes on with the solver it was planned with.
    resumed = args.resume and recorded(args.csv, "solver", study.ABSENT_OPTIONS["solver"])
    options["solver"] = args.solver or resumed or _native.DEFAULT_SOLVER
    return StudyKind(
        study.plan_task(cast(planning.PlanOptions, options)), study.PLAN_TABLE,
        lambda: cases.iter_dispersions(config, args.cases, args.seed, sigma), options, {},
        lambda records, kept: study_summary(records, kept, nearest=args.nearest),
        lambda plotting, records: plotting.plot_final_mass(records, nearest=args.nearest,
                                                           fuel_budget=config.spacecraft.fuel),
        study.ABSENT_OPTIONS)


def closed_loop_study(args: argparse.Namespace, config: _vexal.Config, sigma: cases.Sigma) -> StudyKind:
    from . import closed_loop

    if args.nearest:
        raise ValueError("--nearest plans one descent; a flight under --closed-loop falls back to the nearest "
                         "landing by itself")
    if args.search != "fast":
        raise ValueError("--closed-loop plans with the fast search; drop --search")
    if args.solver is not None:
        raise ValueError("--closed-loop plans with the structured solver; drop --solver")
    errors = cases.check_errors({name: getattr(args, name) for name in FLIGHT_ERRORS
                                 if getattr(args, name) is not None})
    options = closed_loop.flight_options(args.replan, args.pointing, args.margin,
                                         replan_horizon=args.replan_horizon, terminal_speed=args.terminal_speed,
                                         rotation=args.rotation, terminal_height=args.terminal_height,
                                         sensors=dict(args.sensor), navigation=args.navigation,
                                         control_rate=args.control_rate, limits=landing_limits(args))
    target = config.spacecraft.target_position
    return StudyKind(
        closed_loop.flight_task(options), closed_loop.FLIGHT_TABLE,
        lambda: cases.iter_flight_dispersions(config, args.cases, args.seed, sigma, errors),
        {"flight": options}, {"errors": errors},
        closed_loop_summary,
        lambda plotting, records: plotting.plot_landing_dispersion(records, target, options["limits"]))


class ProgressLine:
    """One line on a terminal's stderr while a plan searches: the solves
    made (of the search's `budget`, when it is known) and the best final
    mass so far; nothing when stderr is not a terminal."""

    def __init__(self, budget: int | None) -> None:
        self.budget, self.shown = budget, False
        self.on = sys.stderr.isatty()

    def show(self, solves: int, best: float | None) -> None:
        if not self.on:
            return
        done = f"{solves} of {self.budget} solves" if self.budget else f"{solves} solve{'s' * (solves != 1)}"
        mass = f", best final mass {best:.3f} kg" if best is not None else ""
        sys.stderr.write(f"\rplanning: {done}{mass}\x1b[K")
        sys.stderr.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def counted(records: Sequence[Any], kept: Sequence[Any], noun: str, done: str) -> str:
    """The start of a study's closing line: the cases this run ran and
    failed, and those a resumed table already held."""
    kept_ok = sum(r.ok for r in kept)
    failed = len(records) - sum(r.ok for r in records) - (len(kept) - kept_ok)
    line = f"{len(records)} {noun}: {sum(r.ok for r in records) - kept_ok} {done}, "
    line += f"{len(kept)} already in the table, " if kept else ""
    return line + f"{failed} failed"


def study_summary(records: Sequence[study.CaseResult], kept: Sequence[study.CaseResult] = (),
                  nearest: bool = False) -> str:
    """The closing line of a study: the cases this run planned and failed
    (and those a resumed table already held), then figures over every
    planned case."""
    planned = [r for r in records if r.ok]
    line = counted(records, kept, "cases", "planned")
    if planned:
        masses = [cast(float, r.final_mass) for r in planned]
        fuel = np.percentile([cast(float, r.fuel_used) for r in planned], [5, 50, 95])
        line += (f"; final mass mean {np.mean(masses):.3f} kg, min {np.min(masses):.3f} kg, "
                 f"max {np.max(masses):.3f} kg; fuel used 5 % {fuel[0]:.3f} kg, median {fuel[1]:.3f} kg, "
                 f"95 % {fuel[2]:.3f} kg")
        line += f"; {sum(r.on_target for r in records)} on target"
        errors = [cast(float, r.landing_error) for r in planned]
        if nearest or max(errors) > study.ON_TARGET:
            line += f", landing error max {np.max(errors):.3f} m"
    return line


class Interrupted(Exception):
    """The work was stopped and has said so."""


def closed_loop_summary(records: Sequence[Any], kept: Sequence[Any] = ()) -> str:
    """The closing line of a closed-loop study: the flights this run flew
    and failed (and those a resumed table already held), how they ended,
    the success rate with its 95 % interval, then the touchdowns' figures:
    medians, the upper percentiles the sample supports, the worst."""
    from .closed_loop import dispersion_figures

    line = counted(records, kept, "flights", "flown")
    if not records:
        return line
    f = dispersion_figures(records)
    low, high = f["success_interval"]
    line += (f"; {f['landed']} landed, {f['hard_landing']} hard landings, {f['time_limit']} out of time; "
             f"success {100 * f['success_rate']:.1f} % (95 % interval {100 * low:.1f} to {100 * high:.1f} %)")
    if "touchdown_error" in f:
        line += (f"; touchdown error {spread_text(f['touchdown_error'], 'm')}; 1-sigma ellipse "
                 f"{f['ellipse'][0]:.3f} x {f['ellipse'][1]:.3f} m; vertical speed "
                 f"{spread_text(f['vertical_speed'], 'm/s')}; horizontal speed "
                 f"{spread_text(f['horizontal_speed'], 'm/s')}")
    if "least_fuel_left" in f:
        line += f"; least fuel left {f['least_fuel_left']:.3f} kg"
    return line


def spread_text(figures: Mapping[str, float], unit: str) -> str:
    """'median 1.000 m, 95 % 2.000 m, worst 3.000 m'."""
    return ", ".join(f"{name} {value:.3f} {unit}" for name, value in figures.items())
