"""A study's table: one CSV row per case (its index, the study's seed, the
case's inputs, then its result's fields), written as cases finish, checked
row by row when a run resumes it, with what defines the study kept beside
it. A `Schema` says which inputs and which result a kind of study has.
"""
import contextlib
import csv
import dataclasses
import io
import json
import math
import os
import re
import sys
import typing
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import IO, Any

from .outputs import check_outputs, exists, in_place, is_regular, named, read_limited, replacing


@dataclasses.dataclass(frozen=True)
class Schema:
    """The columns of one kind of study's table. `result` is a dataclass
    whose first two fields are `status` and `error` and whose others are
    its figures (ints or floats, None for a failed case, and for one read
    back that the table does not hold); `succeeded` are
    the statuses of a case that ran, "error" the one of a case that did not.
    """

    inputs: tuple[str, ...]
    inputs_of: Callable[[Any], Sequence[object]]
    result: type
    succeeded: tuple[str, ...]
    # Result fields kept out of the table (wall times): a resumed table must
    # come out as one never interrupted; read back, they are None.
    untabulated: tuple[str, ...] = ()
    # The figures a status leaves blank (a flight that never touched down
    # has no touchdown figures).
    blank: Mapping[str, tuple[str, ...]] = dataclasses.field(default_factory=dict)

    @property
    def outcome(self) -> tuple[str, ...]:
        return tuple(field.name for field in dataclasses.fields(self.result) if field.name not in self.untabulated)

    @property
    def columns(self) -> tuple[str, ...]:
        return ("case", "seed", *self.inputs, *self.outcome)

    @property
    def figures(self) -> dict[str, Callable[[str], Any]]:
        """Each figure's name and how its cell reads."""
        hints = typing.get_type_hints(self.result)
        return {name: int if int in typing.get_args(hints[name]) else float
                for name in self.outcome if name not in ("status", "error")}

    def row(self, index: int, seed: int | None, case: Any, result: Any) -> list[object]:
        return [index, seed, *self.inputs_of(case), *(getattr(result, name) for name in self.outcome)]

    def result_of(self, row: Sequence[str]) -> Any:
        """The result a table row records."""
        values = dict(zip(self.columns, row, strict=True))
        return self.result(**{name: read(values[name]) if values[name] != "" else None
                              for name, read in self.figures.items()},
                           status=values["status"], error=values["error"] or None)

    def problem(self, values: Mapping[str, str]) -> str | None:
        """What is wrong with a row's outcome, if anything: a case that ran
        has every figure, finite; a failed one its message and no figure."""
        status, error = values["status"], values["error"]
        if status == "error":
            filled = [name for name in self.figures if values[name] != ""]
            if not error:
                return "status error without its message"
            return f"{filled[0]} {cell(values[filled[0]])} given for a failed case" if filled else None
        if status not in self.succeeded:
            return f"status {cell(status)} is not one of {', '.join(map(repr, self.succeeded))} or 'error'"
        if error:
            return f"an error given for a case that ran ({status})"
        for name, read in self.figures.items():
            text = values[name]
            if name in self.blank.get(status, ()):
                if text != "":
                    return f"{name} {cell(text)} given for a case of status {status}"
                continue
            try:
                value = read(text)
            except ValueError:
                return f"{name} {cell(text)} is not a number"
            if not math.isfinite(value):
                return f"{name} {cell(text)} is not a finite number"
        return None


def cell(text: str) -> str:
    """A cell quoted in a message: in full, or its start when long."""
    return repr(text) if len(text) <= 40 else f"{text[:40]!r}... ({len(text)} characters)"


