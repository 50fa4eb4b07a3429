"""The `vexal` command line: plan one descent, print the default
configuration, or run a dispersion study (the commands are in `commands`).

User errors (unreadable or malformed files, infeasible descents, outputs that
cannot be written) end with one line on stderr and exit status 1; bad
arguments are argparse's, with status 2. Ctrl-C (or SIGTERM) stops the work,
keeps what is finished and exits with 130 (143); a second one exits at once.
The signals are watched from the first moment, before NumPy and the planner
load, and noted rather than raised: the commands act on them between steps
(see `interrupts`). A signal the process was started with ignored (a
background job of a shell) stays ignored.
"""
import os
import signal
import sys

from . import interrupts

SIGNALS: tuple[int, ...] = (signal.SIGINT, signal.SIGTERM)

# Messages quote input values, which can be huge (a 60 MB value in a file):
# beyond this many characters the middle is cut.
MESSAGE_LIMIT: int = 1000


def shortened(message: str) -> str:
    if len(message) <= MESSAGE_LIMIT:
        return message
    cut = len(message) - MESSAGE_LIMIT
    return f"{message[:MESSAGE_LIMIT - 200]} [... {cut} characters cut ...] {message[-200:]}"


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: the program's arguments) and
    returns its exit status."""
    with interrupts.watching(SIGNALS, command_line=True, program=argv is None):
        return run(argv)


def interrupted_status() -> int:
    return 128 + (interrupts.received() or signal.SIGINT)


def run(argv: list[str] | None) -> int:
    from . import commands  # NumPy and the planner: loaded under the watch

    parser = commands.build_parser()
    if interrupts.received() is not None:  # while loading: nothing has started
        return interrupted_status()
    args, extras = parser.parse_known_args(argv)
    if extras:  # the command's usage, and the flag a typo may have meant
        import difflib

        flags = [flag for action in args.parser._actions for flag in action.option_strings]
        near = [difflib.get_close_matches(extra.split("=")[0], flags, n=1) for extra in extras if extra[:1] == "-"]
        args.parser.error(f"unrecognized arguments: {' '.join(extras)}"
                          + "".join(f" (did you mean {match[0]}?)" for match in near if match))
    try:
        args.run(args)
    except commands.Interrupted:
        return interrupted_status()
    except KeyboardInterrupt:
        print(f"vexal {args.command}: interrupted", file=sys.stderr)
        return interrupted_status()
    except BrokenPipeError:
        # The reader has gone (`vexal study | head`): that is the end, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        parser.exit(1, f"vexal {args.command}: error: {where}{shortened(error.strerror or str(error))}\n")
    except ValueError as error:
        parser.exit(1, f"vexal {args.command}: error: {shortened(str(error))}\n")
    # A signal after the last step: every output is written, but the
    # status says the run was stopped, and a line why.
    if interrupts.received() is None:
        return 0
    print(f"vexal {args.command}: interrupted after every output was written", file=sys.stderr)
    return interrupted_status()
