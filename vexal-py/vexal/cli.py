"""The `vexal` command line: plan one descent, print the default
configuration, or run a dispersion study.

User errors (unreadable or malformed files, infeasible descents, outputs that
cannot be written) end with the planner's message on stderr and exit status
1; bad arguments are argparse's, with status 2.
"""
import argparse
import contextlib
import csv
import json
import dataclasses
import math
import sys

import numpy as np

import _vexal

from . import __version__, _native, planning, study

EPILOG_PLAN = "Without a time of flight (in the file or --tof) the planner searches for the best one."


def positive(kind, expected):
    """An argparse type: a finite `kind` greater than zero."""
    def convert(text):
        try:
            value = kind(text)
        except ValueError:
            value = None
        if value is None or not (math.isfinite(value) and value > 0):
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return value
    return convert


COUNT = positive(int, "a whole number of at least 1")
SECONDS = positive(float, "a positive number of seconds")


def build_parser():
    parser = argparse.ArgumentParser(prog="vexal", description="Fuel-optimal powered-descent planner.")
    parser.add_argument("--version", action="version", version=f"vexal {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    plan = commands.add_parser("plan", help="plan one descent and summarise it", epilog=EPILOG_PLAN)
    add_config_arguments(plan)
    plan.add_argument("--plot", metavar="OUT.png", help="write a figure of the descent (needs matplotlib)")
    plan.add_argument("--csv", metavar="OUT.csv", help="write one row per node ('-' for stdout)")
    plan.add_argument("--json", metavar="OUT.json", help="write the plan and its configuration ('-' for stdout)")
    plan.set_defaults(run=run_plan)

    config = commands.add_parser("config", help="print the default configuration as JSON")
    config.set_defaults(run=run_config)

    disperse = commands.add_parser("study", help="plan a dispersion (Monte Carlo) study",
                                   epilog="Failed cases are rows with their error, not failures of the command.")
    add_config_arguments(disperse)
    disperse.add_argument("--cases", type=COUNT, default=100, help="number of cases (default 100)")
    disperse.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    for field in dataclasses.fields(study.Sigma):
        disperse.add_argument(f"--sigma-{field.name.replace('_', '-')}", dest=f"sigma_{field.name}",
                              type=float, default=field.default, metavar="SIGMA",
                              help=f"one-sigma dispersion of {field.metadata['what']} "
                                   f"(default {field.default:g})")
    disperse.add_argument("--executor", choices=sorted(study.EXECUTORS), default=study.DEFAULT_EXECUTOR,
                          help=f"run cases on threads or processes (default {study.DEFAULT_EXECUTOR})")
    disperse.add_argument("--workers", type=COUNT, help="threads or worker processes (default: all cores)")
    disperse.add_argument("--csv", metavar="OUT.csv", help="write one row per case (default: stdout)")
    disperse.add_argument("--hist", metavar="OUT.png",
                          help="write histograms of fuel used, and of landing error with --nearest (needs matplotlib)")
    disperse.set_defaults(run=run_study)
    return parser


def add_config_arguments(parser):
    parser.add_argument("config", nargs="?", metavar="CONFIG.json",
                        help="configuration file, '-' for stdin (default: the default configuration)")
    parser.add_argument("--n", type=COUNT, help="node count")
    parser.add_argument("--tof", type=SECONDS, metavar="SECONDS", help="fixed time of flight")
    parser.add_argument("--bracket", type=float, nargs=2, metavar=("LO", "HI"),
                        help="search the time of flight between LO and HI seconds")
    parser.add_argument("--search", choices=planning.SEARCHES, default="golden",
                        help="golden: the fixed 36-solve search (default); fast: the same optimum in fewer solves")
    parser.add_argument("--glide-slope", type=float, metavar="DEG", help="glide-slope angle, degrees")
    parser.add_argument("--wet-mass", type=float, metavar="KG", help="wet mass, kg")
    parser.add_argument("--fuel", type=float, metavar="KG", help="fuel mass, kg")
    parser.add_argument("--throttle", type=float, nargs=2, metavar=("MIN", "MAX"),
                        help="throttle range, fractions of rated thrust")
    parser.add_argument("--pointing", action="store_true",
                        help="keep the thrust within max_angle_deg of vertical")
    parser.add_argument("--max-angle", type=float, metavar="DEG", help="pointing limit, degrees from vertical")
    parser.add_argument("--nearest", action="store_true",
                        help="land as near the target as can be when it cannot be reached")


def plan_options(args):
    """The planning options set on the command line, as vexal.plan's keywords."""
    return {"search": args.search, "pointing": args.pointing, "landing": "nearest" if args.nearest else "target"}


def overrides(args):
    """The configuration fields set on the command line."""
    fields = {"n": args.n, "time_of_flight": args.tof, "glide_slope_angle_deg": args.glide_slope,
              "wet_mass": args.wet_mass, "fuel": args.fuel, "max_angle_deg": args.max_angle}
    if args.bracket:
        fields["tof_min"], fields["tof_max"] = args.bracket
    if args.throttle:
        fields["min_thrust_pct"], fields["max_thrust_pct"] = args.throttle
    return {name: value for name, value in fields.items() if value is not None}


def unknown_keys(document):
    """Keys of a configuration document that are not configuration fields."""
    if not isinstance(document, dict):
        return []
    known = json.loads(_vexal.Config().to_json())
    unknown = [key for key in document if key not in known]
    for record, fields in known.items():
        given = document.get(record)
        if isinstance(given, dict):
            unknown += [f"{record}.{key}" for key in given if key not in fields]
    return unknown


def load_config(args):
    """The configuration named on the command line, with the flags applied
    and every value checked."""
    if args.config is None:
        config = _vexal.Config()
    else:
        if args.config == "-":
            text = sys.stdin.read()
        else:
            with open(args.config, encoding="utf-8") as file:
                text = file.read()
        try:
            config = _vexal.Config.from_json(text)
        except ValueError as error:
            raise ValueError(f"{args.config}: {error}") from None
        unknown = unknown_keys(json.loads(text))
        if unknown:
            raise ValueError(f"{args.config}: not configuration fields: {', '.join(unknown)}")
    config = planning.configured(config, **overrides(args))
    _native.checked(config, "nearest" if args.nearest else "target")
    return config


def figures():
    """The figure module, or a user error when matplotlib is not installed."""
    try:
        from . import plotting
    except ModuleNotFoundError as error:
        raise ValueError(f"plotting needs {error.name}: pip install 'vexal[plot]'") from None
    return plotting


def output(path):
    """A text file to write, or stdout for None and '-'."""
    if path in (None, "-"):
        return contextlib.nullcontext(sys.stdout)
    return open(path, "w", newline="", encoding="utf-8")


def write_csv(path, columns):
    """Writes equal-length columns with a header row to `path`, or to stdout
    when it is None or '-'; None is an empty cell."""
    values = [c.tolist() if isinstance(c, np.ndarray) else c for c in columns.values()]
    with output(path) as file:
        writer = csv.writer(file, lineterminator="\n")
        writer.writerow(columns)
        writer.writerows(zip(*values))


def run_plan(args):
    plotting = figures() if args.plot else None
    config = load_config(args)
    result = planning.plan(config, **plan_options(args))
    # With a table on stdout the summary goes to stderr, out of its way.
    to_stdout = "-" in (args.csv, args.json)
    print(result.format_summary(), file=sys.stderr if to_stdout else sys.stdout)
    if args.csv:
        write_csv(args.csv, result.node_table())
    if args.json:
        with output(args.json) as file:
            file.write(result.to_json() + "\n")
    if plotting:
        plotting.save(plotting.plot(result, config), args.plot)


def run_config(args):
    print(_vexal.Config().to_json())


def run_study(args):
    plotting = figures() if args.hist else None
    config = load_config(args)
    sigma = study.Sigma(**{f.name: getattr(args, f"sigma_{f.name}") for f in dataclasses.fields(study.Sigma)})
    cases = list(study.dispersions(config, args.cases, args.seed, sigma))
    records = study.solve_many(cases, executor=args.executor, workers=args.workers, **plan_options(args))
    write_csv(args.csv, study_table(cases, records))
    # With the table on stdout the closing line goes to stderr, out of its way.
    report = sys.stdout if args.csv else sys.stderr
    print(study_summary(records), file=report)
    if plotting:
        plotting.save(plotting.plot_final_mass(records, nearest=args.nearest), args.hist)


def study_table(cases, records):
    """One row per case: its dispersed inputs, then its outcome."""
    vehicles = [c.spacecraft for c in cases]
    position = np.array([v.initial_position for v in vehicles]).reshape(-1, 3)
    velocity = np.array([v.initial_velocity for v in vehicles]).reshape(-1, 3)
    table = {"case": list(range(len(cases)))}
    table.update({f"{axis}0": position[:, i] for i, axis in enumerate("xyz")})
    table.update({f"v{axis}0": velocity[:, i] for i, axis in enumerate("xyz")})
    table["wet_mass"] = [v.wet_mass for v in vehicles]
    table["real_max_thrust"] = [v.real_max_thrust for v in vehicles]
    for field in dataclasses.fields(study.CaseResult):
        table[field.name] = [getattr(r, field.name) for r in records]
    return table


def study_summary(records):
    masses = [r.final_mass for r in records if r.ok]
    line = f"{len(records)} cases: {len(masses)} planned, {len(records) - len(masses)} failed"
    if masses:
        line += (f"; final mass mean {np.mean(masses):.3f} kg, "
                 f"min {np.min(masses):.3f} kg, max {np.max(masses):.3f} kg")
        errors = [r.landing_error for r in records if r.ok]
        if max(errors) > study.ON_TARGET:  # nearest landings off the target
            line += (f"; {sum(r.on_target for r in records)} on target, "
                     f"landing error max {np.max(errors):.3f} m")
    return line


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except KeyboardInterrupt:
        parser.exit(130, f"vexal {args.command}: interrupted\n")
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        parser.exit(1, f"vexal {args.command}: error: {where}{error.strerror or error}\n")
    except ValueError as error:
        parser.exit(1, f"vexal {args.command}: error: {error}\n")
    return 0