def read_rows(source: str, schema: Schema) -> list[tuple[int, list[str]]]:
    """The rows of a study table after its header, each with the number of
    the line it ends on; a last line cut short (a run killed while writing
    it) is dropped. A file that is not such a table is refused naming it."""
    try:
        with open(source, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        return []
    if data and not data.endswith(b"\n"):
        data = data[:data.rfind(b"\n") + 1]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{source}: not a study table: byte {error.start} is not UTF-8 text") from None
    reader = csv.reader(io.StringIO(text, newline=""))
    rows = []
    try:
        header = next(reader, None)
        if header is None:
            return []
        if tuple(header) != schema.columns:
            raise ValueError(f"{source}: not a study table (its columns are not {', '.join(schema.columns)})")
        for row in reader:
            rows.append((reader.line_num, row))
    except csv.Error as error:
        raise ValueError(f"{source}: line {reader.line_num}: not a row of a study table ({error})") from None
    return rows


def definition_problem(there: Any, here: Any, key: str = "") -> str | None:
    """The first field, in `here`'s order, whose value differs between two
    study definitions, with both values; None when they agree."""
    if isinstance(here, dict) and isinstance(there, dict):
        for name in [*here, *(k for k in there if k not in here)]:
            problem = definition_problem(there.get(name, ABSENT), here.get(name, ABSENT),
                                         f"{key}.{name}" if key else name)
            if problem:
                return problem
        return None
    if there == here and type(there) is type(here):
        return None
    shown = ["absent" if v is ABSENT else json.dumps(v) for v in (there, here)]
    return f"{key or 'the definition'} is {shown[0]} in it, {shown[1]} here"


# Bytes a study definition may have: a configuration and a few options.
DEFINITION_LIMIT: int = 64 << 20


def read_definition(path: str) -> Any:
    """The study definition at `path` as JSON values, or None when there is
    none; one that cannot be read as JSON is refused naming the file."""
    try:
        data = read_limited(path, DEFINITION_LIMIT, "a study definition")
    except FileNotFoundError:
        return None
    try:
        return json.loads(data.decode("utf-8"))
    except (ValueError, UnicodeDecodeError) as error:
        raise ValueError(f"{path}: not a study definition ({error})") from None
    except RecursionError:
        raise ValueError(f"{path}: not a study definition (nested too deeply)") from None


def recorded(path: str, key: str, absent: Any) -> Any:
    """What the definition beside table `path` records for `key` (`absent`
    when it has no such key); None without a definition to read."""
    if not (exists(path + ".study.json") and is_regular(path + ".study.json")):
        return None  # resuming says what is wrong with it
    try:
        there = read_definition(path + ".study.json")
    except (OSError, ValueError):
        return None
    return there.get(key, absent) if isinstance(there, dict) else None


ABSENT = object()
CASE_INDEX = re.compile(r"[0-9]{1,19}")


class StudyTable:
    """The CSV table of a study at `path`, its columns `schema`'s, written
    as cases finish.

    What defines the study (`definition`: its configuration, dispersions,
    seed, case count, search and options, as JSON values) is kept beside the
    table in `path + ".study.json"`. Rows go to `path + ".part"` as they
    come, one flushed line each; `finish` writes them to `path` sorted by
    case (atomically) and drops the part file. The part file, while there
    is one, holds the study the definition names; otherwise `path` does.

    With `resume` the rows already written (in the part file a killed run
    left, else in `path`) are taken over, and `done` holds them by case
    index; `cases` are this study's cases in order, to check them against.
    A part file without a row (a run stopped before its first case) is an
    empty study: nothing is taken over, whatever the definition says.
    `absent` gives what a key missing from the definition on disk meant
    to the release that wrote it (a default that has changed since).
    Everything is checked before any file is touched: a table of another
    study, or a row that is not one of this study's, is refused with a
    ValueError and every file left as it was.
    """

    def __init__(self, path: str, schema: Schema, definition: Mapping[str, Any], n_cases: int,
                 seed: int | None = None, resume: bool = False, cases: Iterable[Any] = (),
                 absent: Mapping[str, Any] | None = None) -> None:
        self.schema, self.absent = schema, dict(absent or {})
        self.path, self.part, self.definition_path = path, path + ".part", path + ".study.json"
        self.definition = json.loads(json.dumps(definition))  # as it reads back
        self.n_cases, self.seed = n_cases, seed
        self.done: dict[int, list[str]] = self.taken_over(cases) if resume else {}
        # Checked: from here on files change.
        with replacing(self.part) as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(schema.columns)
            writer.writerows(self.done[index] for index in sorted(self.done))
        with named(self.part):
            self.file = open(self.part, "a", newline="", encoding="utf-8")
        self.writer = csv.writer(self.file, lineterminator="\n")
        # A resumed table's definition is on disk already; a new one's is
        # written with its first row, so that until then the files left by
        # an earlier study still describe each other.
        self.defined = bool(self.done)

    def taken_over(self, cases: Iterable[Any]) -> dict[int, list[str]]:
        source = self.part if os.path.lexists(self.part) else self.path
        if not os.path.lexists(source):
            return {}
        schema = self.schema
        rows = read_rows(source, schema)
        if source == self.part and not rows:
            return {}  # stopped before its first row: nothing to check, nothing lost
        self.check_definition()
        seed = "" if self.seed is None else str(self.seed)
        found: dict[int, list[str]] = {}
        first_line: dict[int, int] = {}
        for line, row in rows:
            where = f"{source}: line {line}"
            if len(row) != len(schema.columns):
                raise ValueError(f"{where}: has {len(row)} fields, not {len(schema.columns)}")
            if not (CASE_INDEX.fullmatch(row[0]) and int(row[0]) < self.n_cases):
                raise ValueError(f"{where}: case {cell(row[0])} is not one of this study's cases, "
                                 f"0 to {self.n_cases - 1}")
            index = int(row[0])
            if row[1] != seed:
                raise ValueError(f"{where}: case {index} has seed {cell(row[1])}, not this study's "
                                 f"{seed or 'none'}")
            problem = schema.problem(dict(zip(schema.columns, row, strict=True)))
            if problem:
                raise ValueError(f"{where}: case {index}: {problem}")
            if index in found and found[index] != row:
                raise ValueError(f"{where}: case {index} again, with other contents than on line "
                                 f"{first_line[index]}")
            found[index] = row
            first_line.setdefault(index, line)
        for index, case in enumerate(cases):
            if index > max(found, default=-1):
                break
            if index in found and found[index][2:2 + len(schema.inputs)] != [str(v) for v in schema.inputs_of(case)]:
                raise ValueError(f"{source}: line {first_line[index]}: case {index} has other inputs than "
                                 f"this study's case {index}; resume with the same study")
        return found

    def check_definition(self) -> None:
        """Refuses to resume a table whose study is not this one."""
        there = read_definition(self.definition_path)
        if there is None:
            raise ValueError(f"{self.path}: no study definition beside it ({self.definition_path}), so it "
                             "cannot be checked against this study; run without --resume to start anew")
        if isinstance(there, dict):
            there = {**self.absent, **there}
        try:
            problem = definition_problem(there, self.definition)
        except RecursionError:
            problem = "the definition is nested too deeply"
        if problem:
            raise ValueError(f"{self.path}: another study's table: {problem} ({self.definition_path}); "
                             "resume with the same settings")

    def define(self) -> None:
        if not self.defined:
            with replacing(self.definition_path) as file:
                json.dump(self.definition, file, indent=1)
                file.write("\n")
            self.defined = True

    def add(self, index: int, case: Any, result: Any) -> None:
        self.define()
        with named(self.part):
            self.writer.writerow(self.schema.row(index, self.seed, case, result))
            self.file.flush()

    def finish(self) -> list[list[str]]:
        """Writes the sorted table to its path; returns the rows."""
        with named(self.part):
            self.file.close()
        self.define()
        rows = [row for _, row in read_rows(self.part, self.schema)]
        rows.sort(key=lambda row: int(row[0]))
        with replacing(self.path) as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(self.schema.columns)
            writer.writerows(rows)
        os.unlink(self.part)
        return rows

    def close(self) -> None:
        """Leaves the part file for a later resume, unless it was new and
        holds nothing: then the files are as they were."""
        with contextlib.suppress(OSError):  # the error being raised already says what failed
            self.file.close()
        if not self.defined:
            os.unlink(self.part)


def check_table_path(path: str) -> None:
    """Refuses a study table path that cannot take its table, part file
    and definition: a study's table is a regular file of its own."""
    check_outputs([path, path + ".part", path + ".study.json"])
    if not is_regular(path):
        raise ValueError(f"{path}: not a regular file; a study's table must be one, to resume it")
    for own in (path + ".part", path + ".study.json"):  # never written in place: a FIFO would block, /dev/zero
        if exists(own) and not is_regular(own):         # never end
            raise ValueError(f"{own}: not a regular file; a study keeps its table's rows and definition in "
                             "regular files")


class InOrder:
    """A study table written as it goes, in case order, each row as soon as
    every case before it has finished: on stdout, or into a file that
    cannot be replaced (a FIFO, a device). Nothing to resume there."""

    def __init__(self, schema: Schema, seed: int, path: str | None = None) -> None:
        self.schema, self.seed, self.next = schema, seed, 0
        self.done: dict[int, list[str]] = {}
        self.waiting: dict[int, list[str]] = {}
        self.rows: list[list[str]] = []
        self.path = path
        self.file: IO[str] = sys.stdout if path is None else in_place(path)
        self.writer = csv.writer(self.file, lineterminator="\n")
        with self.named():
            self.writer.writerow(schema.columns)

    def add(self, index: int, case: Any, result: Any) -> None:
        self.waiting[index] = ["" if v is None else str(v) for v in self.schema.row(index, self.seed, case, result)]
        with self.named():
            while self.next in self.waiting:
                self.emit(self.waiting.pop(self.next))
                self.next += 1
            self.file.flush()

    def named(self) -> contextlib.AbstractContextManager[None]:
        return contextlib.nullcontext() if self.path is None else named(self.path)

    def emit(self, row: list[str]) -> None:
        self.writer.writerow(row)
        self.rows.append(row)

    def finish(self) -> list[list[str]]:
        with self.named():
            for index in sorted(self.waiting):
                self.emit(self.waiting.pop(index))
            self.file.flush()
            self.close()
        return self.rows

    def close(self) -> None:
        if self.file is sys.stdout:
            self.file.flush()
            return
        with contextlib.suppress(OSError):  # after a failed write, which is the error to report
            self.file.close()
